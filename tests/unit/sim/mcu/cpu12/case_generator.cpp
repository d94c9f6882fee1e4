#include "case_generator.h"

#include <cstdio>

namespace zelv::sim::cpu12::testing {
namespace {

constexpr uint16_t kCode = 0x4000;
constexpr uint8_t kByteEdges[] = {0x00, 0x01, 0x02, 0x09, 0x0F, 0x10, 0x3F, 0x40, 0x7E,
                                  0x7F, 0x80, 0x81, 0x99, 0xC0, 0xFE, 0xFF};
constexpr uint16_t kWordEdges[] = {0x0000, 0x0001, 0x007F, 0x0080, 0x00FF, 0x0100, 0x7FFE,
                                   0x7FFF, 0x8000, 0x8001, 0xFF00, 0xFFFE, 0xFFFF};

bool is_wide_immediate(uint8_t op) {
    return op == 0x83 || op == 0xC3 || (op & 0xBC) == 0x8C;
}

}  // namespace

bool oracle_vouches_page1(uint8_t op) {
    return op != 0x00 && op != 0x01 && op != 0x3C;
}

bool oracle_vouches_page2(uint8_t op) {
    return op < 0x30 && op != 0x07 && op != 0x12;
}

uint8_t CaseGenerator::byte() {
    return pick(2) ? kByteEdges[pick(sizeof kByteEdges)] : static_cast<uint8_t>(rng_());
}

uint16_t CaseGenerator::word() {
    return pick(2) ? kWordEdges[pick(sizeof kWordEdges / 2)] : static_cast<uint16_t>(rng_());
}

// A postbyte and its offset bytes. Never PC-based or indirect when `pc_ok` is false (the
// operand is written, or more operand bytes follow); only the move modes when `moves`.
std::vector<uint8_t> CaseGenerator::postbyte(bool pc_ok, bool moves, bool indirect_ok) {
    for (;;) {
        const auto xb = static_cast<uint8_t>(rng_());
        const bool pc = (xb & 0xE0) == 0xE0 ? (xb >> 3 & 3) == 3 : (xb & 0x20) == 0 && (xb >> 6) == 3;
        const bool wide = (xb & 0xE4) == 0xE0;  // 9-bit, 16-bit, [n16,r]
        const bool indirect = (xb & 0xE7) == 0xE3 || (xb & 0xE7) == 0xE7;
        if (((pc || indirect) && !pc_ok) || (indirect && !indirect_ok)) {
            continue;
        }
        if (moves && (wide || indirect)) {
            continue;
        }
        Bytes out{xb};
        if ((xb & 0xE7) == 0xE0 || (xb & 0xE7) == 0xE1) {
            out.push_back(byte());
        } else if ((xb & 0xE7) == 0xE2 || (xb & 0xE7) == 0xE3) {
            const uint16_t offset = pick(4) ? static_cast<uint16_t>(pick(256) - 128) : word();
            out.push_back(static_cast<uint8_t>(offset >> 8));
            out.push_back(static_cast<uint8_t>(offset));
        }
        return out;
    }
}

// An instruction with no control flow, safe to skip over with a branch.
std::vector<uint8_t> CaseGenerator::simple_instruction() {
    static constexpr uint8_t kOps[] = {0x42, 0x43, 0x86, 0xC6, 0x8B, 0xCB, 0x80, 0x48, 0x57, 0x08};
    const uint8_t op = kOps[pick(sizeof kOps)];
    if (op >= 0x80) {
        return {op, byte()};
    }
    return {op};
}

// `head` ends in a branch offset of `offset_bytes` bytes that skips the simple instruction
// emitted after it, so both outcomes of the branch run valid code.
std::vector<uint8_t> CaseGenerator::with_skip(Bytes head, unsigned offset_bytes, bool) {
    Bytes skipped = simple_instruction();
    if (offset_bytes == 2) {
        head.push_back(0);
    }
    head.push_back(static_cast<uint8_t>(pick(4) ? skipped.size() : 0));
    head.insert(head.end(), skipped.begin(), skipped.end());
    return head;
}

std::vector<uint8_t> CaseGenerator::page2_instruction(uint8_t op) {
    ++count2_[op];
    Bytes out{0x18, op};
    const auto append = [&out](const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); };
    const auto imm = [&](bool wide) {
        const uint16_t v = wide ? word() : byte();
        if (wide) out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    };
    const auto ext = [&]() {
        const uint16_t a = static_cast<uint16_t>(0x1000 + pick(0x2000));
        out.push_back(static_cast<uint8_t>(a >> 8));
        out.push_back(static_cast<uint8_t>(a));
    };
    const bool word_move = op < 0x08;
    switch (op) {
        case 0x00: case 0x08: append(postbyte(false, true, false)); imm(word_move); return out;
        case 0x01: case 0x09: append(postbyte(false, true, false)); ext(); return out;
        case 0x02: case 0x0A: append(postbyte(false, true, false)); append(postbyte(false, true, false)); return out;
        case 0x03: case 0x0B: imm(word_move); ext(); return out;
        case 0x04: case 0x0C: ext(); ext(); return out;
        case 0x05: case 0x0D: append(postbyte(false, true, false)); ext(); return out;
        default: break;
    }
    if (op >= 0x18 && op <= 0x1F) {
        append(postbyte(op < 0x1C, false, op < 0x1C));
        return out;
    }
    if (op >= 0x20) {
        return with_skip(out, 2, true);
    }
    // Divisions get operands the oracle vouches for: no zero divisor, no overflow.
    Bytes setup;
    const uint16_t x = static_cast<uint16_t>(word() | 1);
    const uint16_t d = word();
    switch (op) {
        case 0x10: setup = {0xCE, static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)}; break;
        case 0x11: {
            const uint16_t dd = static_cast<uint16_t>(x == 0xFFFF ? 0 : d % x);
            setup = {0xCC, static_cast<uint8_t>(dd >> 8), static_cast<uint8_t>(dd), 0xCE,
                     static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)};
            break;
        }
        case 0x14: case 0x15: {
            const uint16_t xx = (d == 0x8000 && x == 0xFFFF) ? 1 : x;
            const uint8_t y = (d & 0x8000) ? 0xFF : 0x00;
            setup = {0xCC, static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d), 0xCD, y, y,
                     0xCE, static_cast<uint8_t>(xx >> 8), static_cast<uint8_t>(xx)};
            break;
        }
        default: break;
    }
    setup.insert(setup.end(), out.begin(), out.end());
    return setup;
}

std::vector<uint8_t> CaseGenerator::instruction(unsigned here) {
    uint8_t op = 0;
    unsigned page2 = 0;
    for (;;) {
        const unsigned n = pick(256 + 0x30);
        if (n >= 256) {
            page2 = n - 256 + 1;
            if (oracle_vouches_page2(static_cast<uint8_t>(page2 - 1)) && page2 - 1 != 0x3E) break;
        } else if (oracle_vouches_page1(static_cast<uint8_t>(n)) && n != 0x18 && n != 0x3E &&
                   n != 0x4B) {  // see kOracleExceptions
            op = static_cast<uint8_t>(n);
            break;
        }
    }
    if (page2) {
        return page2_instruction(static_cast<uint8_t>(page2 - 1));
    }
    ++count1_[op];
    const auto hi = [](unsigned a) { return static_cast<uint8_t>(a >> 8); };
    const auto lo = [](unsigned a) { return static_cast<uint8_t>(a); };
    Bytes out{op};
    const auto append = [&out](const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); };
    const auto ext = [&]() { const unsigned a = 0x1000 + pick(0x2000); out.push_back(hi(a)); out.push_back(lo(a)); };
    switch (op) {
        case 0x04: {  // loop primitives on A B D X Y SP
            static constexpr uint8_t kRegs[] = {0, 1, 4, 5, 6, 7};
            out.push_back(static_cast<uint8_t>(pick(6) << 5 | kRegs[pick(6)] | (pick(2) << 3)));
            return with_skip(out, 1, false);
        }
        case 0x05: case 0x15: out.push_back(0xC0); return out;  // JMP/JSR 0,PC: the next one
        case 0x06: return {0x06, hi(here + 3), lo(here + 3)};
        case 0x07: return {0x07, 0x00};
        case 0x0A: return {0x18, 0x00, 0xAE, hi(here + 10), lo(here + 10), 0x18, 0x08, 0xAF, byte(), 0x0A};
        case 0x0B: return {0x18, 0x00, 0xAE, hi(here + 10), lo(here + 10), 0x35, 0x34, 0x3B, 0x39, 0x0B};
        case 0x3D: return {0x18, 0x00, 0xAE, hi(here + 6), lo(here + 6), 0x3D};
        case 0x16: return {0x18, 0x0B, 0x3D, 0x70, 0x20, 0x16, 0x70, 0x20};
        case 0x17: return {0x18, 0x0B, 0x3D, 0x00, 0x80, 0x17, 0x80};
        case 0x3F: return {0x18, 0x0B, 0x0B, 0x70, 0x00, 0x18, 0x03, 0x70, 0x00, 0xFF, 0xF6, 0x3F};
        case 0x4A: return {0x18, 0x0B, 0x0A, 0x70, 0x10, 0x4A, 0x70, 0x10, byte()};
        case 0x11: {  // EDIV without overflow: Y < X
            const uint16_t x = static_cast<uint16_t>(word() | 1), y = static_cast<uint16_t>(pick(x));
            return {0xCD, hi(y), lo(y), 0xCE, hi(x), lo(x), 0x11};
        }
        case 0xB7: {  // TFR/EXG without TMP2 and without EXG between D and A or B
            for (;;) {
                const auto eb = static_cast<uint8_t>(rng_() & 0xF7);
                const unsigned s = eb >> 4 & 7, d = eb & 7;
                if (s == 3 || d == 3 || ((eb & 0x80) && ((s == 4 && d <= 1) || (d == 4 && s <= 1)))) continue;
                out.push_back(eb);
                return out;
            }
        }
        default: break;
    }
    if ((op >= 0x20 && op <= 0x2F)) {
        return with_skip(out, 1, false);
    }
    const unsigned low = op & 0x0F;
    if (op == 0x0C || op == 0x0D || op == 0x0E || op == 0x0F || op == 0x1C || op == 0x1D ||
        op == 0x1E || op == 0x1F || op == 0x4C || op == 0x4D || op == 0x4E || op == 0x4F) {
        if (op < 0x10) append(postbyte(false, false, false));
        else if (op < 0x20) ext();
        else out.push_back(byte());
        out.push_back(byte());
        if (low == 0xE || low == 0xF) return with_skip(out, 1, false);
        return out;
    }
    if (op == 0x10 || op == 0x14) { out.push_back(byte()); return out; }
    if (op >= 0x19 && op <= 0x1B) { append(postbyte(true, false, false)); return out; }
    if (op < 0x80) {
        const unsigned row = op >> 4;
        if (row == 5 && low >= 0xA) out.push_back(byte());
        else if (row == 6) append(postbyte(false, false, false));
        else if (row == 7) ext();
        return out;
    }
    if (low == 7 && op != 0xE7 && op != 0xF7) return out;
    switch (op >> 4 & 3) {
        case 0:
            if (is_wide_immediate(op)) { const uint16_t w = word(); out.push_back(hi(w)); out.push_back(lo(w)); }
            else out.push_back(byte());
            break;
        case 1: out.push_back(byte()); break;
        case 2: append(postbyte(true, false, true)); break;
        default: ext(); break;
    }
    return out;
}

std::string CaseGenerator::script(const Bytes& code, unsigned max_steps) {
    std::string s;
    char line[256];
    const auto load = [&](unsigned address, const Bytes& bytes) {
        for (size_t i = 0; i < bytes.size(); i += 32) {
            std::snprintf(line, sizeof line, "load %04zx ", address + i);
            s += line;
            for (size_t j = i; j < bytes.size() && j < i + 32; ++j) {
                std::snprintf(line, sizeof line, "%02x", bytes[j]);
                s += line;
            }
            s += '\n';
        }
    };
    Bytes data(0x100);
    for (auto& b : data) b = byte();
    load(0x0000, data);
    data.assign(0x3000, 0);
    for (auto& b : data) b = static_cast<uint8_t>(rng_());
    load(0x1000, data);
    load(kCode, code);
    std::snprintf(line, sizeof line,
                  "reg a %02x\nreg b %02x\nreg x %04x\nreg y %04x\nreg sp %04x\nreg ccr %02x\n"
                  "reg ppage %02x\nsteps %u\ndump 0 10000\n",
                  byte(), byte(), 0x1100 + pick(0x1E00), 0x1100 + pick(0x1E00),
                  0x3800 + pick(0x700), static_cast<unsigned>(rng_() & 0xFF), byte(), max_steps);
    s += line;
    s += "reg pc 4000\n";
    return s;
}

std::string CaseGenerator::random_case(unsigned instructions) {
    Bytes code;
    for (unsigned i = 0; i < instructions && code.size() < 0x2F00; ++i) {
        if (pick(12) == 0) {  // put the pointers back into the data and stack areas
            static constexpr uint8_t kLoads[] = {0xCE, 0xCD, 0xCF};
            const unsigned which = pick(3);
            const unsigned v = which == 2 ? 0x3800 + pick(0x700) : 0x1100 + pick(0x1E00);
            code.insert(code.end(), {kLoads[which], static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
        }
        const Bytes insn = instruction(static_cast<unsigned>(kCode + code.size()));
        code.insert(code.end(), insn.begin(), insn.end());
    }
    code.push_back(pick(8) == 0 ? 0x3E : 0x00);  // end in WAI or BGND
    return script(code, instructions * 4);
}

std::string CaseGenerator::postbyte_case(uint8_t xb) {
    // Each operation through the postbyte, the base registers put back before each.
    static constexpr uint8_t kOps[] = {0xA6, 0xEC, 0x6A, 0x6C, 0x1A, 0x62, 0xE3, 0x6F, 0x19};
    Bytes code;
    const bool pc = (xb & 0xE0) == 0xE0 ? (xb >> 3 & 3) == 3 : (xb & 0x20) == 0 && (xb >> 6) == 3;
    const bool indirect = (xb & 0xE7) == 0xE3 || (xb & 0xE7) == 0xE7;
    for (const uint8_t op : kOps) {
        const bool writes = op == 0x6A || op == 0x6C || op == 0x62 || op == 0x6F;
        if ((writes || op == 0x1A || op == 0x19) && (pc || indirect)) {
            if (op == 0x1A || op == 0x19 ? indirect : true) continue;
        }
        const uint16_t x = static_cast<uint16_t>(0x1800 + pick(0x1000));
        const uint16_t y = static_cast<uint16_t>(0x1800 + pick(0x1000));
        code.insert(code.end(), {0xCE, static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x), 0xCD,
                                 static_cast<uint8_t>(y >> 8), static_cast<uint8_t>(y), 0xCF, 0x3C, 0x00});
        code.insert(code.end(), {op, xb});
        if ((xb & 0xE7) == 0xE0 || (xb & 0xE7) == 0xE1) code.push_back(byte());
        if ((xb & 0xE7) == 0xE2 || (xb & 0xE7) == 0xE3) {
            code.insert(code.end(), {static_cast<uint8_t>(pick(2) ? 0x00 : 0xFF), byte()});
        }
    }
    code.push_back(0x00);
    return script(code, 1000);
}

std::string CaseGenerator::boundary_case(unsigned group) {
    Bytes code;
    // 8-bit immediates on A and B; 16-bit immediates; inherent shifts and arithmetic.
    static constexpr uint8_t kGroups[4][14] = {
        {0x80, 0x81, 0x82, 0x84, 0x85, 0x88, 0x89, 0x8A, 0x8B, 0xC0, 0xC2, 0xC9, 0xCB, 0x86},
        {0x83, 0x8C, 0x8D, 0x8E, 0x8F, 0xC3, 0xCC, 0xCD, 0xCE, 0xCF, 0x83, 0xC3, 0x8C, 0x8E},
        {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x59, 0x12, 0x13, 0x97},
        {0x06, 0x16, 0x17, 0x0E, 0x0F, 0x13, 0x06, 0x16, 0x17, 0x13, 0x06, 0x16, 0x17, 0x13},
    };
    const auto& ops = kGroups[group % 4];
    for (const uint8_t op : ops) {
        for (const uint8_t a : kByteEdges) {
            for (const uint8_t m : {uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x7F}, uint8_t{0x80},
                                    uint8_t{0xFF}, uint8_t{0x0F}, byte()}) {
                const uint8_t ccr = static_cast<uint8_t>(rng_() & 0x3F);  // C, H both ways
                code.insert(code.end(), {0x86, ccr, 0xB7, 0x02, 0x86, a, 0xC6, m, 0xCD, m, a});
                if (group == 3) {
                    code.insert(code.end(), {0x18, op});
                } else if (group == 2) {
                    code.push_back(op);
                } else if (group == 1) {
                    code.insert(code.end(), {op, a, m});
                } else {
                    code.insert(code.end(), {op, m});
                }
            }
        }
    }
    code.push_back(0x00);
    return script(code, 100000);
}

}  // namespace zelv::sim::cpu12::testing
