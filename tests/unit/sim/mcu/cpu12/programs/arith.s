; Arithmetic and flags: each check bumps the counter at 0x3000; a failed check ends in BGND
; with the counter in A, all passed ends in BGND with A = 0.
        .text
        .globl start
start:  lds     #0x3f00
        clr     0x3000
        inc     0x3000
        ldaa    #0x7f
        adda    #1              ; 0x80: N and V set, H set
        bvc     fail
        bpl     fail
        tfr     ccr, a
        anda    #0x20
        beq     fail
        inc     0x3000
        ldaa    #0x19
        adda    #0x28
        daa
        cmpa    #0x47
        bne     fail
        inc     0x3000
        ldaa    #12
        ldab    #11
        mul
        cpd     #132
        bne     fail
        inc     0x3000
        ldd     #1000
        ldx     #7
        idiv
        cpx     #142
        bne     fail
        cpd     #6
        bne     fail
        inc     0x3000
        ldd     #0x1234
        ldy     #0x0100
        emul                    ; Y:D = 0x00123400
        cpy     #0x0012
        bne     fail
        cpd     #0x3400
        bne     fail
        inc     0x3000
        ldx     #0x0100
        ediv                    ; back to 0x1234, remainder 0
        cpy     #0x1234
        bne     fail
        inc     0x3000
        ldd     #-300
        ldx     #7
        idivs                   ; -42 remainder -6
        cpx     #-42
        bne     fail
        cpd     #-6
        bne     fail
        inc     0x3000
        ldaa    #0x80
        nega                    ; stays 0x80: V and C set
        bvc     fail
        bcc     fail
        inc     0x3000
        ldaa    #0x81
        asra                    ; 0xC0, C set, V = N xor C = 0
        bcc     fail
        bvs     fail
        cmpa    #0xc0
        bne     fail
        inc     0x3000
        ldd     #0x8000
        subd    #1              ; 0x7FFF: V set
        bvc     fail
        inc     0x3000
        ldaa    #5
        ldab    #9
        sba                     ; 0xFC, borrow
        bcc     fail
        cmpa    #0xfc
        bne     fail
        clra
        bgnd
fail:   ldaa    0x3000
        bgnd
