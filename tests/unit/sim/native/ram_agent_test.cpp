// The virtual target's BDM RAM agent, driven through the virtual BDM exactly as the host's
// agent protocol drives it: the shipped file loaded into RAM, the command and a status of 2
// written into the parameter block, the PC set to the entry, GO, BDMSTS polled for BDMACT,
// the status read back. Every command, the module failures behind them, what is not the
// agent, and the injected faults.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "mcu/mcu_bdm.h"
#include "native/ram_agent.h"
#include "sim/sim_test_util.h"
#include "srec/srec.h"

namespace zelv::sim::test {
namespace {

uint64_t fake_now = 0;
uint64_t fake_clock() {
    return fake_now;
}

constexpr int kTimedOut = -1;
constexpr uint16_t kParams = 0x3800;
constexpr uint16_t kEntry = 0x3810;
constexpr uint16_t kBuffer = 0x3900;
constexpr uint16_t kBufferSize = 0x200;

std::string shipped_agent() {
    return std::string(ZELV_SOURCE_DIR) + "/sim/native/zelvanor-sim-bdm-agent.s19";
}

class RamAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
        fake_now = 1000;
    }
    void TearDown() override { sim_set_quiet(false); }

    // The part behind a BDM with the agent as its native code, connected as the host does
    // it: a special reset, the description's init bytes (RAM at the top of 0x0000-0x3FFF,
    // the EEPROM where the start-up code has it) and, unless told not to, the dividers.
    void start(const char* part, const AgentFaults& faults = {}, bool dividers = true) {
        configure_part(mcu, part);
        agent = std::make_unique<RamAgent>(faults);
        bdm = std::make_unique<McuBdm>(mcu, fake_clock);
        bdm->add_native_code(agent.get());
        bdm->reset_special();
        if (mcu.layout().family_id == kSimFamilyHcs12) {
            write_byte(reg::kInitrm, 0x39);
            if (std::string(part) == "dp256") {
                write_byte(reg::kInitee, 0x41);  // 0x4000
            } else if (std::string(part) == "dg128") {
                write_byte(reg::kInitee, 0x09);  // 0x0800
            }
        }
        if (dividers) {
            write_byte(reg::kFclkdiv, 0x4B);
            write_byte(reg::kEclkdiv, 0x4B);
        }
    }

    // The RAM load of an agent file: every loaded byte written through the BDM; the
    // parameter block is the lowest address, the entry the termination record's.
    void load(const std::string& path) {
        std::vector<uint8_t> image(0x10000);
        uint32_t raw_entry = 0;
        uint32_t loaded_entry = 0xFFFFFFFF;
        uint32_t lowest = 0;
        uint32_t highest = 0;
        ASSERT_EQ(srec_read(path.c_str(), nullptr, 0, image.data(), 0x10000, &raw_entry,
                            &loaded_entry, &lowest, &highest, nullptr),
                  0);
        ASSERT_NE(loaded_entry, 0xFFFFFFFF);
        for (uint32_t a = lowest; a <= highest; ++a) {
            write_byte(static_cast<uint16_t>(a), image[a]);
        }
        params = static_cast<uint16_t>(lowest);
        entry = static_cast<uint16_t>(loaded_entry);
    }

    // One agent command; the fake clock moves a millisecond per BDMSTS poll. Returns the
    // status, or kTimedOut when BDMACT did not show within 5 s.
    int command(uint8_t code) {
        write_byte(params, code);
        write_byte(static_cast<uint16_t>(params + 1), 2);
        bdm->write_register(CpuRegister::kPc, entry);
        bdm->run(RunKind::kGo);
        const uint64_t started = fake_now;
        while ((bdm->read_byte(bdm::kBdmsts, true) & bdm::kBdmact) == 0) {
            if (fake_now - started > 4999) {
                return kTimedOut;
            }
            ++fake_now;
        }
        waited_ms = fake_now - started;
        return read_byte(static_cast<uint16_t>(params + 1));
    }

    // Initialises the loaded agent for a 16 MHz oscillator.
    void initialise() {
        write_word(static_cast<uint16_t>(params + 2), 16000);
        ASSERT_EQ(command(agent::kInitialise), agent::kDone);
    }

    int flash(uint8_t code, uint8_t block, uint8_t page, uint16_t address = 0, uint16_t count = 0) {
        write_byte(static_cast<uint16_t>(params + 2), block);
        write_byte(static_cast<uint16_t>(params + 3), page);
        write_word(static_cast<uint16_t>(params + 4), address);
        write_word(static_cast<uint16_t>(params + 6), count);
        return command(code);
    }

    int eeprom_write(uint16_t address, uint16_t count) {
        write_word(static_cast<uint16_t>(params + 2), address);
        write_word(static_cast<uint16_t>(params + 4), count);
        return command(agent::kEepromWrite);
    }

    // An agent header written straight into RAM at entry, for a copy made by hand.
    void place_header(uint16_t at, uint16_t params_at, uint16_t buffer, uint16_t size) {
        const uint8_t bytes[] = {agent::kBgnd,    'Z', 'E', 'L', 'V', 'S', 'I', 'M',
                                 agent::kVersion, 0};
        for (uint16_t i = 0; i < sizeof bytes; ++i) {
            write_byte(static_cast<uint16_t>(at + i), bytes[i]);
        }
        write_word(static_cast<uint16_t>(at + agent::kParamsField), params_at);
        write_word(static_cast<uint16_t>(at + agent::kBufferField), buffer);
        write_word(static_cast<uint16_t>(at + agent::kBufferSizeField), size);
        params = params_at;
        entry = at;
    }

    void fill_buffer(const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            write_byte(static_cast<uint16_t>(kBuffer + i), bytes[i]);
        }
    }

    // The host's byte and word accesses: a byte rides in the half its address selects.
    void write_byte(uint16_t address, uint8_t value) {
        bdm->write_byte(address, (address & 1) != 0 ? value : static_cast<uint16_t>(value << 8),
                        false);
    }
    void write_word(uint16_t address, uint16_t value) { bdm->write_word(address, value, false); }
    uint8_t read_byte(uint16_t address) {
        const uint16_t lanes = bdm->read_byte(address, false);
        return static_cast<uint8_t>((address & 1) != 0 ? lanes & 0xFF : lanes >> 8);
    }
    uint16_t read_word(uint16_t address) { return bdm->read_word(address, false); }

    VirtualMcu mcu;
    std::unique_ptr<RamAgent> agent;
    std::unique_ptr<McuBdm> bdm;
    uint16_t params = kParams;
    uint16_t entry = kEntry;
    uint64_t waited_ms = 0;
};

TEST_F(RamAgentTest, TheShippedFileServesEveryHcs12AndHcs12xPart) {
    for (const char* part : {"c32", "c128", "dg128", "dp256", "xdp512"}) {
        SCOPED_TRACE(part);
        start(part);
        load(shipped_agent());
        EXPECT_EQ(params, kParams) << "the parameter block is the lowest loaded address";
        EXPECT_EQ(entry, kEntry);
        initialise();
        EXPECT_EQ(waited_ms, 0u);
        const uint16_t buffer = read_word(kParams + 2);
        const uint16_t size = read_word(kParams + 4);
        EXPECT_EQ(buffer, kBuffer);
        EXPECT_EQ(size, kBufferSize);
        // What the host demands of the buffer: even, dividing a page and the FLASH, no larger
        // than a sector, in RAM.
        EXPECT_EQ(0x4000 % size, 0);
        EXPECT_EQ(mcu.layout().flash_size % size, 0u);
        EXPECT_LE(size, mcu.layout().flash_sector_size);
        EXPECT_EQ(mcu.locate(buffer).region, Region::kRam);
        EXPECT_EQ(mcu.locate(static_cast<uint16_t>(buffer + size - 1)).region, Region::kRam);
    }
}

TEST_F(RamAgentTest, InitialiseLoadsTheDividersFromTheOscillator) {
    struct Case {
        uint16_t khz;
        int status;
        uint8_t divider;  // as FCLKDIV reads back, FDIVLD included
    };
    const Case cases[] = {
        {16000, agent::kDone, 0xC9},  // PRDIV8, 2 MHz / 10 = 200 kHz
        {8000, agent::kDone, 0xA7},   // 8 MHz / 40
        {12800, agent::kDone, 0xBF},  // the last without the prescaler: 12.8 MHz / 64
        {500, agent::kDone, 0x82},    // 500 kHz / 3 = 167 kHz
        {65535, agent::kDone, 0xE8},  // the highest the word carries
        {499, agent::kOscillatorInvalid, 0x00},
        {0, agent::kOscillatorInvalid, 0x00},  // -o 65.536 MHz: its kHz wrap to 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.khz);
        start("dp256", {}, false);
        load(shipped_agent());
        write_word(kParams + 2, c.khz);
        EXPECT_EQ(command(agent::kInitialise), c.status);
        EXPECT_EQ(mcu.peek_register(reg::kFclkdiv), c.divider);
        EXPECT_EQ(mcu.peek_register(reg::kEclkdiv), c.divider);
        if (c.status != agent::kDone) {
            EXPECT_EQ(read_word(kParams + 2), c.khz) << "no buffer reported";
        }
    }
    start("dp256");  // the host has loaded 0x4B: write-once, it stands
    load(shipped_agent());
    initialise();
    EXPECT_EQ(mcu.peek_register(reg::kFclkdiv), 0xCB);
    start("c32", {}, false);  // no EEPROM module to load
    load(shipped_agent());
    initialise();
    EXPECT_EQ(mcu.peek_register(reg::kFclkdiv), 0xC9);
}

TEST_F(RamAgentTest, FlashCommandsAsTheHostIssuesThem) {
    start("dp256");
    load(shipped_agent());
    initialise();
    const uint32_t page30 = flash_at(mcu, 0x30, 0);

    fill_buffer({0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0x9A, 0xBC});
    EXPECT_EQ(flash(agent::kFlashWrite, 3, 0x30, 0x8000, 8), agent::kDone);
    EXPECT_EQ(mcu.flash()[page30 + 1], 0x34);
    EXPECT_EQ(mcu.flash()[page30 + 7], 0xBC);

    fill_buffer(std::vector<uint8_t>(8, 0x00));
    EXPECT_EQ(flash(agent::kFlashRead, 3, 0x30, 0x8004, 4), agent::kDone);
    EXPECT_EQ(read_word(kBuffer), 0xFFFF);
    EXPECT_EQ(read_word(kBuffer + 2), 0x9ABC);
    EXPECT_EQ(read_word(kBuffer + 4), 0x0000) << "only the count is read";

    // The security word, in the fixed page 0x3F of block 0.
    fill_buffer({0xFF, 0xFE});
    EXPECT_EQ(flash(agent::kFlashWrite, 0, 0x3F, 0xFF0E, 2), agent::kDone);
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x3F, 0x3F0F)], 0xFE);

    // Block 0 does not hold page 0x30: the module refuses the array write (ACCERR).
    fill_buffer({0x00, 0x00});
    EXPECT_EQ(flash(agent::kFlashWrite, 0, 0x30, 0x8010, 2), nvm::kAccerr);
    EXPECT_EQ(mcu.flash()[page30 + 0x10], 0xFF);

    // A protected block: PVIOL, until the bulk erase opens FPROT.
    write_byte(reg::kFcnfg, 3);
    write_byte(reg::kFprot, 0x7F);
    EXPECT_EQ(flash(agent::kFlashWrite, 3, 0x30, 0x8010, 2), nvm::kPviol);

    EXPECT_EQ(flash(agent::kFlashVerify, 3, 0x30), agent::kNotClear);
    EXPECT_EQ(flash(agent::kFlashErase, 3, 0x30), agent::kDone);
    EXPECT_GE(waited_ms, 50u) << "a mass erase is not instant";
    EXPECT_EQ(mcu.flash()[page30 + 1], 0xFF);
    EXPECT_EQ(flash(agent::kFlashVerify, 3, 0x30), agent::kDone);
    EXPECT_EQ(flash(agent::kFlashVerify, 0, 0x3C), agent::kNotClear) << "the security word";
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x3F, 0x3F0F)], 0xFE) << "only block 3 was erased";

    mcu.reset(true);
    EXPECT_FALSE(mcu.secured()) << "the programmed security byte reached FSEC";
}

TEST_F(RamAgentTest, FlashParametersTheAgentRefuses) {
    struct Case {
        const char* what;
        uint8_t code;
        uint8_t block;
        uint16_t address;
        uint16_t count;
    };
    const Case cases[] = {
        {"odd count", agent::kFlashWrite, 3, 0x8000, 7},
        {"more than the buffer", agent::kFlashWrite, 3, 0x8000, kBufferSize + 2},
        {"read beyond the buffer", agent::kFlashRead, 3, 0x8000, kBufferSize + 1},
        {"no such block", agent::kFlashWrite, 4, 0x8000, 2},
        {"no such block to erase", agent::kFlashErase, 4, 0, 0},
        {"RAM, not FLASH", agent::kFlashWrite, 3, 0x3000, 2},
        {"past the end of the map", agent::kFlashRead, 0, 0xFFFE, 4},
    };
    start("dp256");
    load(shipped_agent());
    initialise();
    fill_buffer({0x00, 0x00});
    const std::vector<uint8_t> flash_before = mcu.flash();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(flash(c.code, c.block, 0x30, c.address, c.count), agent::kParametersRefused);
        EXPECT_EQ(mcu.flash(), flash_before);
        EXPECT_EQ(read_word(0x3000), 0x0000);
    }
}

TEST_F(RamAgentTest, EepromCommandsAsTheHostIssuesThem) {
    start("dp256");  // 4 KB at 0x4000
    load(shipped_agent());
    initialise();
    fill_buffer({0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(eeprom_write(0x4010, 4), agent::kDone);
    EXPECT_EQ(mcu.eeprom()[0x10], 0xDE);
    EXPECT_EQ(mcu.eeprom()[0x13], 0xEF);
    EXPECT_EQ(command(agent::kEepromVerify), agent::kNotClear);

    EXPECT_EQ(eeprom_write(0x4010, 3), agent::kParametersRefused);
    EXPECT_EQ(eeprom_write(0x4FFE, 4), agent::kParametersRefused) << "beyond the EEPROM";
    EXPECT_EQ(eeprom_write(0x4000, kBufferSize + 2), agent::kParametersRefused);

    write_byte(reg::kEprot, 0x7F);  // the whole array protected
    EXPECT_EQ(eeprom_write(0x4020, 2), nvm::kPviol);
    EXPECT_EQ(mcu.eeprom()[0x20], 0xFF);

    EXPECT_EQ(command(agent::kEepromErase), agent::kDone) << "the erase opens EPROT";
    EXPECT_GE(waited_ms, 50u);
    EXPECT_EQ(mcu.eeprom()[0x10], 0xFF);
    EXPECT_EQ(command(agent::kEepromVerify), agent::kDone);

    // HCS12X: the EEPROM window at 0x0800-0x0FFF.
    start("xdp512");
    load(shipped_agent());
    initialise();
    fill_buffer({0x55, 0xAA});
    EXPECT_EQ(eeprom_write(0x0C00, 2), agent::kDone);
    EXPECT_EQ(mcu.eeprom()[mcu.locate(0x0C00).offset], 0x55);
    EXPECT_EQ(command(agent::kEepromVerify), agent::kNotClear);

    start("c32");  // no EEPROM at all
    load(shipped_agent());
    initialise();
    for (const uint8_t code : {agent::kEepromErase, agent::kEepromVerify, agent::kEepromWrite}) {
        EXPECT_EQ(command(code), agent::kNotSupported) << int{code};
    }
}

TEST_F(RamAgentTest, UnknownCodesChangeNothing) {
    start("dp256");
    load(shipped_agent());
    initialise();
    fill_buffer({0x00, 0x00});
    const std::vector<uint8_t> flash_before = mcu.flash();
    const std::vector<uint8_t> eeprom_before = mcu.eeprom();
    for (const int code : {3, 4, 6, 9, 12, 0x80, 0xFF}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(flash(static_cast<uint8_t>(code), 3, 0x30, 0x8000, 2), agent::kNotSupported);
        EXPECT_EQ(read_word(kParams + 2), 0x0330) << "parameters untouched";
    }
    EXPECT_EQ(mcu.flash(), flash_before);
    EXPECT_EQ(mcu.eeprom(), eeprom_before);
}

TEST_F(RamAgentTest, ModuleFailuresReachTheStatus) {
    // Without a divider the module takes no command: ACCERR, reported, nothing programmed.
    start("dp256", {}, false);
    load(shipped_agent());
    fill_buffer({0x00, 0x00});
    EXPECT_EQ(flash(agent::kFlashWrite, 3, 0x30, 0x8000, 2), nvm::kAccerr);
    EXPECT_EQ(eeprom_write(0x4000, 2), nvm::kAccerr);
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x30, 0)], 0xFF);

    // A FLASH command that never completes keeps the agent polling: no status, no return.
    NvmFaults hang;
    hang.flash.push_back({NvmFaultKind::kHang, nvm::kMassErase, 0});
    start("dp256");
    mcu.set_nvm_faults(hang);
    load(shipped_agent());
    initialise();
    EXPECT_EQ(flash(agent::kFlashErase, 3, 0x30), kTimedOut);
    EXPECT_EQ(read_byte(kParams + 1), agent::kNotSupported) << "the status the host preset";
    bdm->background();
    EXPECT_TRUE(bdm->active());
}

TEST_F(RamAgentTest, OnlyTheAgentsOwnHeaderRunsNatively) {
    start("dp256");
    load(shipped_agent());
    bdm->write_register(CpuRegister::kPc, kEntry);
    bdm->run(RunKind::kTrace1);  // one step: the BGND
    EXPECT_TRUE(bdm->active());
    EXPECT_EQ(read_byte(kParams + 1), 0x00) << "no command carried out";

    struct Case {
        const char* what;
        uint16_t at;
        uint8_t value;
    };
    const Case spoiled[] = {
        {"no BGND first", kEntry, 0x01},
        {"another signature", kEntry + 3, 'X'},
        {"another version", kEntry + 8, 0x02},
    };
    for (const Case& c : spoiled) {
        SCOPED_TRACE(c.what);
        load(shipped_agent());
        write_byte(c.at, c.value);
        write_word(kParams + 2, 16000);
        EXPECT_EQ(command(agent::kInitialise), kTimedOut) << "the CPU runs whatever is there";
        EXPECT_EQ(read_byte(kParams + 1), agent::kNotSupported);
        bdm->background();
    }

    // A copy elsewhere in RAM works from its header's addresses.
    place_header(0x2010, 0x2000, 0x2100, 0x0080);
    write_word(0x2002, 16000);
    EXPECT_EQ(command(agent::kInitialise), agent::kDone);
    EXPECT_EQ(read_word(0x2002), 0x2100);
    EXPECT_EQ(read_word(0x2004), 0x0080);

    // On an HC12 the HCS12 agent gets no further than its BGND.
    start("b32");  // RAM at 0x0800
    place_header(0x0810, 0x0800, 0x0900, 0x0100);
    EXPECT_EQ(command(agent::kInitialise), agent::kNotSupported);
}

TEST_F(RamAgentTest, InjectedAgentFaults) {
    const uint32_t page30 = 0;  // storage offset of page 0x30 on dp256
    struct Case {
        const char* fault;
        uint8_t code;
        int first;      // status of the first run of code
        int second;     // and of the second
        bool programs;  // the write reached the FLASH (for code 11)
    };
    const Case cases[] = {
        {"agent-status:1:0", agent::kInitialise, agent::kOscillatorInvalid,
         agent::kOscillatorInvalid, false},
        {"agent-status:0x55:11,after=1", agent::kFlashWrite, agent::kDone, 0x55, true},
        {"agent-status:2", agent::kInitialise, agent::kNotSupported, agent::kNotSupported, false},
        {"agent-status:0:11", agent::kFlashWrite, agent::kDone, agent::kDone, false},
        {"agent-hang:11", agent::kFlashWrite, kTimedOut, kTimedOut, true},
        {"agent-hang,after=1", agent::kInitialise, agent::kDone, kTimedOut, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        FaultSet faults;
        ASSERT_EQ(parse_fault(c.fault, &faults), 0);
        start("dp256", faults.agent);
        load(shipped_agent());
        if (c.code != agent::kInitialise) {
            initialise();
        }
        fill_buffer({0x12, 0x34});
        for (const int expected : {c.first, c.second}) {
            write_word(kParams + 2, 16000);
            const int status =
                c.code == agent::kFlashWrite ? flash(c.code, 3, 0x30, 0x8000, 2) : command(c.code);
            EXPECT_EQ(status, expected);
            if (status == kTimedOut) {
                bdm->background();
            }
        }
        if (c.code == agent::kFlashWrite) {
            EXPECT_EQ(mcu.flash()[page30], c.programs ? 0x12 : 0xFF);
        }
    }
    // A hung agent has still written its status.
    FaultSet faults;
    ASSERT_EQ(parse_fault("agent-hang:0", &faults), 0);
    start("dp256", faults.agent);
    load(shipped_agent());
    write_word(kParams + 2, 16000);
    EXPECT_EQ(command(agent::kInitialise), kTimedOut);
    EXPECT_EQ(read_byte(kParams + 1), agent::kDone);
    EXPECT_EQ(read_word(kParams + 2), kBuffer);

    // Another buffer: reported and used.
    faults = FaultSet{};
    ASSERT_EQ(parse_fault("agent-buffer:0x3A01:0x201", &faults), 0);
    start("dp256", faults.agent);
    load(shipped_agent());
    initialise();
    EXPECT_EQ(read_word(kParams + 2), 0x3A01);
    EXPECT_EQ(read_word(kParams + 4), 0x0201);
    EXPECT_EQ(flash(agent::kFlashRead, 3, 0x30, 0x8000, 0x201), agent::kDone);
    EXPECT_EQ(read_byte(0x3A01 + 0x200), 0xFF);

    for (const char* bad :
         {"agent-status", "agent-status:1:2:3", "agent-status:0x100", "agent-status:1:0x100",
          "agent-hang:1:2", "agent-buffer:1", "agent-buffer:0x10000:2", "agent-buffer:1:2,after=1",
          "agent-hang,after=x"}) {
        FaultSet refused;
        EXPECT_EQ(parse_fault(bad, &refused), EINVAL) << bad;
    }
}

}  // namespace
}  // namespace zelv::sim::test
