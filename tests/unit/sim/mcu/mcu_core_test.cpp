// The CPU12 core inside the virtual MCU, started and stopped by the BDM: a program that
// drives the FLASH module, BGND, BACKGROUND, TRACE1, and time kept by the bus clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fakes/run_state.h"
#include "mcu/mcu_bdm.h"
#include "mcu/mcu_core.h"
#include "sim/sim_test_util.h"

namespace zelv::sim::test {
namespace {

uint64_t fake_us = 0;
uint64_t fake_clock_us() {
    return fake_us;
}

class McuCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        fake_us = 1000;
        configure_part(mcu, "dp256");
        bdm.attach_core(&core);
        bdm.reset_special();
        bdm.write_byte(0x0010, 0x3939, false);  // INITRM: RAM up to 0x3FFF
    }

    // The program at 0x3000, the PC there, GO.
    void go(const std::vector<uint8_t>& code, RunKind kind = RunKind::kGo) {
        for (size_t i = 0; i < code.size(); ++i) {
            mcu.write_byte(static_cast<uint16_t>(0x3000 + i), code[i]);
        }
        bdm.write_register(CpuRegister::kPc, 0x3000);
        bdm.run(kind);
    }

    VirtualMcu mcu;
    McuCore core{mcu, 8000000, fake_clock_us};
    McuBdm bdm{mcu};
};

TEST_F(McuCoreTest, ProgramsFlashThroughTheModuleAndReturnsWithBgnd) {
    go({0x18, 0x0B, 0x49, 0x01, 0x00,        // MOVB #$49,FCLKDIV
        0x18, 0x03, 0x12, 0x34, 0xC0, 0x00,  // MOVW #$1234,$C000: one word write
        0x18, 0x0B, 0x20, 0x01, 0x06,        // MOVB #$20,FCMD
        0x18, 0x0B, 0x80, 0x01, 0x05,        // MOVB #$80,FSTAT
        0x1F, 0x01, 0x05, 0x40, 0xFB,        // BRCLR FSTAT,#$40,* (CCIF)
        0x00});                              // BGND
    EXPECT_FALSE(bdm.active()) << "no time has passed";
    fake_us += 1000;  // 8000 bus cycles
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(bdm.read_register(CpuRegister::kPc), 0x301B) << "past the BGND";
    const uint32_t at = flash_at(mcu, 0x3F, 0x0000);
    EXPECT_EQ(mcu.flash()[at], 0x12);
    EXPECT_EQ(mcu.flash()[at + 1], 0x34);
    EXPECT_EQ(mcu.peek_register(reg::kFstat) & 0x30, 0) << "no ACCERR, no PVIOL";
    EXPECT_GT(core.instructions(), 5U);
}

TEST_F(McuCoreTest, BackgroundTraceAndResetsStopTheCore) {
    go({0x20, 0xFE});  // BRA *
    fake_us += 1000;
    EXPECT_FALSE(bdm.active()) << "a program that never returns keeps running";
    const uint64_t ran = core.instructions();
    EXPECT_GT(ran, 1000U);
    bdm.background();
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(bdm.read_register(CpuRegister::kPc), 0x3000);
    fake_us += 1000;
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(core.instructions(), ran) << "stopped";

    go({0x86, 0x5A, 0x20, 0xFE}, RunKind::kTrace1);  // LDAA #$5A, one instruction
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(bdm.read_register(CpuRegister::kPc), 0x3002);
    EXPECT_EQ(bdm.read_register(CpuRegister::kD) >> 8, 0x5A);

    go({0x20, 0xFE});
    bdm.reset_special();
    fake_us += 1000;
    EXPECT_FALSE(core.running());
}

TEST_F(McuCoreTest, CatchUpIsBoundedPerTouch) {
    go({0x20, 0xFE});
    fake_us += 10000000;  // ten seconds nobody looked
    EXPECT_FALSE(bdm.active());
    EXPECT_LE(core.cycles(), McuCore::kMaxCatchUp + 8);
    EXPECT_GE(core.cycles(), McuCore::kMaxCatchUp);
}

}  // namespace
}  // namespace zelv::sim::test
