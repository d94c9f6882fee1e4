// Self-checking CPU12 programs, assembled by the m68hc11 binutils at build time: each runs
// to BGND with A = 0 when all its checks passed, or the number of the failed check.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {
namespace {

// Loads the S1 records of an S-record file; false when it cannot be read.
bool load_s19(const std::string& path, FlatBus* bus) {
    std::ifstream in(path);
    std::string line;
    bool any = false;
    while (std::getline(in, line)) {
        if (line.rfind("S1", 0) != 0) continue;
        const auto count = static_cast<unsigned>(std::stoul(line.substr(2, 2), nullptr, 16));
        auto address = static_cast<uint16_t>(std::stoul(line.substr(4, 4), nullptr, 16));
        for (unsigned i = 0; i + 3 < count; ++i) {
            bus->write8(address++, static_cast<uint8_t>(std::stoul(line.substr(8 + 2 * i, 2), nullptr, 16)));
        }
        any = true;
    }
    return any;
}

class Cpu12Programs : public ::testing::TestWithParam<const char*> {};

TEST_P(Cpu12Programs, PassesItsOwnChecks) {
#ifndef ZELV_CPU12_PROGRAM_DIR
    GTEST_SKIP() << "the m68hc11 assembler was not found at configure time";
#else
    auto bus = std::make_unique<FlatBus>();
    ASSERT_TRUE(load_s19(std::string(ZELV_CPU12_PROGRAM_DIR) + "/" + GetParam() + ".s19", bus.get()));
    Cpu12 cpu(*bus);
    cpu.regs().pc = 0x4000;
    const RunResult r = cpu.run(1000000);
    ASSERT_EQ(r.stop, Stop::kBgnd);
    EXPECT_EQ(cpu.regs().a, 0) << "check " << int{cpu.regs().a} << " failed";
#endif
}

INSTANTIATE_TEST_SUITE_P(Programs, Cpu12Programs, ::testing::Values("arith", "memory"));

}  // namespace
}  // namespace zelv::sim::cpu12
