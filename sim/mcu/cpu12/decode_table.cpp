// The opcode map with HCS12 cycle counts, transcribed from the CPU12 reference manual's
// instruction set summary (the HCS12 column of the access details: one letter per cycle).
// Counts the manual makes data-dependent (REV, REVW, WAV, WAVR) are the base here; the
// executor adds the per-element part. Counts not checked letter by letter against the
// manual, kept from memory of it: WAI 7, STOP 8 (2 when STOP is disabled), TRAP 10, TBL 8,
// ETBL 10, EMULS 3, MEM 5, and the fuzzy-logic per-element counts (see fuzzy.cpp).
#include "mcu/cpu12/decode_table.h"

namespace zelv::sim::cpu12 {
namespace {

constexpr OpInfo in(const char* n, uint8_t c) { return {n, Mode::kInh, {c, 0, 0, 0, 0}}; }
constexpr OpInfo im(const char* n, uint8_t c) { return {n, Mode::kImm, {c, 0, 0, 0, 0}}; }
constexpr OpInfo di(const char* n, uint8_t c) { return {n, Mode::kDir, {c, 0, 0, 0, 0}}; }
constexpr OpInfo ex(const char* n, uint8_t c) { return {n, Mode::kExt, {c, 0, 0, 0, 0}}; }
constexpr OpInfo ix(const char* n, uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e) {
    return {n, Mode::kIdx, {a, b, c, d, e}};
}
constexpr OpInfo re(const char* n, uint8_t taken, uint8_t not_taken) {
    return {n, Mode::kRel, {taken, not_taken, 0, 0, 0}};
}
constexpr OpInfo sp(const char* n, uint8_t a, uint8_t b = 0, uint8_t c = 0, uint8_t d = 0,
                    uint8_t e = 0) {
    return {n, Mode::kSpecial, {a, b, c, d, e}};
}
// Indexed operand patterns shared by whole columns of the map.
constexpr OpInfo rd(const char* n) { return ix(n, 3, 3, 4, 6, 6); }   // read
constexpr OpInfo wr(const char* n) { return ix(n, 2, 3, 3, 5, 5); }   // write (and CLR)
constexpr OpInfo rmw(const char* n) { return ix(n, 3, 4, 5, 6, 6); }  // read-modify-write
constexpr OpInfo br(const char* n) { return re(n, 3, 1); }
constexpr OpInfo lbr(const char* n) { return re(n, 4, 3); }
constexpr OpInfo trap() { return {"TRAP", Mode::kTrap, {10, 0, 0, 0, 0}}; }

}  // namespace

const std::array<OpInfo, 256> kPage1 = {{
    // 0x00
    in("BGND", 5), sp("MEM", 5), in("INY", 1), in("DEY", 1),
    sp("DBxx/TBxx/IBxx", 3, 3), rd("JMP"), ex("JMP", 3), re("BSR", 4, 4),
    in("INX", 1), in("DEX", 1), in("RTC", 7), in("RTI", 8),
    sp("BSET", 4, 4, 6, 6, 6), sp("BCLR", 4, 4, 6, 6, 6), sp("BRSET", 4, 5, 6, 6, 6),
    sp("BRCLR", 4, 5, 6, 6, 6),
    // 0x10
    im("ANDCC", 1), in("EDIV", 11), in("MUL", 3), in("EMUL", 3),
    im("ORCC", 1), ix("JSR", 4, 4, 5, 7, 7), ex("JSR", 4), di("JSR", 4),
    {"(page 2)", Mode::kPrefix, {0, 0, 0, 0, 0}}, ix("LEAY", 2, 2, 2, 2, 2),
    ix("LEAX", 2, 2, 2, 2, 2), ix("LEAS", 2, 2, 2, 2, 2),
    sp("BSET", 4), sp("BCLR", 4), sp("BRSET", 5), sp("BRCLR", 5),
    // 0x20
    re("BRA", 3, 3), re("BRN", 1, 1), br("BHI"), br("BLS"), br("BCC"), br("BCS"), br("BNE"),
    br("BEQ"), br("BVC"), br("BVS"), br("BPL"), br("BMI"), br("BGE"), br("BLT"), br("BGT"),
    br("BLE"),
    // 0x30
    in("PULX", 3), in("PULY", 3), in("PULA", 3), in("PULB", 3),
    in("PSHX", 2), in("PSHY", 2), in("PSHA", 2), in("PSHB", 2),
    in("PULC", 3), in("PSHC", 2), in("PULD", 3), in("PSHD", 2),
    sp("WAVR", 0), in("RTS", 5), in("WAI", 7), in("SWI", 9),
    // 0x40
    in("NEGA", 1), in("COMA", 1), in("INCA", 1), in("DECA", 1),
    in("LSRA", 1), in("ROLA", 1), in("RORA", 1), in("ASRA", 1),
    in("ASLA", 1), in("LSRD", 1), sp("CALL", 7), sp("CALL", 7, 7, 8, 10, 10),
    sp("BSET", 4), sp("BCLR", 4), sp("BRSET", 4), sp("BRCLR", 4),
    // 0x50
    in("NEGB", 1), in("COMB", 1), in("INCB", 1), in("DECB", 1),
    in("LSRB", 1), in("ROLB", 1), in("RORB", 1), in("ASRB", 1),
    in("ASLB", 1), in("ASLD", 1), di("STAA", 2), di("STAB", 2),
    di("STD", 2), di("STY", 2), di("STX", 2), di("STS", 2),
    // 0x60
    rmw("NEG"), rmw("COM"), rmw("INC"), rmw("DEC"), rmw("LSR"), rmw("ROL"), rmw("ROR"),
    rmw("ASR"), rmw("ASL"), wr("CLR"), wr("STAA"), wr("STAB"), wr("STD"), wr("STY"),
    wr("STX"), wr("STS"),
    // 0x70
    ex("NEG", 4), ex("COM", 4), ex("INC", 4), ex("DEC", 4), ex("LSR", 4), ex("ROL", 4),
    ex("ROR", 4), ex("ASR", 4), ex("ASL", 4), ex("CLR", 3), ex("STAA", 3), ex("STAB", 3),
    ex("STD", 3), ex("STY", 3), ex("STX", 3), ex("STS", 3),
    // 0x80
    im("SUBA", 1), im("CMPA", 1), im("SBCA", 1), im("SUBD", 2),
    im("ANDA", 1), im("BITA", 1), im("LDAA", 1), in("CLRA", 1),
    im("EORA", 1), im("ADCA", 1), im("ORAA", 1), im("ADDA", 1),
    im("CPD", 2), im("CPY", 2), im("CPX", 2), im("CPS", 2),
    // 0x90
    di("SUBA", 3), di("CMPA", 3), di("SBCA", 3), di("SUBD", 3),
    di("ANDA", 3), di("BITA", 3), di("LDAA", 3), in("TSTA", 1),
    di("EORA", 3), di("ADCA", 3), di("ORAA", 3), di("ADDA", 3),
    di("CPD", 3), di("CPY", 3), di("CPX", 3), di("CPS", 3),
    // 0xA0
    rd("SUBA"), rd("CMPA"), rd("SBCA"), rd("SUBD"), rd("ANDA"), rd("BITA"), rd("LDAA"),
    in("NOP", 1), rd("EORA"), rd("ADCA"), rd("ORAA"), rd("ADDA"), rd("CPD"), rd("CPY"),
    rd("CPX"), rd("CPS"),
    // 0xB0
    ex("SUBA", 3), ex("CMPA", 3), ex("SBCA", 3), ex("SUBD", 3),
    ex("ANDA", 3), ex("BITA", 3), ex("LDAA", 3), sp("TFR/EXG", 1),
    ex("EORA", 3), ex("ADCA", 3), ex("ORAA", 3), ex("ADDA", 3),
    ex("CPD", 3), ex("CPY", 3), ex("CPX", 3), ex("CPS", 3),
    // 0xC0
    im("SUBB", 1), im("CMPB", 1), im("SBCB", 1), im("ADDD", 2),
    im("ANDB", 1), im("BITB", 1), im("LDAB", 1), in("CLRB", 1),
    im("EORB", 1), im("ADCB", 1), im("ORAB", 1), im("ADDB", 1),
    im("LDD", 2), im("LDY", 2), im("LDX", 2), im("LDS", 2),
    // 0xD0
    di("SUBB", 3), di("CMPB", 3), di("SBCB", 3), di("ADDD", 3),
    di("ANDB", 3), di("BITB", 3), di("LDAB", 3), in("TSTB", 1),
    di("EORB", 3), di("ADCB", 3), di("ORAB", 3), di("ADDB", 3),
    di("LDD", 3), di("LDY", 3), di("LDX", 3), di("LDS", 3),
    // 0xE0
    rd("SUBB"), rd("CMPB"), rd("SBCB"), rd("ADDD"), rd("ANDB"), rd("BITB"), rd("LDAB"),
    rd("TST"), rd("EORB"), rd("ADCB"), rd("ORAB"), rd("ADDB"), rd("LDD"), rd("LDY"),
    rd("LDX"), rd("LDS"),
    // 0xF0
    ex("SUBB", 3), ex("CMPB", 3), ex("SBCB", 3), ex("ADDD", 3),
    ex("ANDB", 3), ex("BITB", 3), ex("LDAB", 3), ex("TST", 3),
    ex("EORB", 3), ex("ADCB", 3), ex("ORAB", 3), ex("ADDB", 3),
    ex("LDD", 3), ex("LDY", 3), ex("LDX", 3), ex("LDS", 3),
}};

namespace {

constexpr std::array<OpInfo, 256> make_page2() {
    std::array<OpInfo, 256> t{};
    for (OpInfo& entry : t) {
        entry = trap();
    }
    const OpInfo low[0x30] = {
        // 0x00: moves by source-destination form
        sp("MOVW", 4), sp("MOVW", 5), sp("MOVW", 5), sp("MOVW", 5),
        sp("MOVW", 6), sp("MOVW", 5), in("ABA", 2), in("DAA", 3),
        sp("MOVB", 4), sp("MOVB", 5), sp("MOVB", 5), sp("MOVB", 4),
        sp("MOVB", 6), sp("MOVB", 5), in("TAB", 2), in("TBA", 2),
        // 0x10
        in("IDIV", 12), in("FDIV", 12), in("EMACS", 13), in("EMULS", 3),
        in("EDIVS", 12), in("IDIVS", 12), in("SBA", 2), in("CBA", 2),
        ix("MAXA", 4, 4, 5, 7, 7), ix("MINA", 4, 4, 5, 7, 7),
        ix("EMAXD", 4, 4, 5, 7, 7), ix("EMIND", 4, 4, 5, 7, 7),
        ix("MAXM", 4, 5, 6, 7, 7), ix("MINM", 4, 5, 6, 7, 7),
        ix("EMAXM", 4, 5, 6, 7, 7), ix("EMINM", 4, 5, 6, 7, 7),
        // 0x20
        lbr("LBRA"), re("LBRN", 3, 3), lbr("LBHI"), lbr("LBLS"), lbr("LBCC"), lbr("LBCS"),
        lbr("LBNE"), lbr("LBEQ"), lbr("LBVC"), lbr("LBVS"), lbr("LBPL"), lbr("LBMI"),
        lbr("LBGE"), lbr("LBLT"), lbr("LBGT"), lbr("LBLE"),
    };
    for (unsigned i = 0; i < 0x30; ++i) {
        t[i] = low[i];
    }
    t[0x20] = re("LBRA", 4, 4);
    t[0x3A] = sp("REV", 2);
    t[0x3B] = sp("REVW", 2);
    t[0x3C] = sp("WAV", 4);
    t[0x3D] = ix("TBL", 8, 8, 8, 8, 8);
    t[0x3E] = sp("STOP", 8, 2);
    t[0x3F] = ix("ETBL", 10, 10, 10, 10, 10);
    return t;
}

}  // namespace

const std::array<OpInfo, 256> kPage2 = make_page2();

PostbyteInfo postbyte_info(uint8_t xb) {
    const uint8_t reg = static_cast<uint8_t>(xb >> 6 & 3);
    if ((xb & 0x20) == 0) {
        return {kIdx0, 0, reg, false, false};
    }
    if ((xb & 0xE0) != 0xE0) {
        return {kIdx0, 0, reg, true, false};
    }
    const uint8_t base = static_cast<uint8_t>(xb >> 3 & 3);
    if ((xb & 0x04) == 0) {
        switch (xb & 3) {
            case 0:
            case 1: return {kIdx1, 1, base, false, false};
            case 2: return {kIdx2, 2, base, false, false};
            default: return {kIdx16, 2, base, false, true};
        }
    }
    if ((xb & 3) == 3) {
        return {kIdxD, 0, base, false, true};
    }
    return {kIdx0, 0, base, false, false};
}

}  // namespace zelv::sim::cpu12
