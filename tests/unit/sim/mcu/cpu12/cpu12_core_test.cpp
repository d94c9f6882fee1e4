// What the oracle cannot vouch for: CALL/RTC with PPAGE, traps through their vectors, BGND,
// WAI and STOP as states, cycle counts, word accesses on the bus, DAA.
#include <gtest/gtest.h>

#include <vector>

#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {
namespace {

// Flat memory that records word writes, so the test sees that words reach the bus whole.
class RecordingBus final : public Bus {
public:
    uint8_t read8(uint16_t a) override { return flat.read8(a); }
    void write8(uint16_t a, uint8_t v) override { flat.write8(a, v); }
    uint16_t read16(uint16_t a) override { return flat.read16(a); }
    void write16(uint16_t a, uint16_t v) override {
        word_writes.push_back(a);
        flat.write16(a, v);
    }
    uint8_t ppage() override { return flat.ppage(); }
    void set_ppage(uint8_t p) override { flat.set_ppage(p); }
    void load(uint16_t a, std::vector<uint8_t> bytes) {
        for (const uint8_t b : bytes) flat.write8(a++, b);
    }
    FlatBus flat;
    std::vector<uint16_t> word_writes;
};

struct Cpu12Core : ::testing::Test {
    RecordingBus bus;
    Cpu12 cpu{bus};
    void start(std::vector<uint8_t> code) {
        bus.load(0x4000, std::move(code));
        cpu.regs().pc = 0x4000;
        cpu.regs().sp = 0x3F00;
    }
};

TEST_F(Cpu12Core, CallAndRtcCarryThePageInEveryForm) {
    bus.load(0x2000, {0x80, 0x00, 0x3C});          // pointer for the indirect forms
    bus.load(0x8000, {0x0A});                      // RTC
    bus.flat.set_ppage(0x30);
    start({0x4A, 0x80, 0x00, 0x31,                 // CALL $8000,$31
           0xCE, 0x80, 0x00, 0x4B, 0x00, 0x32,     // LDX #$8000; CALL 0,X,$32
           0xCE, 0x20, 0x00, 0x4B, 0xE3, 0x00, 0x00});  // LDX #$2000; CALL [0,X]
    const uint8_t pages[] = {0x31, 0x32, 0x3C};
    for (const uint8_t page : pages) {
        StepResult s = cpu.step();
        if (cpu.regs().pc != 0x8000) s = cpu.step();
        EXPECT_EQ(cpu.regs().pc, 0x8000);
        EXPECT_EQ(bus.ppage(), page);
        EXPECT_EQ(bus.read8(cpu.regs().sp), 0x30);  // the caller's page is stacked
        cpu.step();                                  // RTC
        EXPECT_EQ(bus.ppage(), 0x30);
        EXPECT_EQ(cpu.regs().sp, 0x3F00);
    }
    EXPECT_EQ(cpu.regs().pc, 0x4011);
}

TEST_F(Cpu12Core, TrapsGoThroughTheirVectorsWithTheFrameInOrder) {
    bus.load(0xFFF8, {0x60, 0x00});
    bus.load(0xFFF6, {0x50, 0x00});
    start({0x18, 0x30});  // TRAP $30
    cpu.regs().a = 0xAA;
    cpu.regs().b = 0xBB;
    cpu.regs().ccr = 0xC0;
    const StepResult s = cpu.step();
    EXPECT_EQ(s.stop, Stop::kNone);
    EXPECT_EQ(s.cycles, 10u);
    EXPECT_EQ(cpu.regs().pc, 0x6000);
    EXPECT_EQ(cpu.regs().ccr, 0xD0);
    EXPECT_EQ(cpu.regs().sp, 0x3F00 - 9);
    EXPECT_EQ(bus.read8(0x3F00 - 9), 0xC0);  // CCR, then B, A, X, Y, return address
    EXPECT_EQ(bus.read8(0x3F00 - 8), 0xBB);
    EXPECT_EQ(bus.read8(0x3F00 - 7), 0xAA);
    EXPECT_EQ(bus.read16(0x3F00 - 2), 0x4002);
    // Everything stacked went as words except CCR.
    EXPECT_EQ(bus.word_writes, (std::vector<uint16_t>{0x3EFE, 0x3EFC, 0x3EFA, 0x3EF8}));

    Cpu12 asking(bus, {.stop_before_bgnd = false, .stop_before_illegal = true});
    asking.regs().pc = 0x4000;
    EXPECT_EQ(asking.step().stop, Stop::kIllegal);
    EXPECT_EQ(asking.regs().pc, 0x4000);
}

TEST_F(Cpu12Core, BgndWaiAndStopAreStatesTheCallerSees) {
    start({0x00, 0x3E});
    StepResult s = cpu.step();
    EXPECT_EQ(s.stop, Stop::kBgnd);
    EXPECT_EQ(cpu.regs().pc, 0x4001);
    EXPECT_EQ(s.cycles, 5u);
    s = cpu.step();  // WAI
    EXPECT_EQ(s.stop, Stop::kWai);
    EXPECT_EQ(cpu.regs().sp, 0x3F00 - 9);
    EXPECT_FALSE(cpu.step().executed);  // still waiting
    bus.load(0xFFF2, {0x70, 0x00});
    EXPECT_EQ(cpu.interrupt(kVectorIrq), 6u);  // the frame is already stacked
    EXPECT_EQ(cpu.regs().pc, 0x7000);
    EXPECT_EQ(cpu.regs().sp, 0x3F00 - 9);

    bus.load(0x7000, {0x18, 0x3E, 0x18, 0x3E});  // STOP: a no-op while S is set
    cpu.regs().ccr = 0xD0;
    EXPECT_EQ(cpu.step().cycles, 2u);
    cpu.regs().ccr = 0x50;
    EXPECT_EQ(cpu.step().stop, Stop::kStop);
    EXPECT_EQ(cpu.wait_state(), Stop::kStop);
}

TEST_F(Cpu12Core, CyclesFollowTheHcs12TableAndRunKeepsItsBudget) {
    // LDAA #; LDAA ext; LDAA [D,X]; STAA 2,X; BNE taken; BNE not taken; LBRA
    struct { std::vector<uint8_t> code; uint8_t ccr; uint32_t cycles; } cases[] = {
        {{0x86, 0x01}, 0xD0, 1}, {{0xB6, 0x20, 0x00}, 0xD0, 3}, {{0xA6, 0xE7}, 0xD0, 6},
        {{0x6A, 0x02}, 0xD0, 2}, {{0x26, 0x00}, 0xD0, 3}, {{0x26, 0x00}, 0xD4, 1},
        {{0x18, 0x20, 0x00, 0x00}, 0xD0, 4}, {{0x11}, 0xD0, 11}, {{0x18, 0x10}, 0xD0, 12},
    };
    for (const auto& c : cases) {
        start(c.code);
        cpu.regs().ccr = c.ccr;
        cpu.regs().x = 0x1000;
        EXPECT_EQ(cpu.step().cycles, c.cycles) << int{c.code[0]};
    }
    start({0x20, 0xFE});  // BRA *
    const RunResult r = cpu.run(100);
    EXPECT_EQ(r.stop, Stop::kBudget);
    EXPECT_EQ(r.cycles, 102u);
    EXPECT_EQ(r.instructions, 34u);
}

TEST_F(Cpu12Core, SoftwareClearsXButNeverSetsIt) {
    start({0x14, 0x40, 0x10, 0xBF, 0x14, 0x40, 0x86, 0xFF, 0xB7, 0x02});
    cpu.regs().ccr = 0x00;
    cpu.step();
    EXPECT_EQ(cpu.regs().ccr, 0x00);  // ORCC #$40
    cpu.regs().ccr = 0x40;
    cpu.step();
    EXPECT_EQ(cpu.regs().ccr, 0x00);  // ANDCC #$BF clears it
    cpu.step();
    cpu.step();
    cpu.step();
    EXPECT_EQ(cpu.regs().ccr, 0xBF);  // TFR A,CCR with A=$FF
}

TEST_F(Cpu12Core, DaaCorrectsBcdSums) {
    // A + B then DAA, as decimal: the sum's last two digits and the decimal carry.
    struct { uint8_t a, b, sum; bool carry; } cases[] = {
        {0x19, 0x28, 0x47, false}, {0x99, 0x01, 0x00, true}, {0x55, 0x55, 0x10, true},
        {0x09, 0x09, 0x18, false}, {0x90, 0x90, 0x80, true},
    };
    for (const auto& c : cases) {
        start({0x18, 0x06, 0x18, 0x07});
        cpu.regs().a = c.a;
        cpu.regs().b = c.b;
        cpu.step();
        cpu.step();
        EXPECT_EQ(cpu.regs().a, c.sum);
        EXPECT_EQ((cpu.regs().ccr & kCcrC) != 0, c.carry);
    }
}

}  // namespace
}  // namespace zelv::sim::cpu12
