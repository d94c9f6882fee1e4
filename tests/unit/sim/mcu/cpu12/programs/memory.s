; Addressing and memory instructions: indexed forms, moves, bit operations, loops, the
; stack, SWI through its vector. Ends in BGND with A = 0, or the number of the failed check.
        .text
        .globl start
start:  lds     #0x3f00
        clr     0x3000
        inc     0x3000
        ldx     #table
        ldaa    3,x             ; 5-bit offset
        cmpa    #4
        bne     fail
        ldab    #2
        ldaa    b,x             ; accumulator offset
        cmpa    #3
        bne     fail
        ldaa    2,x+            ; post-increment: table[0], then X moves on
        bne     fail
        ldaa    1,+x            ; pre-increment: table[3]
        cmpa    #4
        bne     fail
        cpx     #table+3
        bne     fail
        inc     0x3000
        ldy     #ptr
        ldaa    [0,y]           ; [n16,r]: through the pointer to table+4
        cmpa    #5
        bne     fail
        ldd     #2
        ldaa    [d,y]           ; [D,r] with D = 2: the second pointer
        cmpa    #0x40
        bne     fail
        inc     0x3000
        ldx     #0x2000
        movb    #0x5a, 1,x+
        movw    #0x1234, 2,x+
        movw    0x2001, 0x2010
        ldd     0x2010
        cpd     #0x1234
        bne     fail
        inc     0x3000
        bset    0x2000, #0x81   ; 0x5A | 0x81 = 0xDB
        bclr    0x2000, #0x0a   ; 0xD1
        ldaa    0x2000
        cmpa    #0xd1
        bne     fail
        brclr   0x2000, #0x01, fail
        brset   0x2000, #0x02, fail
        inc     0x3000
        ldab    #10
        clra
loop:   adda    #3
        dbne    b, loop
        cmpa    #30
        bne     fail
        inc     0x3000
        ldx     #0x5555
        ldy     #0xaaaa
        pshx
        pshy
        pulx
        puly
        cpx     #0xaaaa
        bne     fail
        inc     0x3000
        movw    #handler, 0xfff6
        ldaa    #0x11
        swi
        cmpa    #0x22           ; the handler doubled A in the frame
        bne     fail
        inc     0x3000
        ldx     #0x1000
        ldaa    #0x81
        exg     a, x            ; X = 0x0081, A = 0x00
        cpx     #0x0081
        bne     fail
        tsta
        bne     fail
        clra
        bgnd
fail:   ldaa    0x3000
        bgnd
handler:
        asl     2,sp            ; A in the frame: CCR, B, A
        rti
table:  .byte   0, 1, 3, 4, 5
ptr:    .word   table+4, forty
forty:  .byte   0x40
