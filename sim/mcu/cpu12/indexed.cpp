// Indexed addressing: the postbyte forms (5-, 9- and 16-bit constant offsets, A/B/D
// accumulator offsets, pre/post increment and decrement, [n16,r] and [D,r]), with X, Y, SP
// or PC as the base. A PC base is the address after the postbyte and its offset bytes.
#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {

uint16_t Cpu12::index_reg(uint8_t code) const {
    switch (code) {
        case 0: return r_.x;
        case 1: return r_.y;
        case 2: return r_.sp;
        default: return r_.pc;
    }
}

void Cpu12::set_index_reg(uint8_t code, uint16_t value) {
    switch (code) {
        case 0: r_.x = value; break;
        case 1: r_.y = value; break;
        case 2: r_.sp = value; break;
        default: r_.pc = value; break;
    }
}

uint16_t Cpu12::indexed_ea(bool follow_indirect) {
    const uint8_t xb = fetch8();
    const PostbyteInfo info = postbyte_info(xb);
    cycle_sel_ = info.cls;
    if ((xb & 0x20) == 0) {  // rr0nnnnn: 5-bit signed offset
        const int offset = (xb & 0x10) ? (xb & 0x0F) - 16 : (xb & 0x0F);
        return static_cast<uint16_t>(index_reg(info.reg) + offset);
    }
    if (info.auto_step) {  // rr1pnnnn: p=0 pre, p=1 post; nnnn +1..+8 or -8..-1
        const int step = (xb & 0x08) ? (xb & 0x0F) - 16 : (xb & 0x0F) + 1;
        const uint16_t old = index_reg(info.reg);
        const uint16_t stepped = static_cast<uint16_t>(old + step);
        set_index_reg(info.reg, stepped);
        return (xb & 0x10) ? old : stepped;
    }
    uint16_t pointer = 0;
    switch (info.cls) {
        case kIdx1: {
            const uint8_t low = fetch8();
            const int offset = (xb & 1) ? low - 256 : low;
            return static_cast<uint16_t>(index_reg(info.reg) + offset);
        }
        case kIdx2: {
            const uint16_t offset = fetch16();
            return static_cast<uint16_t>(index_reg(info.reg) + offset);
        }
        case kIdx16: {
            const uint16_t offset = fetch16();
            pointer = static_cast<uint16_t>(index_reg(info.reg) + offset);
            break;
        }
        case kIdxD:
            pointer = static_cast<uint16_t>(index_reg(info.reg) + r_.d());
            break;
        default: {  // 111rr1aa: accumulator offset, A and B unsigned
            const uint16_t offset = (xb & 3) == 0 ? r_.a : (xb & 3) == 1 ? r_.b : r_.d();
            return static_cast<uint16_t>(index_reg(info.reg) + offset);
        }
    }
    return follow_indirect ? rd16(pointer) : pointer;
}

uint16_t Cpu12::operand_ea(unsigned mode) {
    switch (mode) {
        case 1: return fetch8();
        case 2: return indexed_ea();
        default: return fetch16();
    }
}

bool Cpu12::branch_condition(uint8_t cond) const {
    const bool c = r_.ccr & kCcrC, z = r_.ccr & kCcrZ, v = r_.ccr & kCcrV, n = r_.ccr & kCcrN;
    bool taken = false;
    switch (cond >> 1) {
        case 0: taken = true; break;      // BRA / BRN
        case 1: taken = !(c || z); break; // BHI / BLS
        case 2: taken = !c; break;        // BCC / BCS
        case 3: taken = !z; break;        // BNE / BEQ
        case 4: taken = !v; break;        // BVC / BVS
        case 5: taken = !n; break;        // BPL / BMI
        case 6: taken = n == v; break;    // BGE / BLT
        default: taken = !(z || n != v); break;  // BGT / BLE
    }
    return (cond & 1) ? !taken : taken;
}

}  // namespace zelv::sim::cpu12
