// Page 1 of the opcode map: the accumulator and index register columns (0x80-0xFF), the
// read-modify-write and store columns (0x40-0x7F) and the rest (0x00-0x3F).
#include "mcu/cpu12/alu.h"
#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {

void Cpu12::exec_page1(uint8_t op) {
    if (op >= 0x80) {
        exec_alu_column(op);
    } else if (op >= 0x40) {
        exec_rmw(op);
    } else {
        exec_misc(op);
    }
}

// 0x80-0xBF work on A (and D, X, Y, SP compares and SUBD), 0xC0-0xFF on B (and ADDD and the
// 16-bit loads); bits 5:4 are the mode: immediate, direct, indexed, extended.
void Cpu12::exec_alu_column(uint8_t op) {
    const unsigned low = op & 0x0F;
    const unsigned mode = op >> 4 & 3;
    const bool b_side = op >= 0xC0;
    uint8_t& ccr = r_.ccr;
    if (low == 7) {
        switch (op) {
            case 0x87: r_.a = alu::rmw8(ccr, 9, 0); return;  // CLRA
            case 0xC7: r_.b = alu::rmw8(ccr, 9, 0); return;  // CLRB
            case 0x97: alu::logic8(ccr, r_.a); alu::put(ccr, kCcrC, false); return;  // TSTA
            case 0xD7: alu::logic8(ccr, r_.b); alu::put(ccr, kCcrC, false); return;  // TSTB
            case 0xA7: return;                                                     // NOP
            case 0xB7: exec_transfer(); return;                                    // TFR/EXG
            default:                                                               // TST
                alu::logic8(ccr, rd8(operand_ea(mode)));
                alu::put(ccr, kCcrC, false);
                return;
        }
    }
    if (low == 3 || low >= 0x0C) {
        const uint16_t m = mode == 0 ? fetch16() : rd16(operand_ea(mode));
        if (!b_side) {
            switch (low) {
                case 0x3: r_.set_d(alu::sub16(ccr, r_.d(), m)); break;  // SUBD
                case 0xC: alu::sub16(ccr, r_.d(), m); break;           // CPD
                case 0xD: alu::sub16(ccr, r_.y, m); break;             // CPY
                case 0xE: alu::sub16(ccr, r_.x, m); break;             // CPX
                default: alu::sub16(ccr, r_.sp, m); break;             // CPS
            }
        } else {
            switch (low) {
                case 0x3: r_.set_d(alu::add16(ccr, r_.d(), m)); break;  // ADDD
                case 0xC: r_.set_d(alu::logic16(ccr, m)); break;        // LDD
                case 0xD: r_.y = alu::logic16(ccr, m); break;           // LDY
                case 0xE: r_.x = alu::logic16(ccr, m); break;           // LDX
                default: r_.sp = alu::logic16(ccr, m); break;           // LDS
            }
        }
        return;
    }
    const uint8_t m = mode == 0 ? fetch8() : rd8(operand_ea(mode));
    uint8_t& acc = b_side ? r_.b : r_.a;
    const bool c = ccr & kCcrC;
    switch (low) {
        case 0x0: acc = alu::sub8(ccr, acc, m, false); break;                 // SUB
        case 0x1: alu::sub8(ccr, acc, m, false); break;                       // CMP
        case 0x2: acc = alu::sub8(ccr, acc, m, c); break;                     // SBC
        case 0x4: acc = alu::logic8(ccr, acc & m); break;                     // AND
        case 0x5: alu::logic8(ccr, acc & m); break;                           // BIT
        case 0x6: acc = alu::logic8(ccr, m); break;                           // LD
        case 0x8: acc = alu::logic8(ccr, acc ^ m); break;                     // EOR
        case 0x9: acc = alu::add8(ccr, acc, m, c); break;                     // ADC
        case 0xA: acc = alu::logic8(ccr, acc | m); break;                     // ORA
        default: acc = alu::add8(ccr, acc, m, false); break;                  // ADD
    }
}

// 0x40-0x7F: NEG..CLR on A (0x4x), B (0x5x), indexed (0x6x), extended (0x7x); LSRD, ASLD;
// the stores in 0x5A-0x7F (direct, indexed, extended); CALL and the direct bit operations.
void Cpu12::exec_rmw(uint8_t op) {
    const unsigned low = op & 0x0F;
    const unsigned row = op >> 4;
    uint8_t& ccr = r_.ccr;
    if (low <= 9) {
        if (row <= 5 && low == 9) {  // LSRD, ASLD
            const uint16_t d = r_.d();
            const bool left = row == 5;
            const uint16_t r = left ? static_cast<uint16_t>(d << 1) : static_cast<uint16_t>(d >> 1);
            const bool c = left ? (d & 0x8000) : (d & 1);
            r_.set_d(r);
            alu::nz16(ccr, r);
            alu::put(ccr, kCcrC, c);
            alu::put(ccr, kCcrV, ((r & 0x8000) != 0) != c);
        } else if (row <= 5) {
            uint8_t& acc = row == 4 ? r_.a : r_.b;
            acc = alu::rmw8(ccr, low, acc);
        } else {
            const uint16_t ea = row == 6 ? indexed_ea() : fetch16();
            const uint8_t m = low == 9 ? 0 : rd8(ea);
            wr8(ea, alu::rmw8(ccr, low, m));
        }
        return;
    }
    if (row == 4) {
        if (low <= 0xB) {
            exec_call(op);
        } else {
            exec_bit_op(op);
        }
        return;
    }
    // Stores: the register is read before the address is formed, so STX 2,X+ stores the
    // X the instruction started with.
    const unsigned reg = low - 0xA;  // A B D Y X SP
    const uint16_t value = reg == 0 ? r_.a : reg == 1 ? r_.b : reg == 2 ? r_.d()
                         : reg == 3 ? r_.y : reg == 4 ? r_.x : r_.sp;
    const uint16_t ea = row == 5 ? fetch8() : row == 6 ? indexed_ea() : fetch16();
    if (reg <= 1) {
        wr8(ea, alu::logic8(ccr, static_cast<uint8_t>(value)));
    } else {
        wr16(ea, alu::logic16(ccr, value));
    }
}

void Cpu12::exec_misc(uint8_t op) {
    uint8_t& ccr = r_.ccr;
    if (op >= 0x20 && op <= 0x2F) {
        const auto offset = static_cast<int8_t>(fetch8());
        if (branch_condition(op & 0x0F)) {
            r_.pc = static_cast<uint16_t>(r_.pc + offset);
        } else {
            cycle_sel_ = 1;
        }
        return;
    }
    switch (op) {
        case 0x00: insn_stop_ = Stop::kBgnd; return;  // BGND: PC is past it
        case 0x01: exec_mem(); return;
        case 0x02: ++r_.y; alu::put(ccr, kCcrZ, r_.y == 0); return;  // INY
        case 0x03: --r_.y; alu::put(ccr, kCcrZ, r_.y == 0); return;  // DEY
        case 0x04: exec_loop(); return;
        case 0x05: r_.pc = indexed_ea(); return;  // JMP
        case 0x06: r_.pc = fetch16(); return;
        case 0x07: {  // BSR
            const auto offset = static_cast<int8_t>(fetch8());
            push16(r_.pc);
            r_.pc = static_cast<uint16_t>(r_.pc + offset);
            return;
        }
        case 0x08: ++r_.x; alu::put(ccr, kCcrZ, r_.x == 0); return;  // INX
        case 0x09: --r_.x; alu::put(ccr, kCcrZ, r_.x == 0); return;  // DEX
        case 0x0A:  // RTC
            bus_.set_ppage(pull8());
            r_.pc = pull16();
            return;
        case 0x0B: unstack_all(); return;  // RTI
        case 0x0C: case 0x0D: case 0x0E: case 0x0F:
        case 0x1C: case 0x1D: case 0x1E: case 0x1F:
            exec_bit_op(op);
            return;
        case 0x10: ccr &= fetch8(); return;                                     // ANDCC
        case 0x14: ccr |= static_cast<uint8_t>(fetch8() & ~kCcrX); return;     // ORCC
        case 0x11: {  // EDIV: Y:D / X, unsigned
            const uint32_t dividend = uint32_t{r_.y} << 16 | r_.d();
            if (r_.x == 0) {
                alu::put(ccr, kCcrC, true);
                return;
            }
            const uint32_t q = dividend / r_.x;
            alu::put(ccr, kCcrC, false);
            if (q > 0xFFFF) {
                alu::put(ccr, kCcrV, true);
                return;
            }
            r_.y = static_cast<uint16_t>(q);
            r_.set_d(static_cast<uint16_t>(dividend % r_.x));
            alu::logic16(ccr, r_.y);
            return;
        }
        case 0x12: {  // MUL
            r_.set_d(static_cast<uint16_t>(r_.a * r_.b));
            alu::put(ccr, kCcrC, (r_.b & 0x80) != 0);
            return;
        }
        case 0x13: {  // EMUL: D * Y, unsigned
            const uint32_t p = uint32_t{r_.d()} * r_.y;
            r_.y = static_cast<uint16_t>(p >> 16);
            r_.set_d(static_cast<uint16_t>(p));
            alu::put(ccr, kCcrN, (p & 0x80000000u) != 0);
            alu::put(ccr, kCcrZ, p == 0);
            alu::put(ccr, kCcrC, (p & 0x8000) != 0);
            return;
        }
        case 0x15: {  // JSR indexed: the address is formed before the return is pushed
            const uint16_t ea = indexed_ea();
            push16(r_.pc);
            r_.pc = ea;
            return;
        }
        case 0x16:
        case 0x17: {
            const uint16_t ea = op == 0x16 ? fetch16() : fetch8();
            push16(r_.pc);
            r_.pc = ea;
            return;
        }
        case 0x19: r_.y = indexed_ea(); return;   // LEAY
        case 0x1A: r_.x = indexed_ea(); return;   // LEAX
        case 0x1B: r_.sp = indexed_ea(); return;  // LEAS
        case 0x30: r_.x = pull16(); return;
        case 0x31: r_.y = pull16(); return;
        case 0x32: r_.a = pull8(); return;
        case 0x33: r_.b = pull8(); return;
        case 0x34: push16(r_.x); return;
        case 0x35: push16(r_.y); return;
        case 0x36: push8(r_.a); return;
        case 0x37: push8(r_.b); return;
        case 0x38: set_ccr_by_software(pull8()); return;  // PULC
        case 0x39: push8(ccr); return;
        case 0x3A: r_.set_d(pull16()); return;
        case 0x3B: push16(r_.d()); return;
        case 0x3C: exec_wav(true); return;  // WAVR
        case 0x3D: r_.pc = pull16(); return;  // RTS
        case 0x3E:  // WAI: stack now, then wait for an interrupt
            stack_all(r_.pc);
            wait_ = Stop::kWai;
            insn_stop_ = Stop::kWai;
            return;
        default: take_trap(kVectorSwi); return;  // 0x3F SWI
    }
}

// Register codes of TFR/EXG: 0 A, 1 B, 2 CCR, 3 TMP2, 4 D, 5 X, 6 Y, 7 SP.
uint8_t Cpu12::reg8(uint8_t code) const {
    return code == 0 ? r_.a : code == 1 ? r_.b : r_.ccr;
}

uint16_t Cpu12::reg16(uint8_t code) const {
    switch (code) {
        case 3: return r_.tmp2;
        case 4: return r_.d();
        case 5: return r_.x;
        case 6: return r_.y;
        default: return r_.sp;
    }
}

void Cpu12::put_reg(uint8_t code, uint16_t value) {
    const auto low = static_cast<uint8_t>(value);
    switch (code) {
        case 0: r_.a = low; break;
        case 1: r_.b = low; break;
        case 2: set_ccr_by_software(low); break;
        case 3: r_.tmp2 = value; break;
        case 4: r_.set_d(value); break;
        case 5: r_.x = value; break;
        case 6: r_.y = value; break;
        default: r_.sp = value; break;
    }
}

// TFR and EXG (bit 7 of the postbyte), SEX being TFR from an 8-bit register to a 16-bit one.
// Between sizes: TFR sign-extends; EXG r8,r16 gives r16 = $00:r8; EXG r16,r8 gives
// r16 = $00:A, $FF:B or $FF:CCR (the manual's EXG table); the 8-bit register takes the
// 16-bit one's low byte. The 16-bit register is
// written first, which makes EXG A,D and EXG D,A exchange A and B.
void Cpu12::exec_transfer() {
    const uint8_t eb = fetch8();
    const auto src = static_cast<uint8_t>(eb >> 4 & 7);
    const auto dst = static_cast<uint8_t>(eb & 7);
    const bool wide_src = src >= 3, wide_dst = dst >= 3;
    const uint16_t sv = wide_src ? reg16(src) : reg8(src);
    if (!(eb & 0x80)) {
        uint16_t v = sv;
        if (!wide_src && wide_dst) {
            v = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(sv)));
        }
        put_reg(dst, v);
        return;
    }
    const uint16_t dv = wide_dst ? reg16(dst) : reg8(dst);
    if (wide_src == wide_dst) {
        put_reg(src, dv);
        put_reg(dst, sv);
    } else if (wide_dst) {
        put_reg(dst, sv);  // $00:r8
        put_reg(src, dv);
    } else {
        put_reg(src, static_cast<uint16_t>((dst == 0 ? 0x0000 : 0xFF00) | dv));
        put_reg(dst, sv);
    }
}

// DBEQ DBNE TBEQ TBNE IBEQ IBNE: 04 lb rr, lb = ooo s x rrr (operation, sign of the 9-bit
// offset, register A B - - D X Y SP). No flags change.
void Cpu12::exec_loop() {
    const uint8_t lb = fetch8();
    const uint8_t rr = fetch8();
    if (illegal_at(insn_pc_)) {
        take_trap(kVectorTrap);
        return;
    }
    const unsigned operation = lb >> 5;
    const auto reg = static_cast<uint8_t>(lb & 7);
    uint16_t v = reg <= 1 ? reg8(reg) : reg16(reg);
    if (operation <= 1) {
        --v;
    } else if (operation >= 4) {
        ++v;
    }
    if (reg <= 1) {
        v &= 0xFF;
    }
    if (operation <= 1 || operation >= 4) {
        put_reg(reg, v);
    }
    const bool zero = v == 0;
    const bool taken = (operation & 1) ? !zero : zero;
    if (taken) {
        const int offset = (lb & 0x10) ? rr - 256 : rr;
        r_.pc = static_cast<uint16_t>(r_.pc + offset);
    } else {
        cycle_sel_ = 1;
    }
}

// BSET BCLR BRSET BRCLR: indexed (0x0C-0x0F), extended (0x1C-0x1F), direct (0x4C-0x4F).
void Cpu12::exec_bit_op(uint8_t op) {
    const uint16_t ea = op < 0x10 ? indexed_ea() : op < 0x20 ? fetch16() : fetch8();
    const uint8_t mask = fetch8();
    const uint8_t m = rd8(ea);
    switch (op & 3) {
        case 0: wr8(ea, alu::logic8(r_.ccr, m | mask)); return;  // BSET
        case 1: wr8(ea, alu::logic8(r_.ccr, static_cast<uint8_t>(m & ~mask))); return;
        default: {
            const auto offset = static_cast<int8_t>(fetch8());
            const uint8_t tested = (op & 3) == 2 ? static_cast<uint8_t>(~m) : m;
            if ((tested & mask) == 0) {
                r_.pc = static_cast<uint16_t>(r_.pc + offset);
            }
        }
    }
}

// CALL: the return address and PPAGE are stacked, PPAGE takes the new page. The indirect
// forms read the address and the page from memory, (r+n):(r+n+1) and (r+n+2).
void Cpu12::exec_call(uint8_t op) {
    uint16_t target = 0;
    uint8_t page = 0;
    if (op == 0x4A) {
        target = fetch16();
        page = fetch8();
    } else {
        const uint16_t ea = indexed_ea(false);
        if (cycle_sel_ >= kIdxD) {
            target = rd16(ea);
            page = rd8(static_cast<uint16_t>(ea + 2));
        } else {
            target = ea;
            page = fetch8();
        }
    }
    push16(r_.pc);
    push8(bus_.ppage());
    bus_.set_ppage(page);
    r_.pc = target;
}

}  // namespace zelv::sim::cpu12
