// The CPU12 opcode map (page 1, and page 2 behind the 0x18 prefix): each opcode's mnemonic,
// addressing mode and HCS12 cycle counts, so that the caller can advance virtual time.
#pragma once

#include <array>
#include <cstdint>

namespace zelv::sim::cpu12 {

enum class Mode : uint8_t {
    kInh,      // no operand bytes
    kImm,      // immediate (8- or 16-bit by the instruction)
    kDir,      // 8-bit address in page 0
    kExt,      // 16-bit address
    kIdx,      // indexed postbyte (any of its forms)
    kRel,      // relative branch (8-bit on page 1, 16-bit on page 2)
    kSpecial,  // operand layout of its own: moves, bit operations, loops, CALL, fuzzy logic
    kTrap,     // the unimplemented-opcode trap (page 2 only)
    kPrefix,   // 0x18: page 2 follows
};

// The class of an indexed postbyte, as the cycle tables count it.
enum IdxClass : uint8_t {
    kIdx0 = 0,  // 5-bit constant, auto increment/decrement, A/B/D accumulator offset
    kIdx1 = 1,  // 9-bit constant offset
    kIdx2 = 2,  // 16-bit constant offset
    kIdxD = 3,  // [D,r]
    kIdx16 = 4, // [n16,r]
};

struct OpInfo {
    const char* name;
    Mode mode;
    // Cycles. Indexed: by IdxClass. Branches and loop primitives: [0] taken, [1] not taken.
    // Others: [0].
    std::array<uint8_t, 5> cycles;
};

extern const std::array<OpInfo, 256> kPage1;
extern const std::array<OpInfo, 256> kPage2;

// What a postbyte is: its class, how many bytes follow it, and its base register
// (0 X, 1 Y, 2 SP, 3 PC).
struct PostbyteInfo {
    IdxClass cls;
    uint8_t extra;     // offset bytes after the postbyte
    uint8_t reg;
    bool auto_step;    // pre/post increment or decrement
    bool indirect;     // [n16,r] or [D,r]
};
PostbyteInfo postbyte_info(uint8_t xb);

}  // namespace zelv::sim::cpu12
