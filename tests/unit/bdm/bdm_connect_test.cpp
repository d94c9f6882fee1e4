// The BDM engine's front against a fake pod: the clock divider and init-byte rules, the
// connection's order of steps and its lines, its failures, the open and the BDM entry.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bdm/bdm_connect.h"
#include "bdm/bdm_interface.h"
#include "bdm/bdm_state.h"
#include "base/settings.h"
#include "fakes/fake_pod.h"
#include "fakes/run_state.h"
#include "target/target_model.h"

namespace zelv {
namespace {

using Lines = std::vector<std::string>;

TEST(BdmClockDivider, DividerBytesAndRefusals) {
    struct Case {
        unsigned long osc;
        int result;
        uint8_t divider;
        unsigned long fclk;
    };
    const Case cases[] = {
        {2000000, 0, 0x0B, 166666},
        {4000000, 0, 0x15, 181818},
        {8000000, 0, 0x29, 190476},
        {12400000, 0, 0x3F, 193750},  // FDIV 63: the last that fits without the prescaler
        {12400001, 0, 0x49, 155000},  // FDIV would be 64: divided by 8 first
        {12799999, 0, 0x49, 159999},
        {12800000, 0, 0x49, 160000},
        {16000000, 0, 0x4B, 166666},
        {25000000, 0, 0x51, 173611},
        {13200000, 0, 0x4A, 150000},
        {99200007, 0, 0x7F, 193750},  // FDIV 63 after the prescaler
        {1999999, EINVAL, 0, 0},
        {12800008, EINVAL, 0, 0},  // FCLK 145454
        {13000000, EINVAL, 0, 0},  // FCLK 147727
        {13199999, EINVAL, 0, 0},
        {99200008, EINVAL, 0, 0},  // FDIV 64 even after the prescaler
        {400000000, EINVAL, 0, 0},
    };
    for (const Case& c : cases) {
        uint8_t divider = 0;
        unsigned long fclk = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(bdm_clock_divider(c.osc, &divider, &fclk), c.result) << c.osc;
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.result == 0) {
            EXPECT_EQ(divider, c.divider) << c.osc;
            EXPECT_EQ(fclk, c.fclk) << c.osc;
            EXPECT_EQ(err, "");
        } else if (c.osc < 2000000) {
            EXPECT_EQ(err,
                      "\nerror: FLASH/EEPROM routines cannot work with oscillator below 2MHz\n");
        } else {
            EXPECT_EQ(err,
                      "\nerror: unable to determine proper clock divider for FLASH/EEPROM "
                      "programming\n")
                << c.osc;
        }
    }
}

TEST(BdmInitByte, ValuesAcceptedAndRefused) {
    struct Case {
        const char* text;
        bool valid;
        uint16_t address;
        uint8_t value;
    };
    const Case cases[] = {
        {"0x3C 0x80", true, 0x003C, 0x80},
        {"0x13C 0x180", true, 0x013C, 0x80},  // both cut to their width
        {"60 128", true, 0x003C, 0x80},
        {"074 0200", true, 0x003C, 0x80},
        {"0x3C  0x80", true, 0x003C, 0x80},  // the second number may have blanks before it
        {"0x3C", false, 0, 0},
        {"0x3C,0x80", false, 0, 0},
        {"0x3C 0x80 ", false, 0, 0},
        {"0x3C 0x80x", false, 0, 0},
        {"0x3C 0x80 0x01", false, 0, 0},
        {"0x3C ", false, 0, 0},  // a blank and then no number
        {"0x3C \t", false, 0, 0},
        {"0x3C\t0x80", false, 0, 0},
        {"zz 0x80", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint16_t address = 0;
        uint8_t value = 0;
        EXPECT_EQ(bdm_parse_init_byte(c.text, &address, &value), c.valid) << '"' << c.text << '"';
        if (c.valid) {
            EXPECT_EQ(address, c.address) << c.text;
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

class BdmConnectTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        bdm_state_reset();
        bdm_select_pod(&test::FakePod::table());
        settings().osc = 16000000;
        pod.set_bdm_status(0xC0);
        pod.memory()[0x001A] = 0x00;  // PARTID 0x0012
        pod.memory()[0x001B] = 0x12;
        pod.memory()[0x0010] = 0x39;  // RAM at the top of 0x0000-0x3FFF
        pod.memory()[0x001C] = 0x04;  // MEMSIZ: 16 KB RAM space
        pod.memory()[0x0101] = 0xFE;  // FSEC: unsecured
    }
    void TearDown() override {
        bdm_state_reset();
        test::reset_run_state();
    }

    void use(const std::string& family, const std::string& extra = "") {
        const std::string flash = family == "HC12" ? "OTHER" : "FTS128K1";
        ASSERT_EQ(
            test::build_target_from(
                dir, test::description_text(
                         flash, "NONE", family,
                         (family == "HC12"
                              ? "flash_size 0x8000\nflash_nb_base 0x8000\nflash_nb_size 0x8000\n"
                              : "") +
                             extra)),
            0);
        // What bdm_open installs before it connects.
        TargetModel& m = target();
        m.target_read_byte = test::FakePod::table().read_byte;
        m.target_read_word = test::FakePod::table().read_word;
        m.target_write_byte = test::FakePod::table().write_byte;
        m.target_write_word = test::FakePod::table().write_word;
    }

    int connect(bool verbose) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = bdm_connect(verbose);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    test::TempDir dir;
    test::FakePod pod;
    std::string out;
    std::string err;
};

TEST_F(BdmConnectTest, StepsRunInOrder) {
    use("HCS12", "bdm_init_byte 0x0011 0x08\nbdm_startup_delay 1\nbdm_init_byte 0x0012 0x11\n");
    bdm_state().agent_loaded = true;
    ASSERT_EQ(connect(false), 0) << err;
    EXPECT_EQ(out, "");
    const Lines calls = pod.calls();
    ASSERT_GE(calls.size(), 8U);
    EXPECT_EQ(Lines(calls.begin(), calls.begin() + 7),
              (Lines{"reset_special", "read_bd_byte FF01", "read_word 001A", "write_byte 0011 08",
                     "write_byte 0012 11", "write_byte 0100 4B", "write_byte 0110 4B"}));
    // Then only the status report's reads (INITRG first), nothing else written.
    EXPECT_EQ(calls[7], "read_byte 0011");
    EXPECT_EQ(pod.calls_of("write_").size(), 4U);
    EXPECT_FALSE(bdm_state().agent_loaded);
    EXPECT_EQ(target().register_base, 0x0800U);  // the init byte came before the report
}

TEST_F(BdmConnectTest, StatusLineByFamilyAndBits) {
    struct Case {
        const char* family;
        uint8_t status;
        const char* line;
        int erased;
    };
    const Case cases[] = {
        {"HCS12", 0xC0, "BDM status <enabled,active,secured> clock <bus>\n", 0},
        {"HCS12", 0xC6, "BDM status <enabled,active,unsecured> clock <pll>\n", 1},
        {"HCS12X", 0x02, "BDM status <disabled,inactive,unsecured> clock <bus>\n", 1},
        {"HC12", 0xC6, "BDM status <enabled,active> clock <pll>\n", 1},
    };
    for (const Case& c : cases) {
        pod.set_bdm_status(c.status);
        use(c.family);
        ASSERT_EQ(connect(true), 0) << err;
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.line);
        EXPECT_EQ(target().security_erased, c.erased) << c.family;
        EXPECT_EQ(out.substr(out.size() - 2), "\n\n") << "the open ends with an empty line";
    }
}

TEST_F(BdmConnectTest, VerboseLinesOfAnHcs12) {
    use("HCS12");
    ASSERT_EQ(connect(true), 0) << err;
    EXPECT_EQ(out.substr(0, out.find("S12 register")),
              "BDM status <enabled,active,secured> clock <bus>\n"
              "HCS12 part id <0x0012> family <D> memory <256kB> mask <1.2>\n"
              "S12 part security <unsecured> backdoor key <disabled>\n");
    // The fake part's id says 256 KB, the fixture's description 128 KB.
    EXPECT_EQ(err,
              "warning: part id memory size <256kB> differs from the description's FLASH size "
              "<128kB>\n");
}

TEST_F(BdmConnectTest, Hc12SkipsIdentificationAndDivider) {
    settings().osc = 1000;  // no divider to compute, so any oscillator will do
    use("HC12", "bdm_init_byte 0x0011 0x08\n");
    ASSERT_EQ(connect(false), 0) << err;
    EXPECT_TRUE(pod.calls_of("read_word 001A").empty());
    EXPECT_EQ(pod.calls_of("write_"), (Lines{"write_byte 0011 08"}));
}

TEST_F(BdmConnectTest, InvalidPartIdsGiveTheirHints) {
    struct Case {
        uint16_t id;
        bool verbose;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {0xFFFF, true, "HCS12 part id <0xFFFF>\n",
         "\nerror: unknown MCU (invalid part id)\nhint: check target OSC frequency, BDM cable "
         "attachment, MCU power, etc\n"},
        {0x0000, true, "HCS12 part id <0x0000>\n",
         "\nerror: unknown MCU (invalid part id)\nhint: check BDM cable attachment, MCU power, "
         "configuration, etc\n"},
        {0xFFFF, false, "",
         "\nerror: unknown MCU (invalid part id 0xFFFF)\nhint: check target OSC frequency, BDM "
         "cable attachment, MCU power, etc\n"},
    };
    use("HCS12", "bdm_init_byte 0x0010 0x21\n");
    for (const Case& c : cases) {
        test::FakePod fresh;
        fresh.set_bdm_status(0xC0);
        fresh.memory()[0x001A] = static_cast<uint8_t>(c.id >> 8);
        fresh.memory()[0x001B] = static_cast<uint8_t>(c.id);
        EXPECT_EQ(connect(c.verbose), EINVAL);
        EXPECT_EQ(
            out.substr(out.find("HCS12") == std::string::npos ? out.size() : out.find("HCS12")),
            c.out);
        EXPECT_EQ(err, c.err);
        EXPECT_TRUE(fresh.calls_of("write_").empty()) << "nothing is written to an unknown part";
    }
}

TEST_F(BdmConnectTest, FailuresEndTheConnection) {
    struct Case {
        const char* extra;
        unsigned long osc;
        const char* fail;  // pod call that fails, or ""
        int result;
        const char* err;
        size_t writes;  // write calls made, a failing one included
    };
    const Case cases[] = {
        {"bdm_startup_delay soon\n", 16000000, "", EINVAL, "invalid", 0},
        {"bdm_init_byte 0x0010 0x21\nbdm_init_byte 0x3C \nbdm_init_byte 0x0012 0x11\n", 16000000,
         "", EINVAL, "\nerror: invalid target bdm_init_byte parameter\n", 1},
        {"", 1999999, "", EINVAL,
         "\nerror: FLASH/EEPROM routines cannot work with oscillator below 2MHz\n", 0},
        {"", 13000000, "", EINVAL,
         "\nerror: unable to determine proper clock divider for FLASH/EEPROM programming\n", 0},
        {"", 16000000, "reset_special", EIO, "\nerror: fake pod failure\n", 0},
        {"", 16000000, "read_bd_byte", ETIMEDOUT, "\nerror: fake pod failure\n", 0},
        {"", 16000000, "read_word 001A", EIO, "\nerror: fake pod failure\n", 0},
        {"", 16000000, "write_byte 0110", EIO, "\nerror: fake pod failure\n", 2},
        // A report cut short fails the connection: it did not learn the security state.
        {"", 16000000, "read_byte 0011", EIO, "\nerror: fake pod failure\n", 2},
    };
    for (const Case& c : cases) {
        test::FakePod fresh;
        fresh.set_bdm_status(0xC0);
        fresh.memory()[0x001B] = 0x12;
        if (*c.fail != '\0') {
            fresh.fail(c.fail, c.result);
        }
        settings().osc = c.osc;
        use("HCS12", c.extra);
        EXPECT_EQ(connect(false), c.result) << c.extra << c.fail;
        EXPECT_NE(err.find(c.err), std::string::npos) << err;
        EXPECT_EQ(fresh.calls_of("write_").size(), c.writes) << c.extra << c.fail;
        EXPECT_EQ(out, "");
    }
}

class BdmOpenTest : public BdmConnectTest {
protected:
    int open() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = bdm_open();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }
};

TEST_F(BdmOpenTest, InstallsThePodAccessesAndStaysQuietWhenAsked) {
    use("HCS12");
    settings().verbose = 0;
    ASSERT_EQ(open(), 0) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(pod.calls().front(), "pod_open");
    EXPECT_EQ(pod.closes(), 0);
    const TargetModel& m = target();
    EXPECT_EQ(m.target_read_byte, test::FakePod::table().read_byte);
    EXPECT_EQ(m.target_read_word, test::FakePod::table().read_word);
    EXPECT_EQ(m.target_write_byte, test::FakePod::table().write_byte);
    EXPECT_EQ(m.target_write_word, test::FakePod::table().write_word);
}

TEST_F(BdmOpenTest, AFailedOpenOrConnectLeavesThePodClosed) {
    use("HCS12");
    pod.fail("pod_open", EIO);
    EXPECT_EQ(open(), EIO);
    EXPECT_EQ(pod.closes(), 0) << "a pod that did not open is not closed";

    test::FakePod fresh;
    fresh.set_bdm_status(0xC0);  // PARTID reads 0x0000
    fresh.set_close_result(EIO);
    EXPECT_EQ(open(), EINVAL) << "the connect's error, not the close's";
    EXPECT_EQ(fresh.opens(), 1);
    EXPECT_EQ(fresh.closes(), 1);
}

TEST_F(BdmOpenTest, EntrySlots) {
    use("HCS12");
    const InterfaceOps* entry = &bdm12pod_interface;
    EXPECT_STREQ(entry->name, "bdm12pod");

    // Every programming slot is the engine's own operation, shared by the BDM interfaces.
    EXPECT_EQ(entry->close, bdm_close);
    EXPECT_EQ(entry->ram_run, bdm_ram_run);
    EXPECT_EQ(entry->unsecure, bdm_unsecure);
    EXPECT_EQ(entry->secure, bdm_secure);
    EXPECT_EQ(entry->eeprom_read, bdm_eeprom_read);
    EXPECT_EQ(entry->eeprom_erase, bdm_eeprom_erase);
    EXPECT_EQ(entry->eeprom_write, bdm_eeprom_write);
    EXPECT_EQ(entry->eeprom_protect, bdm_eeprom_protect);
    EXPECT_EQ(entry->flash_read, bdm_flash_read);
    EXPECT_EQ(entry->flash_erase, bdm_flash_erase);
    EXPECT_EQ(entry->flash_write, bdm_flash_write);
    EXPECT_EQ(entry->reset, bdm_reset);

    EXPECT_EQ(entry->reserved(), 0);
    settings().verbose = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(entry->reset(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "reset: normal mode\n");
    settings().verbose = 0;
    pod.fail("reset_normal", ETIMEDOUT);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(entry->reset(), ETIMEDOUT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    (void)testing::internal::GetCapturedStderr();
    pod.set_close_result(EBADF);
    EXPECT_EQ(entry->close(), EBADF);
}

}  // namespace
}  // namespace zelv
