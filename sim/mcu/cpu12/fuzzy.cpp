// The fuzzy-logic and table instructions: MEM, REV, REVW, WAV (and WAVR), TBL, ETBL.
// The core runs REV, REVW and WAV to the end in one step (no interrupt can split them
// here), so the interrupted-state forms never arise; WAVR therefore runs as WAV would from
// the current registers. Cycle counts per element are the manual's figures as remembered
// (REV/REVW 3 per rule byte or word, WAV 8 per element), not checked letter by letter.
#include "mcu/cpu12/alu.h"
#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {

// MEM: grade of membership of input A in the trapezoid at X (point 1, point 2, slope 1,
// slope 2; a slope of 0 is vertical), stored at Y; X += 4, Y += 1. Flags undefined: kept.
void Cpu12::exec_mem() {
    const uint8_t p1 = rd8(r_.x);
    const uint8_t p2 = rd8(static_cast<uint16_t>(r_.x + 1));
    const uint8_t s1 = rd8(static_cast<uint16_t>(r_.x + 2));
    const uint8_t s2 = rd8(static_cast<uint16_t>(r_.x + 3));
    unsigned grade = 0;
    if (r_.a >= p1 && r_.a <= p2) {
        const unsigned g1 = s1 == 0 ? 0xFFu : unsigned(r_.a - p1) * s1;
        const unsigned g2 = s2 == 0 ? 0xFFu : unsigned(p2 - r_.a) * s2;
        grade = g1 < g2 ? g1 : g2;
        grade = grade > 0xFF ? 0xFF : grade;
    }
    wr8(r_.y, static_cast<uint8_t>(grade));
    r_.x = static_cast<uint16_t>(r_.x + 4);
    ++r_.y;
}

// REV (byte offsets from Y, $FE separator, $FF end) and REVW (16-bit addresses, $FFFE
// separator, $FFFF end; with C set each rule's strength is weighted by the byte at Y).
// A carries the running minimum; V tells antecedents (0) from consequents (1).
void Cpu12::exec_rev(bool weighted) {
    uint8_t& ccr = r_.ccr;
    const bool use_weights = weighted && (ccr & kCcrC);
    bool consequents = ccr & kCcrV;
    for (;;) {
        uint16_t element = 0;
        if (weighted) {
            element = rd16(r_.x);
            r_.x = static_cast<uint16_t>(r_.x + 2);
        } else {
            element = rd8(r_.x++);
        }
        extra_cycles_ += 3;
        const uint16_t end = weighted ? 0xFFFF : 0xFF;
        if (element == end) {
            break;
        }
        if (element == end - 1) {
            if (consequents) {
                r_.a = 0xFF;
            } else if (use_weights) {
                r_.a = static_cast<uint8_t>((r_.a * rd8(r_.y++)) >> 8);
            }
            consequents = !consequents;
            continue;
        }
        const uint16_t address = weighted ? element : static_cast<uint16_t>(r_.y + element);
        const uint8_t m = rd8(address);
        if (!consequents) {
            r_.a = m < r_.a ? m : r_.a;
        } else if (r_.a > m) {
            wr8(address, r_.a);
        }
    }
    alu::put(ccr, kCcrV, consequents);
}

// WAV: for B elements, sum(S(X) * F(Y)) into Y:D and sum(F(Y)) into X; B ends at 0. Z
// tells a zero sum of weights (the EDIV that follows would divide by zero).
void Cpu12::exec_wav(bool) {
    uint32_t products = 0;
    uint16_t weights = 0;
    uint16_t xs = r_.x, ys = r_.y;
    for (unsigned n = r_.b; n > 0; --n) {
        const uint8_t s = rd8(xs++);
        const uint8_t f = rd8(ys++);
        products += uint32_t{s} * f;
        weights = static_cast<uint16_t>(weights + f);
        extra_cycles_ += 8;
    }
    r_.b = 0;
    r_.y = static_cast<uint16_t>(products >> 16);
    r_.set_d(static_cast<uint16_t>(products));
    r_.x = weights;
    alu::put(r_.ccr, kCcrZ, weights == 0);
}

// TBL / ETBL: interpolate between the byte (word) at the operand and the next, B being the
// fraction: A (D) = Y1 + (Y2 - Y1) * B / 256; C tells that the result would round up.
void Cpu12::exec_tbl(bool extended) {
    uint8_t& ccr = r_.ccr;
    const uint16_t ea = indexed_ea();
    if (extended) {
        const int32_t y1 = rd16(ea), y2 = rd16(static_cast<uint16_t>(ea + 2));
        const int32_t product = (y2 - y1) * r_.b;
        r_.set_d(static_cast<uint16_t>(y1 + (product >> 8)));
        alu::nz16(ccr, r_.d());
        alu::put(ccr, kCcrC, (product & 0x80) != 0);
        return;
    }
    const int32_t y1 = rd8(ea), y2 = rd8(static_cast<uint16_t>(ea + 1));
    const int32_t product = (y2 - y1) * r_.b;
    r_.a = static_cast<uint8_t>(y1 + (product >> 8));
    alu::nz8(ccr, r_.a);
    alu::put(ccr, kCcrC, (product & 0x80) != 0);
}

}  // namespace zelv::sim::cpu12
