// Part identification and the status report, through fake target access callbacks that
// serve a register map and log every access.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "mcu/identify.h"
#include "mcu/status_report.h"
#include "fakes/run_state.h"
#include "target/target_model.h"

namespace zelv {
namespace {

std::array<uint8_t, 0x10000> memory;
std::array<uint8_t, 8> fprot_by_block;  // FPROT is banked by the block select in FCNFG
std::vector<std::string> accesses;
int fail_at = -1;  // index of the access that fails with EIO

int log_access(const char* kind, uint16_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "%s %04X", kind, address);
    accesses.emplace_back(text);
    return static_cast<int>(accesses.size()) - 1 == fail_at ? EIO : 0;
}

int read_byte(uint16_t address, uint8_t* value) {
    *value = address == 0x0104 ? fprot_by_block[memory[0x0103] & 7] : memory[address];
    return log_access("rb", address);
}
int read_word(uint16_t address, uint16_t* value) {
    *value = static_cast<uint16_t>(memory[address] << 8 | memory[address + 1U]);
    return log_access("rw", address);
}
int write_byte(uint16_t address, uint8_t value) {
    memory[address] = value;
    return log_access("wb", address);
}
int write_word(uint16_t address, uint16_t) {
    return log_access("ww", address);
}

class StatusReportTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        memory.fill(0);
        fprot_by_block.fill(0xFF);
        accesses.clear();
        fail_at = -1;
    }
    void TearDown() override { test::reset_run_state(); }

    void use(const std::string& flash, const std::string& eeprom, const std::string& family,
             const std::string& extra = "") {
        ASSERT_EQ(
            test::build_target_from(dir, test::description_text(flash, eeprom, family, extra)), 0);
        TargetModel& m = target();
        m.target_read_byte = read_byte;
        m.target_read_word = read_word;
        m.target_write_byte = write_byte;
        m.target_write_word = write_word;
    }

    int report(bool verbose) {
        testing::internal::CaptureStdout();
        const int result = status_report(verbose);
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    test::TempDir dir;
    std::string out;
};

TEST_F(StatusReportTest, Hcs12ReportWithFourBlocks) {
    use("FTS256K", "EETS4K", "HCS12");
    memory[0x10] = 0x39;   // INITRM: RAM at 0x3800, aligned high
    memory[0x11] = 0x00;   // INITRG
    memory[0x12] = 0x01;   // INITEE: EEPROM at 0x0000, enabled
    memory[0x13] = 0x03;   // MISC: ROMON, ROMHM
    memory[0x1C] = 0x24;   // MEMSIZ0: 1 KB registers, 4 KB EEPROM space, 16 KB RAM space
    memory[0x1D] = 0xC1;   // MEMSIZ1: 64 KB FLASH space, 768/256 KB
    memory[0x101] = 0xBE;  // FSEC: unsecured, backdoor key enabled
    memory[0x114] = 0xF3;  // EPROT: last 256 bytes
    fprot_by_block = {0xC6, 0xFF, 0x7F, 0xE7};
    ASSERT_EQ(report(true), 0);
    EXPECT_EQ(out,
              "S12 part security <unsecured> backdoor key <enabled>\n"
              "S12 register space <1kB> address range <0x0000-0x03FF>\n"
              "S12 RAM size <12kB> space <16kB> align <high> address range <0x1000-0x3FFF>\n"
              "S12 EEPROM module <EETS4K> state <enabled>\n"
              "S12 EEPROM size <4kB> space <4kB> address range <0x0000-0x0FFF>\n"
              "S12 EEPROM protection all <off> address range <0x0F00-0x0FFF 256B>\n"
              "S12 FLASH module <FTS256K> state <enabled> ROMHM <yes>\n"
              "S12 FLASH size <256kB> space <64kB> off-chip/on-chip space <768kB/256kB>\n"
              "S12 FLASH block <0> protection all <off> high area <2kB> low area <8kB>\n"
              "S12 FLASH block <1> protection all <off> high area <off> low area <off>\n"
              "S12 FLASH block <2> protection all <on> high area <off> low area <off>\n"
              "S12 FLASH block <3> protection all <off> high area <2kB> low area <off>\n");
    const TargetModel& m = target();
    EXPECT_EQ(m.ram_base, 0x1000U);
    EXPECT_EQ(m.ram_space, 0x4000U);
    EXPECT_EQ(m.register_space, 0x400U);
    EXPECT_EQ(m.eeprom_space, 0x1000U);
    EXPECT_EQ(m.unsecured, 1);
    EXPECT_EQ(m.secured, 0);
    const std::vector<std::string> expected = {
        "rb 0011", "rb 0010", "rb 0012", "rw 001C", "rb 0013", "rb 0101", "rb 0114", "wb 0103",
        "rb 0104", "wb 0103", "rb 0104", "wb 0103", "rb 0104", "wb 0103", "rb 0104"};
    EXPECT_EQ(accesses, expected);
}

TEST_F(StatusReportTest, QuietReportOnlyReadsWhatTheModelNeeds) {
    use("FTS256K", "EETS4K", "HCS12");
    memory[0x10] = 0x38;  // RAMHAL clear: RAM at the bottom of its space
    memory[0x11] = 0x88;  // bit 15 of the register base is masked off
    memory[0x1C] = 0x04;
    memory[0x101] = 0xFF;  // secured
    ASSERT_EQ(report(false), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(accesses, (std::vector<std::string>{"rb 0011", "rb 0010", "rb 0012", "rw 001C",
                                                  "rb 0013", "rb 0101"}));
    EXPECT_EQ(target().register_base, 0x0800U);
    EXPECT_EQ(target().ram_base, 0x0000U);
    EXPECT_EQ(target().secured, 1);
}

TEST_F(StatusReportTest, SecurityAndBackdoorKeyDecoding) {
    struct Case {
        const char* flash;  // FTS256K: key format 1; FTS128K: format 2
        uint8_t fsec;
        int security_erased;
        const char* line;
        int secured;
    };
    const Case cases[] = {
        {"FTS128K", 0xFE, 0, "S12 part security <unsecured> backdoor key <disabled>", 0},
        {"FTS128K", 0xBE, 0, "S12 part security <unsecured> backdoor key <enabled>", 0},
        {"FTS256K", 0xBE, 0, "S12 part security <unsecured> backdoor key <enabled>", 0},
        {"FTS256K", 0xFE, 0, "S12 part security <unsecured> backdoor key <enabled>", 0},
        {"FTS256K", 0x7E, 0, "S12 part security <unsecured> backdoor key <disabled>", 0},
        {"FTS128K", 0xFF, 1, "S12 part security <secured/erased> backdoor key <disabled>", 0},
        {"FTS128K", 0x01, 0, "S12 part security <secured> backdoor key <disabled>", 1},
    };
    for (const Case& c : cases) {
        use(c.flash, "EETS2K", "HCS12");
        memory[0x101] = c.fsec;
        target().security_erased = c.security_erased;
        ASSERT_EQ(report(true), 0);
        EXPECT_EQ(out.substr(0, out.find('\n')), c.line) << c.flash << " " << int{c.fsec};
        EXPECT_EQ(target().secured, c.secured);
    }
}

TEST_F(StatusReportTest, EepromProtectionLines) {
    struct Case {
        uint8_t eprot;
        const char* line;
    };
    const Case cases[] = {
        {0xFF, "S12 EEPROM protection all <off> address range <off>\n"},
        {0xF3, "S12 EEPROM protection all <off> address range <0x0F00-0x0FFF 256B>\n"},
        {0x77, "S12 EEPROM protection all <on> address range <0x0E00-0x0FFF 512B ignored>\n"},
        {0x70, "S12 EEPROM protection all <on> address range <0x0FC0-0x0FFF 64B ignored>\n"},
    };
    for (const Case& c : cases) {
        use("FTS64K", "EETS4K", "HCS12");
        memory[0x114] = c.eprot;
        ASSERT_EQ(report(true), 0);
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_NE(out.find("S12 FLASH protection all <off> high area <off> low area <off>\n"),
                  std::string::npos)
            << "one block: no block number and no FCNFG write";
        for (const std::string& access : accesses) {
            EXPECT_NE(access, "wb 0103");
        }
    }
    use("FTS32K", "NONE", "HCS12");
    ASSERT_EQ(report(true), 0);
    EXPECT_NE(out.find("S12 EEPROM not present\n"), std::string::npos);
}

TEST_F(StatusReportTest, Hcs12xReport) {
    use("FTX512K4", "EETX4K", "HCS12X");
    memory[0x13] = 0x01;
    memory[0x101] = 0x7E;
    ASSERT_EQ(report(true), 0);
    EXPECT_EQ(out,
              "S12X part security <unsecured> backdoor key <disabled>\n"
              "S12X register space <2kB> address range <0x0000-0x07FF>\n"
              "S12X RAM size <12kB> space <12kB> address range <0x1000-0x3FFF>\n"
              "S12X FLASH module <FTX512K4> size <512kB> state <enabled> ROMHM <no>\n"
              "S12X FLASH block <0> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <1> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <2> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <3> protection all <off> high area <off> low area <off>\n");
    EXPECT_EQ(target().eeprom_base, 0x0800U);
    EXPECT_EQ(target().eeprom_space, 0x800U);
}

TEST_F(StatusReportTest, Hcs12xSizesAreBoundByTheCpuWindows) {
    // A description with the whole 32 KB RAM and 4 KB EEPROM: the report shows them, and the
    // model keeps what the CPU reaches, so images and the protection field stay in view.
    std::string text = test::description_text("FTX512K4", "EETX4K", "HCS12X");
    text.replace(text.find("ram_size 0x3000"), 15, "ram_size 0x8000");
    ASSERT_EQ(test::build_target_from(dir, text), 0);
    target().target_read_byte = read_byte;
    target().target_read_word = read_word;
    target().target_write_byte = write_byte;
    ASSERT_EQ(target().eeprom_size, 0x1000U);
    ASSERT_EQ(target().ram_size, 0x8000U);
    ASSERT_EQ(report(true), 0);
    EXPECT_NE(out.find("S12X RAM size <32kB> space <12kB> address range <0x1000-0x3FFF>\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(target().ram_size, 0x3000U);
    EXPECT_EQ(target().eeprom_size, 0x800U);

    // HCS12 parts keep the description's sizes.
    use("FTS256K", "EETS4K", "HCS12");
    memory[0x1C] = 0x00;  // MEMSIZ: 2 KB RAM space, no EEPROM space
    ASSERT_EQ(report(false), 0);
    EXPECT_EQ(target().ram_size, 0x3000U);
    EXPECT_EQ(target().eeprom_size, 0x1000U);
}

TEST_F(StatusReportTest, Hc12Report) {
    use("NONE", "EETS1K", "HC12");
    memory[0x10] = 0x08;
    memory[0x11] = 0x00;
    memory[0x12] = 0x0D;
    ASSERT_EQ(report(true), 0);
    EXPECT_EQ(out,
              "HC12 register base <0x0000>\n"
              "HC12 RAM size <12kB> address range <0x0800-0x37FF>\n"
              "HC12 EEPROM size <1kB> state <enabled> address range <0x0800-0x0BFF>\n");
    EXPECT_EQ(target().unsecured, 1);
    EXPECT_EQ(target().secured, 0);
    EXPECT_EQ(accesses, (std::vector<std::string>{"rb 0011", "rb 0010", "rb 0012"}));

    use("NONE", "NONE", "HC12");
    ASSERT_EQ(report(true), 0);
    EXPECT_NE(out.find("HC12 EEPROM not present\n"), std::string::npos);
}

TEST_F(StatusReportTest, FailingAccessEndsTheReportWithItsError) {
    use("FTS256K", "EETS4K", "HCS12");
    for (int failing = 0; failing < 15; ++failing) {
        accesses.clear();
        fail_at = failing;
        EXPECT_EQ(report(true), EIO) << failing;
        EXPECT_EQ(accesses.size(), static_cast<size_t>(failing) + 1) << "nothing after the failure";
    }
}

TEST_F(StatusReportTest, PartIdentification) {
    use("FTS256K", "EETS4K", "HCS12");
    struct Case {
        uint16_t id;
        bool verbose;
        bool accepted;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {0x0012, true, true, "HCS12 part id <0x0012> family <D> memory <256kB> mask <1.2>\n", ""},
        {0xC410, true, true, "HCS12 part id <0xC410> family <XD> memory <512kB> mask <1.0>\n",
         "warning: part id memory size <512kB> differs from the description's FLASH size "
         "<256kB>\n"},
        {0x7F5A, true, true, "HCS12 part id <0x7F5A> family <reserved> memory <0kB> mask <5.10>\n",
         ""},
        {0x3300, false, true, "",
         "warning: part id memory size <32kB> differs from the description's FLASH size "
         "<256kB>\n"},
        {0xFFFF, true, false, "HCS12 part id <0xFFFF>\n",
         "\nerror: unknown MCU (invalid part id)\nhint: check target OSC frequency, BDM cable "
         "attachment, MCU power, etc\n"},
        {0x0000, false, false, "",
         "\nerror: unknown MCU (invalid part id 0x0000)\nhint: check BDM cable attachment, MCU "
         "power, configuration, etc\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(identify_part(c.id, c.verbose), c.accepted);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }
}

}  // namespace
}  // namespace zelv
