// Page 2 of the opcode map (after 0x18): moves, the accumulator-to-accumulator operations,
// divisions, EMULS and EMACS, MIN/MAX, long branches, STOP, and the unimplemented-opcode trap.
#include "mcu/cpu12/alu.h"
#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {

void Cpu12::exec_page2(uint8_t op) {
    uint8_t& ccr = r_.ccr;
    if (op >= 0x20 && op <= 0x2F) {  // long branches
        const uint16_t offset = fetch16();
        if (branch_condition(op & 0x0F)) {
            r_.pc = static_cast<uint16_t>(r_.pc + offset);
        } else {
            cycle_sel_ = 1;
        }
        return;
    }
    if (op >= 0x18 && op <= 0x1F) {
        exec_minmax(op);
        return;
    }
    switch (op) {
        case 0x00: case 0x01: case 0x02: case 0x03: case 0x04: case 0x05:
        case 0x08: case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
            exec_move(op);
            return;
        case 0x06: r_.a = alu::add8(ccr, r_.a, r_.b, false); return;  // ABA
        case 0x07: exec_daa(); return;
        case 0x0E: r_.b = alu::logic8(ccr, r_.a); return;   // TAB
        case 0x0F: r_.a = alu::logic8(ccr, r_.b); return;   // TBA
        case 0x10: case 0x11: case 0x14: case 0x15: exec_divide(op); return;
        case 0x12: exec_emacs(); return;
        case 0x13: {  // EMULS: D * Y, signed
            const int32_t p = int32_t{static_cast<int16_t>(r_.d())} * static_cast<int16_t>(r_.y);
            const auto u = static_cast<uint32_t>(p);
            r_.y = static_cast<uint16_t>(u >> 16);
            r_.set_d(static_cast<uint16_t>(u));
            alu::put(ccr, kCcrN, (u & 0x80000000u) != 0);
            alu::put(ccr, kCcrZ, u == 0);
            alu::put(ccr, kCcrC, (u & 0x8000) != 0);
            return;
        }
        case 0x16: r_.a = alu::sub8(ccr, r_.a, r_.b, false); return;  // SBA
        case 0x17: alu::sub8(ccr, r_.a, r_.b, false); return;         // CBA
        case 0x3A: exec_rev(false); return;
        case 0x3B: exec_rev(true); return;
        case 0x3C: exec_wav(false); return;
        case 0x3D: exec_tbl(false); return;
        case 0x3F: exec_tbl(true); return;
        case 0x3E:  // STOP: a two-cycle no-op while S is set
            if (ccr & kCcrS) {
                cycle_sel_ = 1;
                return;
            }
            stack_all(r_.pc);
            wait_ = Stop::kStop;
            insn_stop_ = Stop::kStop;
            return;
        default:  // TRAP and the unimplemented page-2 opcodes
            take_trap(kVectorTrap);
            return;
    }
}

// MOVB (0x08-0x0D) and MOVW (0x00-0x05) by form: #-idx, ext-idx, idx-idx, #-ext, ext-ext,
// idx-ext. The indexed operand comes first in the encoding whenever there is one.
void Cpu12::exec_move(uint8_t op) {
    if (illegal_at(insn_pc_)) {
        r_.pc = static_cast<uint16_t>(insn_pc_ + 2);
        take_trap(kVectorTrap);
        return;
    }
    const bool word = op < 0x08;
    const auto read = [&](uint16_t a) -> uint16_t { return word ? rd16(a) : rd8(a); };
    const auto immediate = [&]() -> uint16_t { return word ? fetch16() : fetch8(); };
    uint16_t value = 0;
    uint16_t dst = 0;
    switch (op & 7) {
        case 0: dst = indexed_ea(); value = immediate(); break;
        case 1: dst = indexed_ea(); value = read(fetch16()); break;
        case 2: value = read(indexed_ea()); dst = indexed_ea(); break;
        case 3: value = immediate(); dst = fetch16(); break;
        case 4: value = read(fetch16()); dst = fetch16(); break;
        default: value = read(indexed_ea()); dst = fetch16(); break;
    }
    cycle_sel_ = 0;  // moves take the same time for every postbyte they accept
    if (word) {
        wr16(dst, value);
    } else {
        wr8(dst, static_cast<uint8_t>(value));
    }
}

// IDIV, FDIV, EDIVS, IDIVS. On division by zero C is set and the registers the manual leaves
// undefined keep their values (IDIV and FDIV give the quotient $FFFF as the manual says); on
// overflow V is set and the registers keep their values.
void Cpu12::exec_divide(uint8_t op) {
    uint8_t& ccr = r_.ccr;
    const uint16_t d = r_.d();
    const uint16_t x = r_.x;
    if (x == 0) {
        alu::put(ccr, kCcrC, true);
        if (op == 0x10 || op == 0x11) {
            r_.x = 0xFFFF;
            alu::put(ccr, kCcrZ, false);
            if (op == 0x11) {
                alu::put(ccr, kCcrV, true);
            }
        }
        return;
    }
    alu::put(ccr, kCcrC, false);
    switch (op) {
        case 0x10:  // IDIV: D / X unsigned
            r_.x = static_cast<uint16_t>(d / x);
            r_.set_d(static_cast<uint16_t>(d % x));
            alu::put(ccr, kCcrZ, r_.x == 0);
            alu::put(ccr, kCcrV, false);
            return;
        case 0x11: {  // FDIV: (D * 65536) / X, V when X <= D
            if (x <= d) {
                alu::put(ccr, kCcrV, true);
                return;
            }
            const uint32_t n = uint32_t{d} << 16;
            r_.x = static_cast<uint16_t>(n / x);
            r_.set_d(static_cast<uint16_t>(n % x));
            alu::put(ccr, kCcrZ, r_.x == 0);
            alu::put(ccr, kCcrV, false);
            return;
        }
        case 0x15: {  // IDIVS: D / X signed
            const int32_t n = static_cast<int16_t>(d), m = static_cast<int16_t>(x);
            const int32_t q = n / m;
            if (q > 32767) {
                alu::put(ccr, kCcrV, true);
                return;
            }
            r_.x = static_cast<uint16_t>(q);
            r_.set_d(static_cast<uint16_t>(n % m));
            alu::logic16(ccr, r_.x);
            return;
        }
        default: {  // EDIVS: Y:D / X signed
            const int64_t n = static_cast<int32_t>(uint32_t{r_.y} << 16 | d);
            const int64_t m = static_cast<int16_t>(x);
            const int64_t q = n / m;
            if (q > 32767 || q < -32768) {
                alu::put(ccr, kCcrV, true);
                return;
            }
            r_.y = static_cast<uint16_t>(q);
            r_.set_d(static_cast<uint16_t>(n % m));
            alu::logic16(ccr, r_.y);
            return;
        }
    }
}

// MAXA MINA (A), EMAXD EMIND (D), MAXM MINM EMAXM EMINM (memory, always written). The flags
// are those of the comparison register - memory; the choice is unsigned.
void Cpu12::exec_minmax(uint8_t op) {
    uint8_t& ccr = r_.ccr;
    const uint16_t ea = indexed_ea();
    const bool max = (op & 1) == 0;
    const bool to_memory = op >= 0x1C;
    if (op == 0x18 || op == 0x19 || op == 0x1C || op == 0x1D) {
        const uint8_t m = rd8(ea);
        alu::sub8(ccr, r_.a, m, false);
        const uint8_t chosen = max ? (r_.a > m ? r_.a : m) : (r_.a < m ? r_.a : m);
        if (to_memory) {
            wr8(ea, chosen);
        } else {
            r_.a = chosen;
        }
        return;
    }
    const uint16_t m = rd16(ea);
    const uint16_t d = r_.d();
    alu::sub16(ccr, d, m);
    const uint16_t chosen = max ? (d > m ? d : m) : (d < m ? d : m);
    if (to_memory) {
        wr16(ea, chosen);
    } else {
        r_.set_d(chosen);
    }
}

// DAA after ADDA/ADCA/ABA of BCD operands: the correction comes from C, H and the nibbles of
// A. V is left as it was (the manual leaves it undefined).
void Cpu12::exec_daa() {
    uint8_t& ccr = r_.ccr;
    const uint8_t a = r_.a;
    const unsigned hi = a >> 4, lo = a & 0x0F;
    unsigned correction = 0;
    bool carry = ccr & kCcrC;
    if ((ccr & kCcrH) || lo > 9) {
        correction |= 0x06;
    }
    if (carry || hi > 9 || (hi >= 9 && lo > 9)) {
        correction |= 0x60;
        carry = true;
    }
    r_.a = static_cast<uint8_t>(a + correction);
    alu::nz8(ccr, r_.a);
    alu::put(ccr, kCcrC, carry);
}

// EMACS opr16a: (M(X):M(X+1)) * (M(Y):M(Y+1)) signed, added to the 32-bit word at the
// operand. V is two's complement overflow of the addition, C its carry out of bit 15.
void Cpu12::exec_emacs() {
    uint8_t& ccr = r_.ccr;
    const uint16_t ea = fetch16();
    const int32_t p = int32_t{static_cast<int16_t>(rd16(r_.x))} * static_cast<int16_t>(rd16(r_.y));
    const uint32_t acc = uint32_t{rd16(ea)} << 16 | rd16(static_cast<uint16_t>(ea + 2));
    const uint32_t sum = acc + static_cast<uint32_t>(p);
    wr16(ea, static_cast<uint16_t>(sum >> 16));
    wr16(static_cast<uint16_t>(ea + 2), static_cast<uint16_t>(sum));
    alu::put(ccr, kCcrN, (sum & 0x80000000u) != 0);
    alu::put(ccr, kCcrZ, sum == 0);
    alu::put(ccr, kCcrV, ((acc ^ sum) & (static_cast<uint32_t>(p) ^ sum) & 0x80000000u) != 0);
    alu::put(ccr, kCcrC, ((acc & 0xFFFF) + (static_cast<uint32_t>(p) & 0xFFFF)) > 0xFFFF);
}

}  // namespace zelv::sim::cpu12
