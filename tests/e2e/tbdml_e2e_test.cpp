// The tbdml interface end to end: the real zelvanor against the virtual target's TBDML on the
// virtual USB bus (zelvanor-sim --pod tbdml puts the stand-in libusb.so on its library
// path), and once against the real libusb 0.1 of the host.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

const std::string kUsbLines =
    "USB device USB version <1.1> VID <0x0425> PID <0x1000> device release <1.0>\n"
    "USB device manufacturer <zelvanor-sim> product <virtual TBDML> serial number <SIM-0001>\n"
    "USB device config <#1> power <bus> max current <100mA>\n"
    "TBDML hardware version <0.1> firmware version <1.0>\n";

const std::string kC32Report =
    "BDM status <enabled,active,unsecured> clock <bus>\n"
    "HCS12 part id <0x3311> family <C> memory <32kB> mask <1.1>\n"
    "S12 part security <secured/erased> backdoor key <disabled>\n"
    "S12 register space <1kB> address range <0x0000-0x03FF>\n"
    "S12 RAM size <2kB> space <2kB> align <high> address range <0x3800-0x3FFF>\n"
    "S12 EEPROM not present\n"
    "S12 FLASH module <FTS32K> state <enabled> ROMHM <no>\n"
    "S12 FLASH size <32kB> space <48kB> off-chip/on-chip space <876kB/128kB>\n"
    "S12 FLASH protection all <off> high area <off> low area <off>\n"
    "\n";

class TbdmlSession : public testing::Test {
protected:
    // zelvanor -i tbdml -t <the part's description> args... against the part behind the
    // virtual TBDML; sim holds zelvanor-sim's own options (faults, --osc).
    test::ProcessResult zelv(const std::vector<std::string>& sim,
                             const std::vector<std::string>& args, const std::string& part = "c32",
                             const std::string& description = "mc9s12c32.dat") {
        std::vector<std::string> sim_options = {"--part", part,      "--pod",
                                                "tbdml",  "--state", dir.file(part + ".state")};
        sim_options.insert(sim_options.end(), sim.begin(), sim.end());
        std::vector<std::string> full = {"-i", "tbdml", "-t", data_file(description)};
        full.insert(full.end(), args.begin(), args.end());
        return run_with_sim(sim_options, full);
    }

    // Standard output from the target info line on.
    static std::string from_target(const std::string& out) {
        const size_t at = out.find("target info");
        return at == std::string::npos ? out : out.substr(at);
    }

    test::TempDir dir;
};

TEST_F(TbdmlSession, OpenMeasuresTheTargetOrTakesTheGivenOscillator) {
    // No -o: the pod measures the board's oscillator, which then drives the clock divider.
    test::ProcessResult r = zelv({"--osc", "4M"}, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(from_target(r.out),
              "target info <MC9S12C32, 32 KB FLASH, 2 KB RAM>\n"
              "target mcu <MC9S12C32> family <HCS12>\n" +
                  kUsbLines + "TBDML detected target frequency <4.000 MHz>\n" + kC32Report);
    r = zelv({"--osc", "4M"}, {"-q", "-d"});
    EXPECT_NE(r.out.find("FCLK = 181818\n"), std::string::npos) << r.out;

    // -o: the pod is told the speed and measures nothing.
    r = zelv({"--osc", "8M"}, {"-o", "8M"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(from_target(r.out),
              "target info <MC9S12C32, 32 KB FLASH, 2 KB RAM>\n"
              "target mcu <MC9S12C32> family <HCS12> osc <8.000000 MHz>\n" +
                  kUsbLines + kC32Report);

    // A wrong -o: the pod runs at a speed the target does not understand.
    r = zelv({"--osc", "8M"}, {"-o", "16M"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("HCS12 part id <0xFFFF>\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err,
              "\nerror: unknown MCU (invalid part id)\n"
              "hint: check target OSC frequency, BDM cable attachment, MCU power, etc\n");

    r = zelv({}, {"-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << "-q: the open prints nothing";
    EXPECT_EQ(r.err, "");

    // An HC12 target on the same pod.
    r = zelv({"--osc", "8M"}, {"-o", "8M"}, "b32", "mc68hc912b32.dat");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(kUsbLines + "BDM status <enabled,active> clock <bus>\n"
                                     "HC12 register base <0x0000>\n"),
              std::string::npos)
        << r.out;
}

TEST_F(TbdmlSession, TheLibraryAndTheBus) {
    struct Case {
        const char* fault;
        int status;
        const char* error;  // the start of the error, "" when none
    };
    const Case cases[] = {
        {"usb-library:missing-symbol", 1,
         "\nerror: invalid usb library (libusb.so): missing symbols\n"},
        {"usb-library:unloadable", 1, "\nerror: unable to open usb library (libusb.so): "},
        {"usb-library:linker-script", 0, ""},
        {"usb-bus:none", 1, "\nerror: USB device not found\n"},
        {"usb-bus:two", 0, ""},
        {"usb-bus:foreign-first", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const test::ProcessResult r = zelv({"--fault", c.fault}, {"-d"});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.substr(0, std::string(c.error).size()), c.error);
        if (c.status == 0) {
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find("HCS12 part id <0x3311>"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out.find("TBDML"), std::string::npos) << "no pod command went out";
        }
    }
    // The unloadable library's message carries the loader's own words.
    const test::ProcessResult r = zelv({"--fault", "usb-library:unloadable"}, {});
    EXPECT_NE(r.err.find("libusb-0.1.so.4: invalid ELF header\n"), std::string::npos) << r.err;
    // Of two pods, the first in bus order; foreign devices ahead of the pod are passed over.
    EXPECT_NE(zelv({"--fault", "usb-bus:two"}, {"-d"}).out.find("USB device <002> bus <001>\n"),
              std::string::npos);
    EXPECT_NE(
        zelv({"--fault", "usb-bus:foreign-first"}, {"-d"}).out.find("USB device <004> bus <001>\n"),
        std::string::npos);
}

TEST_F(TbdmlSession, RefusalsAndRepliesThatAreNotData) {
    struct Case {
        std::vector<std::string> sim;
        std::vector<std::string> args;
        const char* error;      // "" for the pod's silent refusal
        const char* last_line;  // the last line on standard output
    };
    const Case cases[] = {
        {{"usb-refuse:0x0C"},
         {},
         "unable to read TBDML version\n",
         "USB device config <#1> power <bus> max current <100mA>\n"},
        {{"usb-refuse:0x1E"},
         {},
         "unable to set target type: invalid type\n",
         "TBDML hardware version <0.1> firmware version <1.0>\n"},
        {{"usb-refuse:0x1F"},
         {},
         "unable to connect to target device\n",
         "TBDML hardware version <0.1> firmware version <1.0>\n"},
        {{"usb-speed:0"},
         {},
         "unable to connect to target device\n",
         "TBDML hardware version <0.1> firmware version <1.0>\n"},
        {{"usb-refuse:0x2E"},
         {"-o", "16M"},
         "invalid target frequency\n",
         "TBDML hardware version <0.1> firmware version <1.0>\n"},
        {{},
         {"-o", "400"},
         "invalid target frequency\n",
         "TBDML hardware version <0.1> firmware version <1.0>\n"},
        {{},
         {"-o", "200k"},
         "invalid target frequency\n",
         "TBDML hardware version <0.1> firmware version <1.0>\n"},
        {{"usb-refuse:0x21"},
         {},
         "unable to reset target: reset line stuck\n",
         "TBDML detected target frequency <16.000 MHz>\n"},
        {{"usb-unknown:0x23,after=1"},
         {},
         "device communication failed: unknown command\n",
         "TBDML detected target frequency <16.000 MHz>\n"},
        {{"usb-empty:0x33"},
         {},
         "device communication failed: unknown response\n",
         "BDM status <enabled,active,unsecured> clock <bus>\n"},
        {{"usb-short:0x33"},
         {},
         "device communication failed: unknown response\n",
         "BDM status <enabled,active,unsecured> clock <bus>\n"},
        {{"usb-refuse:0x33"},
         {},
         "TBDML refused the command <read word> at address <0x001A>\n",
         "BDM status <enabled,active,unsecured> clock <bus>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sim.empty() ? c.args.back() : c.sim.front());
        std::vector<std::string> sim;
        for (const std::string& fault : c.sim) {
            sim.insert(sim.end(), {"--fault", fault});
        }
        const test::ProcessResult r = zelv(sim, c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, *c.error == '\0' ? "" : std::string("\nerror: ") + c.error);
        const std::string last = c.last_line;
        ASSERT_GE(r.out.size(), last.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    }
}

TEST_F(TbdmlSession, ResetToNormalMode) {
    const test::ProcessResult r = zelv({}, {"-R"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 20), "\nreset: normal mode\n");
}

TEST_F(TbdmlSession, ServedForARunByHand) {
    // --serve prints the environment on its first line; zelvanor started with it reaches the
    // pod. The script ends the simulator it started.
    const std::string script =
        "\"$0\" --part c32 --pod tbdml --serve > \"$1/env\" 2> \"$1/log\" & sim=$!\n"
        "n=0; while [ ! -s \"$1/env\" ] && [ $n -lt 200 ]; do sleep 0.05; n=$((n+1)); done\n"
        "env $(head -n 1 \"$1/env\") \"$2\" -q -i tbdml -t \"$3\"; status=$?\n"
        "kill $sim; wait $sim; exit $status\n";
    const test::ProcessResult r =
        test::run_process({"/bin/sh", "-c", script, ZELV_SIM_BINARY, dir.path(), ZELV_BINARY,
                           data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 0) << r.err << test::read_file(dir.file("log"));
    EXPECT_EQ(r.out, "");
    const std::string env = test::read_file(dir.file("env"));
    EXPECT_EQ(env.rfind("LD_LIBRARY_PATH=", 0), 0U) << env;
    EXPECT_NE(env.find(" ZELVANOR_SIM_USB_BUS=hub,tbdml ZELVANOR_SIM_USB="), std::string::npos)
        << env;
    EXPECT_NE(test::read_file(dir.file("log")).find("behind a tbdml pod on a virtual USB bus"),
              std::string::npos);
}

TEST(TbdmlRealLibrary, EndsInUsbDeviceNotFound) {
    void* real = dlopen("libusb-0.1.so.4", RTLD_LAZY);
    if (real == nullptr) {
        GTEST_SKIP() << "libusb 0.1 is not installed (Debian package libusb-0.1-4)";
    }
    dlclose(real);
    // No stand-in on the library path: the host's own library, on a host without the pod.
    // libusb 0.1 keeps its bus lists until the process ends, which is no leak of ours.
    const test::ProcessResult r =
        test::run_process({ZELV_BINARY, "-i", "tbdml", "-t", data_file("mc9s12c32.dat"), "-E"},
                          {"LD_LIBRARY_PATH=", "ZELVANOR_SIM_USB=", "ZELVANOR_SIM_USB_BUS=",
                           "ASAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: USB device not found\n");
    EXPECT_EQ(r.out,
              "zelvanor: Freescale S12 MCU memory loader V1.4.1\n\n"
              "target info <MC9S12C32, 32 KB FLASH, 2 KB RAM>\n"
              "target mcu <MC9S12C32> family <HCS12>\n");
}

}  // namespace
}  // namespace zelv::e2e
