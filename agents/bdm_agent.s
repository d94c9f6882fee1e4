; The BDM RAM agent for HCS12 and HCS12X parts.
;
; A BDM host loads this file into RAM, writes a command into the parameter block (the
; lowest loaded address), presets the status to 2, points the PC at agent_entry and lets the
; CPU go. We do the work through the FLASH and EEPROM modules' registers, write the status
; and return to active background mode with BGND; the host sees BDMACT and reads the status.
; Every command starts afresh from agent_entry.
;
; The code is position-independent: the parameter block, the buffer and the stack are all
; found PC-relative, so the same bytes work wherever a host loads them (the shipped file
; loads at 0x3800, inside the RAM of every HCS12 and HCS12X part whose RAM ends at 0x3FFF,
; the C32's 2 KB included). What we need above the loaded bytes: BUFFER_SIZE bytes of
; buffer and STACK_SIZE bytes of stack, all of it inside RAM.
;
; Parameter block (words high byte first):
;   +0 command   +1 status   +2 first parameter (word, or two bytes)   +4 word   +6 word
;
;   0  initialise       +2 oscillator kHz -> FCLKDIV, ECLKDIV; leaves +2 buffer address,
;                       +4 buffer size. Status 1 when no divider fits
;   1  EEPROM bulk erase (EPROT opened)
;   2  EEPROM erase verify: status 0 blank, 3 not clear
;   5  EEPROM write     buffer words to the EEPROM; +2 address, +4 byte count
;   7  FLASH block bulk erase   +2 block, +3 the block's lowest page (FPROT opened)
;   8  FLASH block erase verify  as 7: status 0 blank, 3 not clear
;   10 FLASH read       +2 block, +3 page, +4 CPU address, +6 count: bytes into the buffer
;   11 FLASH write      as 10, the data from the buffer (the security word: 0xFF0E, top page)
;
; Status: 0 done, 1 oscillator invalid, 2 not supported, 3 not clear, 4 parameters refused
; (odd address or count where words are written, a count beyond the buffer, a block above 3,
; a FLASH range outside one 16 KB window of 0x4000-0xFFFF, an EEPROM range that wraps or
; covers this agent), 5 a word that reads back other than written, or the module's error
; bits: 0x10 ACCERR, 0x20 PVIOL, 0x30 both. On 5 and on error bits the address parameter
; (+2 for EEPROM, +4 for FLASH) is replaced by the address of the word that stopped the
; command; the words before it stay programmed.

        .include "nvm.inc"

BUFFER_SIZE = 512           ; the smallest FLASH sector of the parts served; divides 16 KB
STACK_SIZE  = 64

        .sect .text
        .globl agent_entry
        .globl agent_top

params:
        .byte   0                       ; command
        .byte   ST_UNKNOWN              ; status
        .word   0, 0, 0

agent_entry:
        sei                             ; nothing of the user's may run in our RAM
        leas    buffer+BUFFER_SIZE+STACK_SIZE,pc    ; the host sets only the PC
        leay    params,pc
        ldab    0,y
        lbeq    cmd_init
        cmpb    #1
        lbeq    cmd_eeprom_erase
        cmpb    #2
        lbeq    cmd_eeprom_verify
        cmpb    #5
        lbeq    cmd_eeprom_write
        cmpb    #7
        lbeq    cmd_flash_erase
        cmpb    #8
        lbeq    cmd_flash_verify
        cmpb    #10
        lbeq    cmd_flash_read
        cmpb    #11
        lbeq    cmd_flash_write
not_supported:
        ldab    #ST_UNKNOWN
finish:
        stab    1,y
done:
        bgnd
        bra     done                    ; a GO without a new PC finds us here: back we go

refused:
        ldab    #ST_REFUSED
        bra     finish

done_ok:
        clrb
        bra     finish

;--------------------------------------------------------------------------------------------
cmd_init:
        ldd     2,y
        jsr     clock_divider,pc
        bcs     init_no_clock
        ; Both are write-once: where the host has loaded them already, its values stand.
        ; A part without EEPROM has nothing at ECLKDIV, and the write goes nowhere.
        stab    FCLKDIV
        stab    ECLKDIV
        leax    buffer,pc
        stx     2,y
        movw    #BUFFER_SIZE,4,y
        bra     done_ok
init_no_clock:
        ldab    #ST_OSC
        bra     finish

;--------------------------------------------------------------------------------------------
; Mass erase and erase verify of the whole EEPROM. The host gives no EEPROM address, and
; where the array sits differs between the families; in special modes (the only ones a BDM
; host starts us in) writing EADDR and EDATA stands for the array write.
cmd_eeprom_erase:
        ldx     #CMD_MASS
        bra     eeprom_whole
cmd_eeprom_verify:
        ldx     #CMD_VERIFY
eeprom_whole:
        brclr   ECLKDIV,#DIVLD,not_supported    ; no EEPROM module answers there
        cpx     #CMD_MASS
        bne     eeprom_whole_go
        movb    #0xFF,EPROT
eeprom_whole_go:
        movb    #ERRORS,ESTAT
        movw    #0,EADDR
        movw    #0,EDATA
        tfr     x,d
        tba
        jsr     eeprom_launch,pc
        bne     error_bits
        cpx     #CMD_VERIFY
        bne     done_ok
        bitb    #BLANK
        bne     done_ok
        ldab    #ST_NOTCLEAR
        bra     finish
error_bits:
        tab
        bra     finish

;--------------------------------------------------------------------------------------------
cmd_eeprom_write:
        brclr   ECLKDIV,#DIVLD,not_supported
        ldd     4,y
        beq     done_ok
        cpd     #BUFFER_SIZE
        bhi     refused
        orab    3,y
        bitb    #1
        bne     refused
        ldd     2,y
        addd    4,y                     ; the end, exclusive
        bcs     refused
        ; Words written over this agent would be the last thing it did.
        leax    params,pc
        pshx
        cpd     0,sp
        pulx
        bls     eeprom_write_go
        ldd     2,y
        leax    agent_top,pc
        pshx
        cpd     0,sp
        pulx
        blo     refused
eeprom_write_go:
        movb    #ERRORS,ESTAT
        leax    buffer,pc
        ldd     4,y
        pshy
        ldy     2,y
        bsr     eeprom_write
        tfr     y,x
        puly
        tstb
        lbeq    finish
        stx     2,y                     ; the word that stopped us
        lbra    finish

;--------------------------------------------------------------------------------------------
; eeprom_write: D = count (even, not 0), X -> data, Y = EEPROM address (even). Out: B status,
; Y at the word that stopped it.
; A word that already holds the value is left alone; one that needs only bits cleared is
; programmed; one that needs bits set takes a sector modify, which erases the word's 4-byte
; sector first, so the other word of the sector is put back (and read back) afterwards.
eeprom_write:
        pshd                            ; 0,sp bytes left
ew_next:
        ldd     0,y
        cpd     0,x
        beq     ew_check
        coma
        comb
        anda    0,x
        andb    1,x                     ; bits wanted set that are clear now
        cpd     #0
        bne     ew_modify
        ldd     0,x
        std     0,y
        ldaa    #CMD_PROGRAM
        jsr     eeprom_launch,pc
        bne     ew_error
        bra     ew_check
ew_modify:
        tfr     y,d
        eorb    #2
        pshd                            ; the other word's address
        ldd     [0,sp]
        pshd                            ; its value (2,sp address, 4,sp bytes left)
        ldd     0,x
        std     0,y
        ldaa    #CMD_MODIFY
        jsr     eeprom_launch,pc
        bne     ew_error4
        ldd     0,sp
        cpd     #0xFFFF
        beq     ew_kept                 ; erased is what the sector modify left
        pshy                            ; 2,sp value, 4,sp address, 6,sp bytes left
        ldy     4,sp
        std     0,y
        ldaa    #CMD_PROGRAM
        jsr     eeprom_launch,pc
        bne     ew_error6
        ldd     0,y
        cpd     2,sp
        bne     ew_mismatch6
        puly
ew_kept:
        leas    4,sp
ew_check:
        ldd     0,y
        cpd     2,x+
        bne     ew_mismatch
        leay    2,y
        ldd     0,sp
        subd    #2
        std     0,sp
        bne     ew_next
        clrb
        bra     ew_out
ew_mismatch6:
        leas    6,sp                    ; Y names the other word, which did not come back
        bra     ew_mismatch
ew_error6:
        leas    2,sp
ew_error4:
        leas    4,sp
ew_error:
        tab
        bra     ew_out
ew_mismatch:
        ldab    #ST_MISMATCH
ew_out:
        leas    2,sp
        rts

;--------------------------------------------------------------------------------------------
cmd_flash_erase:
        ldx     #CMD_MASS
        bra     flash_whole
cmd_flash_verify:
        ldx     #CMD_VERIFY
flash_whole:
        ldaa    2,y
        cmpa    #MAX_BLOCK
        lbhi    refused
        ldab    3,y
        jsr     flash_block_command,pc
        lbra    finish

;--------------------------------------------------------------------------------------------
cmd_flash_read:
        clra
        bra     flash_transfer
cmd_flash_write:
        ldaa    #1
flash_transfer:
        psha                            ; 0,sp: writing
        ldd     6,y
        beq     flash_nothing
        cpd     #BUFFER_SIZE
        bhi     flash_refused
        tst     0,sp
        beq     flash_any_length        ; bytes may be read one by one
        orab    5,y
        bitb    #1
        bne     flash_refused
flash_any_length:
        ldaa    2,y
        cmpa    #MAX_BLOCK
        bhi     flash_refused
        ldd     4,y
        ldx     6,y
        jsr     in_window,pc
        bcs     flash_refused
        ldaa    2,y
        ldab    3,y
        jsr     flash_select,pc
        leax    buffer,pc
        pula
        tsta
        bne     flash_write
        pshy
        ldd     6,y
        ldy     4,y
flash_copy:
        movb    1,y+,1,x+
        dbne    d,flash_copy
        puly
        lbra    done_ok
flash_write:
        pshy
        ldd     6,y
        ldy     4,y
        jsr     flash_program,pc
        tfr     y,x
        puly
        tstb
        lbeq    finish
        stx     4,y                     ; the word that stopped us
        lbra    finish
flash_nothing:
        pula
        lbra    done_ok
flash_refused:
        pula
        lbra    refused

;--------------------------------------------------------------------------------------------
        .include "nvm_code.inc"

        .balign 2
buffer:                                 ; BUFFER_SIZE bytes, then the stack: not in the file
agent_top = buffer + BUFFER_SIZE + STACK_SIZE
