// Random and structured CPU12 test programs for the differential test against the oracle:
// each case is a script in the oracle's format (code at $4000, random data, random
// registers) that the oracle and our core both run.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace zelv::sim::cpu12::testing {

class CaseGenerator {
public:
    explicit CaseGenerator(uint32_t seed) : rng_(seed) {}

    // A case of about `instructions` random instructions drawn evenly from every opcode the
    // oracle vouches for (page 1 and page 2), with operands biased to the flag boundaries.
    std::string random_case(unsigned instructions);
    // One case per indexed postbyte: loads, stores, LEA, read-modify-write and MIN/MAX
    // through it, from several base register values.
    std::string postbyte_case(uint8_t xb);
    // Every 8- and 16-bit ALU, shift and compare instruction on boundary operands with
    // C and H both ways.
    std::string boundary_case(unsigned group);

    // Times each page-1 / page-2 opcode was emitted so far.
    const std::array<uint64_t, 256>& page1_count() const { return count1_; }
    const std::array<uint64_t, 256>& page2_count() const { return count2_; }

private:
    using Bytes = std::vector<uint8_t>;
    unsigned pick(unsigned n) { return static_cast<unsigned>(rng_() % n); }
    uint8_t byte();
    uint16_t word();
    Bytes postbyte(bool pc_ok, bool moves, bool indirect_ok);
    Bytes simple_instruction();
    Bytes instruction(unsigned here);
    Bytes page2_instruction(uint8_t op);
    Bytes with_skip(Bytes head, unsigned offset_bytes, bool wide);
    std::string script(const Bytes& code, unsigned max_steps);

    std::mt19937 rng_;
    std::array<uint64_t, 256> count1_{};
    std::array<uint64_t, 256> count2_{};
};

// Whether the oracle runs the page-1 (page-2) opcode at all, whatever its operands.
bool oracle_vouches_page1(uint8_t op);
bool oracle_vouches_page2(uint8_t op);

}  // namespace zelv::sim::cpu12::testing
