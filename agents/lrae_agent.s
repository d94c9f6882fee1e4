; The LRAE agent: the FLASH programming program that a host loads into RAM through the
; LRAE boot loader, which starts it at its first byte (the boot loader stores the loaded
; bytes from the entry address on, so entry and lowest address must be one).
;
; The line is SCI0 as the boot loader left it: its rate, 8N1, transmitter and receiver on.
; We do not touch its set-up.
;
; First two bytes: the oscillator in kHz, high byte first. We load FCLKDIV for a module
; clock of 150-200 kHz and answer 0x00, or answer 0x01 and stop listening when no divider
; fits (the host then has to reset the part).
;
; Then frames: command, length (parameters + 3), parameters, checksum (8-bit sum of every
; byte before it). Acknowledge 0x00, or 0x55 for a wrong checksum (or a length below 3,
; answered at once), or 0x01 for a command we do not know or a wrong parameter count.
; After the acknowledge:
;   0x07 block, page             bulk erase of the block (FPROT as it stands): result byte
;   0x08 block, page             erase verify: result 0x00 blank, 0x03 not clear
;   0x09 block, page, addr       sector erase of the sector holding addr: result byte
;   0x0A block, page, 80 00 40   the page's 16384 bytes from 0x8000, then their 8-bit sum
;                                (other window parameters or a block above 3 are refused
;                                in the acknowledge: once acknowledged the host reads the
;                                whole page)
;   0x0B block, page, addr, count   then count data bytes and their 8-bit sum from the
;                                host; result 0x55 for a wrong sum (nothing programmed),
;                                else the result of programming them
; Results: 0x00 done, 0x03 not clear, 0x04 refused (a block above 3, an odd address or
; count, a count beyond the 256-byte buffer, a range outside one 16 KB window of
; 0x4000-0xFFFF, or the boot loader's area), 0x05 a word that reads back other than
; written, or the FLASH module's error bits: 0x10 ACCERR, 0x20 PVIOL, 0x30 both.
;
; The boot loader's area: the first LRAE_SIZE bytes of the page the CPU sees at 0x4000
; (0x3E; 0xFD on HCS12X parts). While the reset vector still points at the boot loader we
; refuse to erase or program a sector of it, so that only a bulk erase (which the host
; sends when it means to drop the boot loader) can take it away.

        .include "nvm.inc"

SCISR1      = 0x00CC        ; SCI0 status 1
SCIDRL      = 0x00CF        ; SCI0 data, low byte
TDRE        = 0x80
RDRF        = 0x20

ACK_GOOD    = 0x00
ACK_UNKNOWN = 0x01
ACK_SUM     = 0x55
OSC_REFUSED = 0x01

BUFFER_SIZE = 256           ; the host's write chunk
STACK_SIZE  = 64
LRAE_SIZE   = 0x800         ; the boot loader's bytes at the start of its page
BOOT_VECTOR = 0x4000        ; where the reset vector points while the boot loader is in place

; The frame record, from Y.
F_CMD       = 0
F_SUM       = 1
F_COUNT     = 2             ; parameters received
F_PRM       = 4             ; block, page, address (word), count (word) or 80 00 40
F_KEPT      = 8             ; parameters kept; more are summed and dropped

        .sect .text
        .globl agent_entry
        .globl agent_top

agent_entry:
        sei
        leas    buffer+BUFFER_SIZE+STACK_SIZE,pc   ; whatever the boot loader used is its own
        leay    frame,pc
        jsr     receive,pc
        tab
        jsr     receive,pc
        exg     a,b                     ; D = oscillator kHz
        jsr     clock_divider,pc
        bcs     no_clock
        stab    FCLKDIV                 ; write-once: a divider the boot loader set stands
        ldaa    #ACK_GOOD
        jsr     send,pc
        bra     next_frame
no_clock:
        ldaa    #OSC_REFUSED
        jsr     send,pc
stopped:
        bra     stopped

;--------------------------------------------------------------------------------------------
sum_answer:
        ldaa    #ACK_SUM
answer:
        jsr     send,pc
next_frame:
        jsr     receive,pc
        staa    F_CMD,y
        staa    F_SUM,y
        jsr     receive,pc
        psha
        adda    F_SUM,y
        staa    F_SUM,y
        pula
        suba    #3
        blo     sum_answer              ; a length below 3 cannot be a frame
        staa    F_COUNT,y
        clrb
parameter:
        cmpb    F_COUNT,y
        beq     parameters_in
        jsr     receive,pc
        psha
        adda    F_SUM,y
        staa    F_SUM,y
        pula
        cmpb    #F_KEPT
        bhs     parameter_dropped
        leax    F_PRM,y
        staa    b,x
parameter_dropped:
        incb
        bra     parameter
parameters_in:
        jsr     receive,pc
        cmpa    F_SUM,y
        bne     sum_answer
        ldaa    F_CMD,y
        ldab    F_COUNT,y
        cmpa    #0x07
        beq     two
        cmpa    #0x08
        beq     two
        cmpa    #0x09
        beq     four
        cmpa    #0x0A
        beq     five
        cmpa    #0x0B
        beq     six
unknown:
        ldaa    #ACK_UNKNOWN
        bra     answer
two:
        cmpb    #2
        bne     unknown
        bra     acknowledged
four:
        cmpb    #4
        bne     unknown
        bra     acknowledged
five:
        cmpb    #5
        bne     unknown
        ldd     F_PRM+2,y               ; the whole page through the window, 0x40 x 256
        cpd     #0x8000
        bne     unknown
        ldaa    F_PRM+4,y
        cmpa    #0x40
        bne     unknown
        ldaa    F_PRM,y
        cmpa    #MAX_BLOCK
        bhi     unknown
        bra     acknowledged
six:
        cmpb    #6
        bne     unknown
acknowledged:
        ldaa    #ACK_GOOD
        jsr     send,pc
        ldaa    F_CMD,y
        cmpa    #0x0A
        beq     read_page
        cmpa    #0x0B
        lbeq    write
        ldab    #ST_REFUSED
        ldaa    F_PRM,y
        cmpa    #MAX_BLOCK
        bhi     result
        ldab    F_PRM+1,y
        ldx     #CMD_MASS
        ldaa    F_CMD,y
        cmpa    #0x09
        beq     sector_erase
        cmpa    #0x08
        bne     block_command
        ldx     #CMD_VERIFY
block_command:
        ldaa    F_PRM,y
        jsr     flash_block_command,pc
result:
        tba
        lbra    answer

;--------------------------------------------------------------------------------------------
read_page:
        ldaa    F_PRM,y
        ldab    F_PRM+1,y
        jsr     flash_select,pc
        ldx     #0x8000
        clrb                            ; the sum
read_byte:
        ldaa    1,x+
        jsr     send,pc
        addb    -1,x
        cpx     #0xC000
        bne     read_byte
        tba
        lbra    answer

;--------------------------------------------------------------------------------------------
sector_erase:
        ldd     F_PRM+2,y
        ldx     #1
        jsr     range_select,pc
        bcs     refused
        ldd     F_PRM+2,y
        andb    #0xFE                   ; the module takes an aligned word
        tfr     d,x
        movw    #0xFFFF,0,x
        ldaa    #CMD_SECTOR
        jsr     flash_launch,pc
        lbra    answer                  ; A: 0 or the error bits
refused:
        ldaa    #ST_REFUSED
        lbra    answer

;--------------------------------------------------------------------------------------------
; The data come first, whatever we make of them, so that the line stays in step.
write:
        leax    buffer+BUFFER_SIZE,pc
        pshx                            ; 2,sp the end of the buffer
        ldd     F_PRM+4,y
        pshd                            ; 0,sp bytes still coming
        leax    buffer,pc
        clr     F_SUM,y
write_receive:
        ldd     0,sp
        beq     write_received
        subd    #1
        std     0,sp
        jsr     receive,pc
        psha
        adda    F_SUM,y
        staa    F_SUM,y
        pula
        cpx     2,sp
        bhs     write_receive           ; beyond the buffer: summed, not kept
        staa    1,x+
        bra     write_receive
write_received:
        leas    4,sp
        jsr     receive,pc
        cmpa    F_SUM,y
        lbne    sum_answer
        ldd     F_PRM+4,y
        beq     write_done
        cpd     #BUFFER_SIZE
        bhi     refused
        orab    F_PRM+3,y
        bitb    #1
        bne     refused
        ldaa    F_PRM,y
        cmpa    #MAX_BLOCK
        bhi     refused
        ldd     F_PRM+2,y
        ldx     F_PRM+4,y
        jsr     range_select,pc
        bcs     refused
        leax    buffer,pc
        ldd     F_PRM+4,y
        pshy
        ldy     F_PRM+2,y
        jsr     flash_program,pc
        puly
        tba
        lbra    answer
write_done:
        clra
        lbra    answer

;--------------------------------------------------------------------------------------------
; range_select: D = window address, X = count, the frame's parameters at F_PRM,y. Carry set
; when the range leaves the window or starts in the boot loader's area; otherwise selects the
; block and page the frame names.
range_select:
        jsr     in_window,pc
        bcs     rs_done
        ldd     F_PRM+2,y
        jsr     boot_area,pc
        bcs     rs_done
        ldaa    F_PRM,y
        ldab    F_PRM+1,y
        jsr     flash_select,pc
        clc
rs_done:
        rts

;--------------------------------------------------------------------------------------------
; boot_area: D = window address of a range that lies inside one window, the page parameter
; at F_PRM+1,y. Carry set when the range starts in the boot loader's area while the reset
; vector points at it (the area lies at the start of its page, so a range that touches it
; starts in it).
boot_area:
        pshd
        ldd     0xFFFE
        cpd     #BOOT_VECTOR
        puld
        bne     ba_clear                ; no boot loader to keep
        cpd     #0x8000
        bhs     ba_window
        subd    #0x4000                 ; 0x4000-0x7FFF shows the boot loader's page
        bra     ba_offset
ba_window:
        cpd     #0xC000
        bhs     ba_clear                ; the top page holds only vectors and the field
        pshd
        ldaa    #0x3E
        ldab    PARTIDH
        cmpb    #0xC0
        blo     ba_page
        ldaa    #0xFD
ba_page:
        cmpa    F_PRM+1,y
        puld
        bne     ba_clear
        subd    #0x8000
ba_offset:
        cpd     #LRAE_SIZE
        blo     ba_inside
ba_clear:
        clc
        rts
ba_inside:
        sec
        rts

;--------------------------------------------------------------------------------------------
; receive: A = the next byte from the line. Reading SCISR1 with RDRF set and then the data
; register clears RDRF (and any OR, NF or FE with it: a damaged byte shows in the checksum).
; Keeps B, X and Y.
receive:
        brclr   SCISR1,#RDRF,receive
        ldaa    SCIDRL
        rts

; send: A to the line once the transmit data register is free. Keeps A, B, X and Y.
send:
        brclr   SCISR1,#TDRE,send
        staa    SCIDRL
        rts

;--------------------------------------------------------------------------------------------
        .include "nvm_code.inc"

frame:
        .skip   F_PRM+F_KEPT

        .balign 2
buffer:                                 ; BUFFER_SIZE bytes, then the stack: not in the file
agent_top = buffer + BUFFER_SIZE + STACK_SIZE
