// The virtual MCU's BDM: resets and BDMSTS, the byte lanes, the BD block, firmware commands
// and background mode, security, and native code taking over the CPU.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fakes/run_state.h"
#include "mcu/mcu_bdm.h"
#include "sim/sim_test_util.h"

namespace zelv::sim::test {
namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

class McuBdmTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
        fake_now = 1000;
    }
    void TearDown() override { sim_set_quiet(false); }

    // A programmed part: a byte of code at the start of the FLASH and the security byte at
    // 0xFF0F.
    void program(uint8_t security) {
        mcu.flash()[0] = 0x12;
        mcu.flash()[flash_at(mcu, mcu.layout().ppage_base + mcu.layout().ppage_count - 1, 0x3F0F)] =
            security;
    }

    VirtualMcu mcu;
};

TEST_F(McuBdmTest, ResetsAndTheStatusRegister) {
    struct Case {
        const char* part;
        int security;  // security byte, -1: the part stays blank
        bool special;
        uint8_t bdmsts;
        bool locked;
    };
    const Case cases[] = {
        {"dp256", -1, true, 0xC2, false},    // secured, but blank: UNSEC
        {"dp256", 0xFE, true, 0xC0, false},  // unsecured: UNSEC is the secure firmware's only
        {"dp256", 0xFF, true, 0xC0, true},   // secured and programmed
        {"dp256", 0xFE, false, 0x00, false}, {"xdp512", -1, true, 0xC2, false},
        {"b32", -1, true, 0xC0, false},  // no security on an HC12
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.part << " " << c.security << " " << c.special);
        configure_part(mcu, c.part);
        if (c.security >= 0) {
            program(static_cast<uint8_t>(c.security));
        }
        McuBdm bdm(mcu, fake_clock);
        if (c.special) {
            bdm.reset_special();
        } else {
            bdm.reset_normal();
        }
        EXPECT_EQ(mcu.special_mode(), c.special);
        EXPECT_EQ(bdm.status(), c.bdmsts);
        EXPECT_EQ(bdm.locked(), c.locked);
        if (!c.locked || c.special) {
            EXPECT_EQ(bdm.read_byte(bdm::kBdmsts, true) & 0xFF, c.bdmsts)
                << "BDMSTS is the low half of the word at 0xFF00";
        }
    }
}

TEST_F(McuBdmTest, SpecialResetLeavesTheHardwareRegisterValues) {
    configure_part(mcu, "dp256");
    McuBdm bdm(mcu, fake_clock);
    bdm.reset_special();
    EXPECT_EQ(mcu.read_register(reg::kInitrm), 0x09);
    EXPECT_EQ(mcu.read_register(reg::kInitee), 0x01);
    EXPECT_EQ(mcu.locate(0x0400).region, Region::kEeprom) << "EEPROM at 0x0000, under registers";
    EXPECT_EQ(mcu.locate(0x1000).region, Region::kRam);
    bdm.write_byte(reg::kInitee, 0x4100, false);  // still writable in special mode
    EXPECT_EQ(mcu.locate(0x4000).region, Region::kEeprom);
    bdm.reset_normal();
    EXPECT_EQ(mcu.read_register(reg::kInitrm), 0x39) << "the start-up code's value";
}

TEST_F(McuBdmTest, ByteCommandsCarryTheWholeBusWord) {
    configure_part(mcu, "dp256");
    McuBdm bdm(mcu, fake_clock);
    bdm.reset_special();
    struct Case {
        uint16_t address;
        uint16_t lanes;
        uint8_t even_after;
        uint8_t odd_after;
    };
    const Case cases[] = {
        {0x2000, 0x5A00, 0x5A, 0x11},  // even: the high half
        {0x2001, 0x005A, 0x11, 0x5A},  // odd: the low half
        {0x2000, 0x005A, 0x00, 0x11},  // a host that uses the wrong half writes its 0
        {0x2001, 0x5A00, 0x11, 0x00},
    };
    for (const Case& c : cases) {
        mcu.write_word(0x2000, 0x1111);
        bdm.write_byte(c.address, c.lanes, false);
        EXPECT_EQ(mcu.read_byte(0x2000), c.even_after) << std::hex << c.address << " " << c.lanes;
        EXPECT_EQ(mcu.read_byte(0x2001), c.odd_after) << std::hex << c.address << " " << c.lanes;
    }
    mcu.write_word(0x2000, 0x1234);
    EXPECT_EQ(bdm.read_byte(0x2000, false), 0x1234) << "both halves are real memory";
    EXPECT_EQ(bdm.read_byte(0x2001, false), 0x1234);
    EXPECT_EQ(bdm.read_word(0x2001, false), 0x1234) << "word commands ignore address bit 0";
    bdm.write_word(0x2003, 0xBEEF, false);
    EXPECT_EQ(mcu.read_word(0x2002), 0xBEEF);
}

TEST_F(McuBdmTest, TheBdBlockIsSeenOnlyByTheBdCommands) {
    configure_part(mcu, "dp256");
    McuBdm bdm(mcu, fake_clock);
    program(0xFE);
    bdm.reset_special();
    EXPECT_EQ(bdm.read_word(0xFF0E, false), 0xFFFE) << "plain reads see the FLASH";
    EXPECT_EQ(bdm.read_byte(0xFF00, true), 0x00C0);
    bdm.write_byte(reg::kInitrg, 0x0008, false);  // registers to 0x0800 (odd: low half)
    EXPECT_EQ(bdm.read_byte(bdm::kBdminr, true) >> 8, bdm::kResetCcr) << "BDMCCR at 0xFF06";
    EXPECT_EQ(bdm.read_byte(bdm::kBdminr, true) & 0xFF, 0x08);
    bdm.write_byte(bdm::kBdmsts, 0x00FF, true);  // only ENBDM and CLKSW are writable
    EXPECT_EQ(bdm.status(), 0xC4);
    bdm.write_byte(bdm::kBdmsts, 0x0000, true);
    EXPECT_EQ(bdm.status(), 0x40);
    bdm.run(RunKind::kGo);
    bdm.background();
    EXPECT_FALSE(bdm.active()) << "BACKGROUND needs ENBDM";
    EXPECT_EQ(mcu.read_word(0xFF00), 0xFFFF) << "the BD block is not the FLASH";
}

TEST_F(McuBdmTest, FirmwareCommandsNeedBackgroundMode) {
    configure_part(mcu, "dp256");
    program(0xFE);
    McuBdm bdm(mcu, fake_clock);
    bdm.reset_normal();
    bdm.write_register(CpuRegister::kX, 0x1234);
    EXPECT_EQ(bdm.read_register(CpuRegister::kX), bdm::kIdleLine) << "the CPU runs";
    bdm.write_byte(bdm::kBdmsts, 0x0080, true);  // ENBDM, then BACKGROUND
    bdm.background();
    ASSERT_TRUE(bdm.active());
    EXPECT_EQ(bdm.read_register(CpuRegister::kX), 0x0000);

    const CpuRegister all[] = {CpuRegister::kPc, CpuRegister::kD, CpuRegister::kX, CpuRegister::kY,
                               CpuRegister::kSp};
    for (const CpuRegister r : all) {
        bdm.write_register(r, static_cast<uint16_t>(0x1000 + static_cast<unsigned>(r)));
    }
    for (const CpuRegister r : all) {
        EXPECT_EQ(bdm.read_register(r), 0x1000 + static_cast<unsigned>(r));
    }
    bdm.write_register(CpuRegister::kX, 0x1FFE);
    bdm.write_next(0xCAFE);
    EXPECT_EQ(mcu.read_word(0x2000), 0xCAFE) << "X advances first";
    mcu.write_word(0x2002, 0xF00D);
    EXPECT_EQ(bdm.read_next(), 0xF00D);
    EXPECT_EQ(bdm.read_register(CpuRegister::kX), 0x2002);

    bdm.run(RunKind::kTrace1);
    EXPECT_TRUE(bdm.active()) << "TRACE1 without native code comes straight back";
    bdm.run(RunKind::kTagGo);
    EXPECT_EQ(bdm.status(), bdm::kEnbdm | bdm::kEntag);
    bdm.background();
    EXPECT_EQ(bdm.status(), bdm::kEnbdm | bdm::kBdmact);
}

TEST_F(McuBdmTest, ASecuredPartKeepsTheBdmOutOfMemory) {
    configure_part(mcu, "dp256");
    program(0xFF);
    mcu.write_word(0x2000, 0x1234);  // RAM, before the reset keeps it
    McuBdm bdm(mcu, fake_clock);
    bdm.reset_special();
    ASSERT_TRUE(bdm.locked());
    EXPECT_EQ(bdm.read_word(0x001A, false), 0x0012) << "the register block stays reachable";
    EXPECT_EQ(bdm.read_word(0x2000, false), 0x0000);
    bdm.write_word(0x2000, 0x5555, false);
    EXPECT_EQ(mcu.read_word(0x2000), 0x1234);
    EXPECT_EQ(bdm.read_word(0xFFFE, false), 0x0000) << "nor the FLASH";
    EXPECT_EQ(bdm.read_register(CpuRegister::kPc), bdm::kIdleLine);
    bdm.write_byte(reg::kFclkdiv, 0x4B00, false);
    EXPECT_EQ(mcu.read_register(reg::kFclkdiv), 0xCB) << "FLASH registers take writes";

    bdm.reset_normal();
    EXPECT_EQ(bdm.read_byte(bdm::kBdmsts, true), bdm::kIdleLine) << "normal mode: no BDM at all";
    EXPECT_EQ(bdm.read_word(0x001A, false), bdm::kIdleLine);

    bdm.hold_reset();
    EXPECT_TRUE(bdm.in_reset());
    EXPECT_EQ(bdm.read_word(0x001A, false), bdm::kIdleLine);
}

class RecordingCode : public NativeCode {
public:
    RunOutcome run(VirtualMcu& mcu, CpuState& cpu, RunKind kind) override {
        runs.push_back(kind);
        if (cpu.pc != entry) {
            return {};
        }
        mcu.write_byte(0x3801, 0x00);  // the agent's status byte
        cpu.pc = static_cast<uint16_t>(cpu.pc + 0x40);
        return outcome;
    }
    uint16_t entry = 0x3810;
    RunOutcome outcome{RunOutcome::kBackground, 0};
    std::vector<RunKind> runs;
};

TEST_F(McuBdmTest, NativeCodeTakesOverTheCpu) {
    configure_part(mcu, "dp256");
    McuBdm bdm(mcu, fake_clock);
    RecordingCode agent;
    bdm.add_native_code(&agent);
    bdm.reset_special();
    mcu.write_byte(0x3801, 0x02);

    bdm.write_register(CpuRegister::kPc, 0x3810);
    agent.outcome = {RunOutcome::kBackground, 50};
    bdm.run(RunKind::kGo);
    EXPECT_EQ(mcu.read_byte(0x3801), 0x00);
    EXPECT_FALSE(bdm.active()) << "busy for 50 ms";
    fake_now += 49;
    EXPECT_EQ(bdm.read_byte(bdm::kBdmsts, true) & bdm::kBdmact, 0);
    fake_now += 1;
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(bdm.read_register(CpuRegister::kPc), 0x3850) << "the code left the PC";

    agent.outcome = {RunOutcome::kRunning, 0};
    bdm.write_register(CpuRegister::kPc, 0x3810);
    bdm.run(RunKind::kGo);
    fake_now += 100000;
    EXPECT_FALSE(bdm.active()) << "code that never returns";
    bdm.background();
    EXPECT_TRUE(bdm.active());

    bdm.write_register(CpuRegister::kPc, 0x2000);  // nothing native there
    bdm.run(RunKind::kGoUntil);
    EXPECT_FALSE(bdm.active());
    EXPECT_EQ(agent.runs, (std::vector<RunKind>{RunKind::kGo, RunKind::kGo, RunKind::kGoUntil}));

    configure_part(mcu, "b32");
    McuBdm hc12(mcu, fake_clock);
    hc12.reset_special();
    hc12.run(RunKind::kGoUntil);
    EXPECT_TRUE(hc12.active()) << "the HC12 has no GO_UNTIL";
}

TEST_F(McuBdmTest, Hc12MemoryMap) {
    configure_part(mcu, "b32");
    EXPECT_EQ(mcu.locate(0x01FF).region, Region::kRegisters);
    EXPECT_EQ(mcu.locate(0x0200).region, Region::kNone);
    EXPECT_EQ(mcu.locate(0x0800).region, Region::kRam);
    EXPECT_EQ(mcu.locate(0x0BFF).region, Region::kRam);
    EXPECT_EQ(mcu.locate(0x0CFF).region, Region::kNone);
    EXPECT_EQ(mcu.locate(0x0D00).region, Region::kEeprom);
    EXPECT_EQ(mcu.locate(0x0FFF).offset, 0x2FFu);
    EXPECT_EQ(mcu.locate(0x7FFF).region, Region::kNone);
    EXPECT_EQ(mcu.locate(0x8000).offset, 0u);
    EXPECT_EQ(mcu.locate(0xFF0F).offset, 0x7F0Fu);
    EXPECT_EQ(mcu.read_word(0x001A), 0x0000) << "no PARTID";
    EXPECT_FALSE(mcu.secured());
}

}  // namespace
}  // namespace zelv::sim::test
