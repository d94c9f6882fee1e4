; Blinks the LEDs on port B of an HCS12 board: the example program the README programs into
; the virtual target. Build (binutils-m68hc1x):
;   m68hc11-as -m68hcs12 -o blink.o blink.s
;   m68hc11-ld -T blink.ld -o blink.elf blink.o
;   m68hc11-objcopy -O srec blink.elf blink.s19
; blink_ram.ld links it for RAM at 0x2000 (blink_ram.s19, for -X), blink_lrae.ld without the
; reset vector for a board with the LRAE boot loader (blink_lrae.s19).
        .sect .text
        .globl _start
PORTB   = 0x0001
DDRB    = 0x0003
_start:
        lds     #0x4000         ; stack at the top of RAM
        movb    #0xFF, DDRB     ; port B drives the LEDs
        clr     PORTB
loop:
        com     PORTB           ; toggle every LED
        ldx     #0xFFFF
delay:
        dbne    x, delay
        bra     loop

        .sect .reset, "a"
        .word   _start          ; the reset vector at 0xFFFE
