// Arithmetic and the condition codes it leaves, as the CPU12 reference manual gives them
// for each instruction (H only from the 8-bit additions; X is not the ALU's business).
#pragma once

#include <cstdint>

#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12::alu {

inline void put(uint8_t& ccr, uint8_t bit, bool on) {
    ccr = static_cast<uint8_t>(on ? (ccr | bit) : (ccr & ~bit));
}
inline void nz8(uint8_t& ccr, uint8_t r) {
    put(ccr, kCcrN, (r & 0x80) != 0);
    put(ccr, kCcrZ, r == 0);
}
inline void nz16(uint8_t& ccr, uint16_t r) {
    put(ccr, kCcrN, (r & 0x8000) != 0);
    put(ccr, kCcrZ, r == 0);
}
// Loads, stores, logic, TST: N Z from the result, V cleared.
inline uint8_t logic8(uint8_t& ccr, uint8_t r) {
    nz8(ccr, r);
    put(ccr, kCcrV, false);
    return r;
}
inline uint16_t logic16(uint8_t& ccr, uint16_t r) {
    nz16(ccr, r);
    put(ccr, kCcrV, false);
    return r;
}

inline uint8_t add8(uint8_t& ccr, uint8_t a, uint8_t m, bool carry) {
    const unsigned sum = a + m + (carry ? 1u : 0u);
    const uint8_t r = static_cast<uint8_t>(sum);
    nz8(ccr, r);
    put(ccr, kCcrH, ((a & 0x0F) + (m & 0x0F) + (carry ? 1 : 0)) > 0x0F);
    put(ccr, kCcrV, ((a ^ r) & (m ^ r) & 0x80) != 0);
    put(ccr, kCcrC, sum > 0xFF);
    return r;
}
inline uint8_t sub8(uint8_t& ccr, uint8_t a, uint8_t m, bool borrow) {
    const int diff = a - m - (borrow ? 1 : 0);
    const uint8_t r = static_cast<uint8_t>(diff);
    nz8(ccr, r);
    put(ccr, kCcrV, ((a ^ m) & (a ^ r) & 0x80) != 0);
    put(ccr, kCcrC, diff < 0);
    return r;
}
inline uint16_t add16(uint8_t& ccr, uint16_t a, uint16_t m) {
    const uint32_t sum = uint32_t{a} + m;
    const uint16_t r = static_cast<uint16_t>(sum);
    nz16(ccr, r);
    put(ccr, kCcrV, ((a ^ r) & (m ^ r) & 0x8000) != 0);
    put(ccr, kCcrC, sum > 0xFFFF);
    return r;
}
inline uint16_t sub16(uint8_t& ccr, uint16_t a, uint16_t m) {
    const int32_t diff = int32_t{a} - int32_t{m};
    const uint16_t r = static_cast<uint16_t>(diff);
    nz16(ccr, r);
    put(ccr, kCcrV, ((a ^ m) & (a ^ r) & 0x8000) != 0);
    put(ccr, kCcrC, diff < 0);
    return r;
}

// The read-modify-write column (0x40-0x48, 0x50-0x58, 0x60-0x69, 0x70-0x79) by its low
// nibble: NEG COM INC DEC LSR ROL ROR ASR ASL CLR.
inline uint8_t rmw8(uint8_t& ccr, unsigned op, uint8_t m) {
    const bool c_in = (ccr & kCcrC) != 0;
    uint8_t r = 0;
    bool c = false;
    switch (op) {
        case 0x0:  // NEG
            r = static_cast<uint8_t>(0 - m);
            nz8(ccr, r);
            put(ccr, kCcrV, r == 0x80);
            put(ccr, kCcrC, r != 0);
            return r;
        case 0x1:  // COM
            r = static_cast<uint8_t>(~m);
            logic8(ccr, r);
            put(ccr, kCcrC, true);
            return r;
        case 0x2:  // INC: C untouched
            r = static_cast<uint8_t>(m + 1);
            nz8(ccr, r);
            put(ccr, kCcrV, r == 0x80);
            return r;
        case 0x3:  // DEC: C untouched
            r = static_cast<uint8_t>(m - 1);
            nz8(ccr, r);
            put(ccr, kCcrV, r == 0x7F);
            return r;
        case 0x4: r = static_cast<uint8_t>(m >> 1); c = m & 1; break;                   // LSR
        case 0x5: r = static_cast<uint8_t>(m << 1 | (c_in ? 1 : 0)); c = m & 0x80; break;   // ROL
        case 0x6: r = static_cast<uint8_t>(m >> 1 | (c_in ? 0x80 : 0)); c = m & 1; break;   // ROR
        case 0x7: r = static_cast<uint8_t>((m >> 1) | (m & 0x80)); c = m & 1; break;     // ASR
        case 0x8: r = static_cast<uint8_t>(m << 1); c = m & 0x80; break;                 // ASL
        default:  // CLR
            ccr = static_cast<uint8_t>((ccr & ~(kCcrN | kCcrV | kCcrC)) | kCcrZ);
            return 0;
    }
    nz8(ccr, r);
    put(ccr, kCcrC, c);
    put(ccr, kCcrV, ((r & 0x80) != 0) != c);  // V = N xor C after the shift
    return r;
}

}  // namespace zelv::sim::cpu12::alu
