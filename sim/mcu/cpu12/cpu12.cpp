// The CPU12 core's frame: stepping, the cycle budget, stacking, interrupts and the check
// for encodings the CPU treats as a trap.
#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {

uint8_t Cpu12::fetch8() {
    return bus_.read8(r_.pc++);
}

uint16_t Cpu12::fetch16() {
    const uint16_t value = bus_.read16(r_.pc);
    r_.pc = static_cast<uint16_t>(r_.pc + 2);
    return value;
}

void Cpu12::push8(uint8_t v) {
    --r_.sp;
    wr8(r_.sp, v);
}

void Cpu12::push16(uint16_t v) {
    r_.sp = static_cast<uint16_t>(r_.sp - 2);
    wr16(r_.sp, v);
}

uint8_t Cpu12::pull8() {
    return rd8(r_.sp++);
}

uint16_t Cpu12::pull16() {
    const uint16_t v = rd16(r_.sp);
    r_.sp = static_cast<uint16_t>(r_.sp + 2);
    return v;
}

// The interrupt frame: return address, Y, X, then B:A (B at the lower address), then CCR.
void Cpu12::stack_all(uint16_t return_address) {
    push16(return_address);
    push16(r_.y);
    push16(r_.x);
    push16(static_cast<uint16_t>(r_.b << 8 | r_.a));
    push8(r_.ccr);
}

void Cpu12::unstack_all() {
    set_ccr_by_software(pull8());
    const uint16_t ba = pull16();
    r_.b = static_cast<uint8_t>(ba >> 8);
    r_.a = static_cast<uint8_t>(ba);
    r_.x = pull16();
    r_.y = pull16();
    r_.pc = pull16();
}

void Cpu12::set_ccr_by_software(uint8_t value) {
    if ((r_.ccr & kCcrX) == 0) {
        value = static_cast<uint8_t>(value & ~kCcrX);
    }
    r_.ccr = value;
}

void Cpu12::reset() {
    wait_ = Stop::kNone;
    r_.ccr = kCcrS | kCcrX | kCcrI;
    r_.pc = rd16(kVectorReset);
}

void Cpu12::take_trap(uint16_t vector) {
    stack_all(r_.pc);
    r_.ccr |= kCcrI;
    r_.pc = rd16(vector);
}

uint32_t Cpu12::interrupt(uint16_t vector, bool xirq) {
    // From WAI or STOP the frame is already on the stack: only the vector fetch remains.
    uint32_t cycles = 6;
    if (wait_ == Stop::kNone) {
        stack_all(r_.pc);
        cycles = 9;
    }
    wait_ = Stop::kNone;
    r_.ccr |= kCcrI;
    if (xirq) {
        r_.ccr |= kCcrX;
    }
    r_.pc = rd16(vector);
    return cycles;
}

// Encodings the CPU12 does not execute as instructions: TRAP and the unimplemented page-2
// opcodes, loop primitives with a reserved operation or register, and MOVB/MOVW with an
// indexed operand that is not a move mode (9/16-bit offset, [n16,r]).
bool Cpu12::illegal_at(uint16_t pc) {
    const uint8_t op = rd8(pc);
    const uint8_t b1 = rd8(static_cast<uint16_t>(pc + 1));
    if (op == 0x04) {
        return (b1 & 0xC0) == 0xC0 || (b1 & 7) == 2 || (b1 & 7) == 3;
    }
    if (op != 0x18) {
        return false;
    }
    if (kPage2[b1].mode == Mode::kTrap) {
        return true;
    }
    const auto bad = [](uint8_t xb) { return postbyte_info(xb).cls != kIdx0 &&
                                             postbyte_info(xb).cls != kIdxD; };
    switch (b1) {
        case 0x00: case 0x01: case 0x05: case 0x08: case 0x09: case 0x0D:
            return bad(rd8(static_cast<uint16_t>(pc + 2)));
        case 0x02: case 0x0A:
            return bad(rd8(static_cast<uint16_t>(pc + 2))) ||
                   bad(rd8(static_cast<uint16_t>(pc + 3)));
        default:
            return false;
    }
}

StepResult Cpu12::step() {
    StepResult result;
    result.pc = r_.pc;
    if (wait_ != Stop::kNone) {
        result.stop = wait_;
        return result;
    }
    const uint8_t op = rd8(r_.pc);
    if (op == 0x00 && options_.stop_before_bgnd) {
        result.stop = Stop::kBgnd;
        return result;
    }
    if (options_.stop_before_illegal && illegal_at(r_.pc)) {
        result.stop = Stop::kIllegal;
        return result;
    }
    insn_pc_ = r_.pc;
    cycle_sel_ = 0;
    extra_cycles_ = 0;
    insn_stop_ = Stop::kNone;
    ++r_.pc;
    const OpInfo* info = &kPage1[op];
    if (op == 0x18) {
        const uint8_t op2 = fetch8();
        info = &kPage2[op2];
        exec_page2(op2);
    } else {
        exec_page1(op);
    }
    result.cycles = info->cycles[cycle_sel_] + extra_cycles_;
    result.stop = insn_stop_;
    result.executed = true;
    return result;
}

RunResult Cpu12::run(uint64_t max_cycles) {
    RunResult result;
    while (result.cycles < max_cycles) {
        const StepResult s = step();
        result.cycles += s.cycles;
        result.instructions += s.executed ? 1 : 0;
        if (s.stop != Stop::kNone) {
            result.stop = s.stop;
            return result;
        }
    }
    result.stop = Stop::kBudget;
    return result;
}

}  // namespace zelv::sim::cpu12
