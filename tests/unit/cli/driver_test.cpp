// The command line and the operation driver, run in-process against a recording interface.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/driver.h"
#include "cli/interface_table.h"
#include "cli/options.h"
#include "base/settings.h"
#include "fakes/run_state.h"

namespace zelv {
namespace {

using test::TempDir;

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

// The words must outlive the run: the settings point into them.
std::vector<std::string> words;
std::vector<char*> argv_storage;

char** make_argv(const std::vector<std::string>& args) {
    words = {"zelvanor"};
    words.insert(words.end(), args.begin(), args.end());
    argv_storage.clear();
    for (std::string& word : words) {
        argv_storage.push_back(word.data());
    }
    argv_storage.push_back(nullptr);
    return argv_storage.data();
}

RunResult run(const std::vector<std::string>& args) {
    char** argv = make_argv(args);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = zelvanor_main(static_cast<int>(words.size()), argv);
    RunResult result{status, testing::internal::GetCapturedStdout(),
                     testing::internal::GetCapturedStderr()};
    return result;
}

// Only the first pass and the checks after it, for the settings they leave.
int parse(const std::vector<std::string>& args, std::string* err = nullptr) {
    settings_reset();
    char** argv = make_argv(args);
    const int argc = static_cast<int>(words.size());
    testing::internal::CaptureStderr();
    int status = options_first_pass(argc, argv);
    const InterfaceOps* entry = nullptr;
    if (status < 0) {
        status = options_check(argc, argv, &entry);
    }
    const std::string captured = testing::internal::GetCapturedStderr();
    if (err != nullptr) {
        *err = captured;
    }
    return status;
}

// A recording interface: every call is logged; one operation can be made to fail.
std::vector<std::string> calls;
std::string failing;

int record(const std::string& call) {
    calls.push_back(call);
    return call == failing ? 5 : 0;
}

const InterfaceOps kRecorder = {
    .name = "recorder",
    .open = [] { return record("open"); },
    .close = [] { return record("close"); },
    .ram_run = [](const char* p) { return record(std::string("X:") + p); },
    .unsecure = [] { return record("U"); },
    .secure = [] { return record("S"); },
    .eeprom_read = [](const char* p) { return record(std::string("B:") + p); },
    .eeprom_erase = [] { return record("A"); },
    .eeprom_write = [](const char* p) { return record(std::string("C:") + p); },
    .eeprom_protect = [](const char* r) { return record(std::string("D:") + r); },
    .flash_read = [](const char* p) { return record(std::string("G:") + p); },
    .flash_erase = [](int u) { return record(u != 0 ? "F" : "E"); },
    .flash_write = [](const char* p) { return record(std::string("H:") + p); },
    .reserved = nullptr,
    .reset = [] { return record("R"); },
    .flash_image_check = nullptr,
    .ram_image_check = nullptr,
    .refused_operations = nullptr,
    .connection_options = nullptr,
    .flash_verify = [](const char* p) { return record(std::string("VF:") + p); },
    .eeprom_verify = [](const char* p) { return record(std::string("VE:") + p); },
};

class DriverTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        calls.clear();
        failing.clear();
        interface_set_extra(&kRecorder);
        description_path = dir.file("board.dat");
        test::write_file(description_path, test::description_text("FTS128K"));
    }
    void TearDown() override { interface_set_extra(nullptr); }

    TempDir dir;
    std::string description_path;
};

std::string banner() {
    return "zelvanor: Freescale S12 MCU memory loader V1.4.1\n\n";
}

std::string usage() {
    return test::read_file(std::string(ZELV_FIXTURE_DIR) + "/cli/usage.txt");
}

TEST_F(DriverTest, NoArgumentPrintsBannerAndUsageAndFails) {
    const RunResult r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, banner() + usage());
}

TEST_F(DriverTest, HelpSucceedsAfterValidOptionsAndIgnoresTheRest) {
    const RunResult r = run({"-q", "-o", "8M", "-h", "-b", "junk", "--no-such-option"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, banner() + usage());
}

TEST_F(DriverTest, FirstPassRefusals) {
    struct Case {
        std::vector<std::string> args;
        std::string message;  // "" when the run ends without one
    };
    const Case cases[] = {
        {{"-b", "19200x"}, "\nerror: invalid baud rate: 19200x\n"},
        {{"-b", "0x100"}, "\nerror: invalid baud rate: 0x100\n"},
        {{"-j", "0x40g0"}, "\nerror: invalid start address: 0x40g0\n"},
        {{"-s", "16k"}, "\nerror: invalid S-record size: 16k\n"},
        {{"-s", "0"}, "\nerror: invalid S-record size: 0\n"},
        {{"-s", "251"}, "\nerror: invalid S-record size: 251\n"},
        {{"-s", ""}, "\nerror: invalid S-record size: \n"},
        {{"-o", "8.5M"}, "\nerror: invalid oscillator frequency: 8.5M\n"},
        {{"-o", "8 MHz"}, "\nerror: invalid oscillator frequency: 8 MHz\n"},
        {{"-o", "5000000M"}, "\nerror: invalid oscillator frequency: 5000000M\n"},
        {{"-o", "4294967296"}, "\nerror: invalid oscillator frequency: 4294967296\n"},
        // A frequency of 0 is reported, with the text as given.
        {{"-o", "0"}, "\nerror: invalid oscillator frequency: 0\n"},
        {{"-o", "0kHz"}, "\nerror: invalid oscillator frequency: 0kHz\n"},
        {{"-o", ""}, "\nerror: invalid oscillator frequency: \n"},
        {{"-o", "k"}, "\nerror: invalid oscillator frequency: k\n"},
        {{"-o", "M"}, "\nerror: invalid oscillator frequency: M\n"},
        {{"-o", "0MHz"}, "\nerror: invalid oscillator frequency: 0MHz\n"},
        {{"-o", "0x"}, "\nerror: invalid oscillator frequency: 0x\n"},
        {{"-o", "-8M"}, "\nerror: invalid oscillator frequency: -8M\n"},
        // Minus signs and overflows are refused as written, never wrapped.
        {{"-b", "-1"}, "\nerror: invalid baud rate: -1\n"},
        {{"-b", "-0"}, "\nerror: invalid baud rate: -0\n"},
        {{"-b", "99999999999999999999999"},
         "\nerror: invalid baud rate: 99999999999999999999999\n"},
        {{"-j", "-1"}, "\nerror: invalid start address: -1\n"},
        {{"-s", "-1"}, "\nerror: invalid S-record size: -1\n"},
        // An EEPROM protection range is checked before anything is opened.
        {{"-D", "1KB"}, "\nerror: invalid EEPROM protection area: 1KB\n"},
        {{"-D", "ALL"}, "\nerror: invalid EEPROM protection area: ALL\n"},
        {{"--eeprom-protect=", "-E"}, "\nerror: invalid EEPROM protection area: \n"},
        {{"-a", "Banked-Linear"}, "\nerror: invalid address format: Banked-Linear\n"},
        {{"-t", "a", "-t", "b"}, "\nerror: target already specified\n"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(parse(c.args, &err), 1) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(err, c.message) << c.args[0] << " " << c.args[1];
    }
}

TEST_F(DriverTest, VersionPrintsOnStandardOutputAndSucceeds) {
    const RunResult r = run({"-q", "--version", "--no-such-option"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(std::string("zelvanor ") + kVersion + "\n", 0), 0U) << r.out;
    EXPECT_NE(r.out.find("data directory: " + std::string(settings().data_dir) + "\n"),
              std::string::npos)
        << r.out;
}

TEST_F(DriverTest, ParserOwnDiagnosticsEndTheRun) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--no-such-option"}, {"-x"}, {"-G"}, {"--target"}}) {
        std::string err;
        EXPECT_EQ(parse(args, &err), 1) << args[0];
        EXPECT_NE(err.find("zelvanor: "), std::string::npos) << err;
        EXPECT_NE(err.find("hint: the options are -h --version -q -d"), std::string::npos) << err;
    }
}

TEST_F(DriverTest, SettingsFromTheFirstPass) {
    struct Case {
        std::vector<std::string> args;
        unsigned long osc;
    };
    for (const Case& c :
         {Case{{"-o", "8M"}, 8000000}, Case{{"-o", "8mhz"}, 8000000},
          Case{{"-o", "8000k"}, 8000000}, Case{{"-o", "8000000"}, 8000000},
          Case{{"-o", "0x7A1200"}, 8000000}, Case{{"-o", "4915.2k"}, 0},
          Case{{"--osc=4294967295"}, 4294967295UL}, Case{{"-o", "4294M"}, 4294000000UL}}) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", "sm", "-t", "x"});
        const int status = parse(args);
        if (c.osc == 0) {
            EXPECT_EQ(status, 1) << c.args[0];
        } else {
            EXPECT_EQ(status, 0) << c.args[0];
            EXPECT_EQ(settings().osc, c.osc) << c.args[0];
        }
    }

    ASSERT_EQ(
        parse({"-i",     "sm", "-i",   "lrae", "-t",           "x",  "-b",        "9600", "-j",
               "0x4000", "-s", "0x20", "-a",   "banked-ppage", "-c", "anything",  "-q",   "-d",
               "-f",     "-e", "-Z",   "-Y",   "--verify",     "-p", "/dev/ttyS0"}),
        0);
    const Settings& s = settings();
    EXPECT_STREQ(s.interface, "lrae");
    EXPECT_EQ(s.baud, 9600U);
    EXPECT_EQ(s.start_address, 0x4000U);
    EXPECT_EQ(s.start_address_set, 1);
    EXPECT_EQ(s.srec_size, 32U);
    EXPECT_EQ(s.address_format, kBankedPpage);
    EXPECT_EQ(s.verbose, 0);
    EXPECT_EQ(s.debug, 1);
    EXPECT_EQ(s.force, 1);
    EXPECT_EQ(s.include_erased, 1);
    EXPECT_EQ(s.keep_lrae, 1);
    EXPECT_EQ(s.tbdml_bulk, 1);
    EXPECT_EQ(s.verify, 1);
    EXPECT_STREQ(s.port, "/dev/ttyS0");
    EXPECT_STREQ(s.data_dir, "/usr/local/share/zelvanor");

    // An empty -p counts as no port; -b "" is 0.
    ASSERT_EQ(parse({"-i", "sm", "-t", "x", "-p", "", "-b", ""}), 0);
    EXPECT_EQ(settings().port, nullptr);
    EXPECT_EQ(settings().baud, 0U);

    // Every protection range of the table passes the first pass.
    for (const char* range :
         {"all", "64B", "128b", "192B", "256B", "320B", "384B", "448B", "512b"}) {
        EXPECT_EQ(parse({"-i", "sm", "-t", "x", "-D", range}), 0) << range;
    }
}

// A bad -D range late on the line ends the run before the interface opens, so the erase
// before it never happens.
TEST_F(DriverTest, BadProtectionRangeStopsTheRunBeforeAnyOperation) {
    const RunResult r = run({"-i", "recorder", "-t", description_path, "-E", "-D", "1KB"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nerror: invalid EEPROM protection area: 1KB\n");
    EXPECT_TRUE(calls.empty());
}

TEST_F(DriverTest, LongNamesAndPrefixes) {
    for (const char* option : {"--srec-size", "--srec", "--srecord-size", "--srecord"}) {
        ASSERT_EQ(parse({option, "32", "-i", "sm", "-t", "x"}), 0) << option;
        EXPECT_EQ(settings().srec_size, 32U) << option;
    }
    ASSERT_EQ(parse({"--srec=48", "-i", "sm", "-t", "x"}), 0);
    EXPECT_EQ(settings().srec_size, 48U);
    for (const char* option : {"--verify", "-v"}) {
        ASSERT_EQ(parse({option, "-i", "sm", "-t", "x"}), 0) << option;
        EXPECT_EQ(settings().verify, 1) << option;
    }
    // "--ver" and "--verif" are also the start of --version, --verify-flash, --verify-eeprom.
    EXPECT_EQ(parse({"--ver", "-i", "sm", "-t", "x"}), 1);
    EXPECT_EQ(parse({"--verif", "-i", "sm", "-t", "x"}), 1);
    // "--flash-erase" is a whole name, not an ambiguous prefix of "--flash-erase-unsecure".
    EXPECT_EQ(parse({"--flash-erase", "-i", "sm", "-t", "x"}), 0);
    std::string err;
    EXPECT_EQ(parse({"--flash-e", "-i", "sm", "-t", "x"}, &err), 1);
    EXPECT_NE(err.find("ambiguous"), std::string::npos) << err;
}

const std::string kInterfaceHint =
    "hint: the interfaces are tbdml, bdm12pod, podex, podex-bug, podex-25, lrae, sm (zelvanor -h)\n";

TEST_F(DriverTest, ChecksAfterTheFirstPassInOrder) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-i", "sm", "-t", "x", "stray", "other"}, "extraneous command line item: stray\n"},
        {{"-t", "x"}, "missing target interface selection (-i option)\n"},
        {{"-i", "foo"}, "target not specified (-t option)\n"},
        {{"-i", "foo", "-t", "x"}, "invalid target interface: foo\n" + kInterfaceHint},
        {{"-i", "SM", "-t", "x"}, "invalid target interface: SM\n" + kInterfaceHint},
        {{"-i", "podex-25", "-o", "16M", "-t", "x"},
         "this interface works with target oscillator = 25MHz only\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.out, "") << "nothing before the checks pass: " << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
}

TEST_F(DriverTest, PodexNamesMapOntoTheBdm12podEntry) {
    ASSERT_EQ(parse({"-i", "podex", "-t", "x"}), 0);
    EXPECT_STREQ(settings().interface, "bdm12pod");
    EXPECT_EQ(settings().podex_bug + settings().podex_25, 0);
    ASSERT_EQ(parse({"-i", "podex-bug", "-t", "x"}), 0);
    EXPECT_STREQ(settings().interface, "bdm12pod");
    EXPECT_EQ(settings().podex_bug, 1);
    ASSERT_EQ(parse({"-i", "podex-25", "-t", "x"}), 0);
    EXPECT_EQ(settings().podex_25, 1);
    EXPECT_EQ(settings().osc, 25000000U);
    ASSERT_EQ(parse({"-i", "podex-25", "-o", "25MHz", "-t", "x"}), 0);
    EXPECT_EQ(settings().osc, 25000000U);
}

TEST_F(DriverTest, OperationsRunInCommandLineOrder) {
    // The files are read before the interface opens, so they must exist (relative to the
    // working folder, as the recorder names them).
    const std::string here = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (const char* name : {"b.s19", "f.s19", "r.s19"}) {
        test::write_file(name, "S9030000FC\n");
    }
    const RunResult r = run({"-G",
                             "a.s19",
                             "-i",
                             "recorder",
                             "-E",
                             "-t",
                             description_path,
                             "-H",
                             "b.s19",
                             "-F",
                             "-R",
                             "--eeprom-protect=64B",
                             "-A",
                             "-B",
                             "e.s19",
                             "-C",
                             "f.s19",
                             "-S",
                             "-U",
                             "-X",
                             "r.s19",
                             "--verify-flash",
                             "b.s19",
                             "--verify-eeprom=f.s19",
                             "-E",
                             "-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << "-q at the end still silences the banner";
    const std::vector<std::string> expected = {"open", "G:a.s19", "E",       "H:b.s19", "F",
                                               "R",    "D:64B",   "A",       "B:e.s19", "C:f.s19",
                                               "S",    "U",       "X:r.s19", "VF:b.s19", "VE:f.s19",
                                               "E",    "close"};
    EXPECT_EQ(calls, expected);
    std::filesystem::current_path(here);
}

TEST_F(DriverTest, FirstFailureStopsTheRunAndCloses) {
    failing = "E";
    const std::string image = dir.file("b.s19");
    test::write_file(image, "S9030000FC\n");
    const RunResult r =
        run({"-q", "-i", "recorder", "-t", description_path, "-G", "a.s19", "-E", "-H", image});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "G:a.s19", "E", "close"}));
}

TEST_F(DriverTest, FailedOpenIsNotClosedAndFailedCloseFailsTheRun) {
    failing = "open";
    EXPECT_EQ(run({"-q", "-i", "recorder", "-t", description_path, "-E"}).status, 1);
    EXPECT_EQ(calls, std::vector<std::string>{"open"});

    calls.clear();
    failing = "close";
    EXPECT_EQ(run({"-q", "-i", "recorder", "-t", description_path}).status, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "close"}));
}

TEST_F(DriverTest, VerboseRunPrintsBannerAndTargetBeforeOpening) {
    const RunResult r = run({"-i", "recorder", "-t", description_path, "-o", "4915200"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() +
                         "target info <test target>\n"
                         "target mcu <MC9S12TEST> family <HCS12> osc <4.915200 MHz>\n");
    EXPECT_EQ(calls, (std::vector<std::string>{"open", "close"}));
}

TEST_F(DriverTest, DescriptionOrModelFailureEndsBeforeOpen) {
    test::write_file(description_path, "info x\nmcu y\nfamily s12\n");
    RunResult r = run({"-q", "-i", "recorder", "-t", description_path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: MCU family unknown: s12\n");

    r = run({"-q", "-i", "recorder", "-t", dir.file("missing.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: cannot open target description file " + dir.file("missing.dat") +
                         " (No such file or directory)\n");
    EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace zelv
