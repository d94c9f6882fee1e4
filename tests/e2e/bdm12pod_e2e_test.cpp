// The bdm12pod interface end to end: the real zelvanor against the virtual target's
// BDM12POD (zelvanor-sim --pod), its RTS/CTS lines carried by the preloaded library.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

const std::map<std::string, std::string> kDescriptions = {{"b32", "mc68hc912b32.dat"},
                                                          {"c32", "mc9s12c32.dat"},
                                                          {"dp256", "mc9s12dp256.dat"},
                                                          {"xdp512", "mc9s12xdp512.dat"}};

const std::string kBanner = "zelvanor: Freescale S12 MCU memory loader V1.4.1\n\n";

class PodSession : public testing::Test {
protected:
    // zelvanor -p @PORT@ args... against the part behind a pod; sim holds zelvanor-sim's own
    // options (--pod and the rest).
    test::ProcessResult zelv(const std::string& part, const std::vector<std::string>& sim,
                             const std::vector<std::string>& args) {
        std::vector<std::string> sim_options = {"--part", part, "--state", state(part)};
        sim_options.insert(sim_options.end(), sim.begin(), sim.end());
        std::vector<std::string> full = {"-p", "@PORT@"};
        full.insert(full.end(), args.begin(), args.end());
        return run_with_sim(sim_options, full);
    }

    // The usual open: -i bdm12pod -o 16M -t <the part's description>.
    test::ProcessResult open(const std::string& part, const std::vector<std::string>& sim = {},
                             const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"-i",  "bdm12pod", "-o",
                                         "16M", "-t",       data_file(kDescriptions.at(part))};
        args.insert(args.end(), extra.begin(), extra.end());
        return zelv(part, sim.empty() ? std::vector<std::string>{"--pod", "bdm12pod"} : sim, args);
    }

    std::string state(const std::string& part) { return dir.file(part + ".state"); }

    // A board whose FLASH holds the serial monitor (unsecured, its 2 KB protected): one
    // run of the serial monitor's simulator programs it into the state file.
    void program_monitor(const std::string& part) {
        const test::ProcessResult r = test::run_process(
            {ZELV_SIM_BINARY, "--part", part, "--state", state(part), "--", "/bin/true"});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The bytes the host sent, from a --trace file, as "04 04 03 00 01 ...".
    std::string host_bytes(const std::string& trace) {
        std::string bytes;
        for (const std::string& line : test::split_lines(test::read_file(trace))) {
            if (line.rfind("->", 0) == 0) {
                bytes += line.substr(2);
            }
        }
        return bytes.empty() ? bytes : bytes.substr(1);
    }

    // Standard output from the target info line on, with the port's name as PORT.
    static std::string from_target(const std::string& out) {
        std::string text = out.substr(out.find("target info"));
        const size_t at = text.find("/dev/pts/");
        if (at != std::string::npos) {
            text.replace(at, text.find('>', at) - at, "PORT");
        }
        return text;
    }

    test::TempDir dir;
};

const std::string kDp256Report =
    "S12 register space <1kB> address range <0x0000-0x03FF>\n"
    "S12 RAM size <12kB> space <16kB> align <high> address range <0x1000-0x3FFF>\n"
    "S12 EEPROM module <EETS4K> state <enabled>\n"
    "S12 EEPROM size <4kB> space <4kB> address range <0x4000-0x4FFF>\n"
    "S12 EEPROM protection all <off> address range <off>\n"
    "S12 FLASH module <FTS256K> state <enabled> ROMHM <no>\n"
    "S12 FLASH size <256kB> space <48kB> off-chip/on-chip space <768kB/256kB>\n";

TEST_F(PodSession, OpenOfAnHcs12PrintsThePodTheBdmAndThePart) {
    // A blank part is secured, but its BDM finds it erased: the erased state.
    const test::ProcessResult blank = open("dp256");
    ASSERT_EQ(blank.status, 0) << blank.err;
    EXPECT_NE(blank.out.find("BDM status <enabled,active,unsecured> clock <bus>\n"
                             "HCS12 part id <0x0012> family <D> memory <256kB> mask <1.2>\n"
                             "S12 part security <secured/erased> backdoor key <enabled>\n"),
              std::string::npos)
        << blank.out;

    program_monitor("dp256");
    const test::ProcessResult r = open("dp256");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(0, kBanner.size()), kBanner);
    EXPECT_EQ(from_target(r.out),
              "target info <MC9S12DP256B, 256 KB FLASH, 12 KB RAM, 4 KB EEPROM>\n"
              "target mcu <MC9S12DP256B> family <HCS12> osc <16.000000 MHz>\n"
              "BDM12POD serial port <PORT> baud rate <115200 bps>\n"
              "BDM12POD version <4.7>\n"
              "BDM12POD E-clock <8.000000 MHz> trace delay <0 ms> reset delay <1 ms>\n"
              "BDM status <enabled,active,secured> clock <bus>\n"
              "HCS12 part id <0x0012> family <D> memory <256kB> mask <1.2>\n"
              "S12 part security <unsecured> backdoor key <enabled>\n" +
                  kDp256Report +
                  "S12 FLASH block <0> protection all <off> high area <2kB> low area <off>\n"
                  "S12 FLASH block <1> protection all <off> high area <off> low area <off>\n"
                  "S12 FLASH block <2> protection all <off> high area <off> low area <off>\n"
                  "S12 FLASH block <3> protection all <off> high area <off> low area <off>\n"
                  "\n");

    // The patched PODEX is driven the same way.
    const test::ProcessResult podex =
        zelv("dp256", {"--pod", "podex"},
             {"-i", "podex", "-o", "16M", "-t", data_file("mc9s12dp256.dat")});
    ASSERT_EQ(podex.status, 0) << podex.err;
    EXPECT_EQ(from_target(podex.out), from_target(r.out));

    const test::ProcessResult quiet = open("dp256", {}, {"-q"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "") << "-q: the open prints nothing";
    EXPECT_EQ(quiet.err, "");
}

TEST_F(PodSession, OpenOfAnHc12AndOfABlankHcs12x) {
    test::ProcessResult r =
        zelv("b32", {"--pod", "bdm12pod", "--osc", "8M"},
             {"-i", "bdm12pod", "-o", "8M", "-t", data_file("mc68hc912b32.dat")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(from_target(r.out),
              "target info <MC68HC912B32, 32 KB FLASH, 1 KB RAM, 768 B EEPROM>\n"
              "target mcu <MC68HC912B32> family <HC12> osc <8.000000 MHz>\n"
              "BDM12POD serial port <PORT> baud rate <115200 bps>\n"
              "BDM12POD version <4.7>\n"
              "BDM12POD E-clock <4.000000 MHz> trace delay <0 ms> reset delay <1 ms>\n"
              "BDM status <enabled,active> clock <bus>\n"
              "HC12 register base <0x0000>\n"
              "HC12 RAM size <1kB> address range <0x0800-0x0BFF>\n"
              "HC12 EEPROM size <0kB> state <enabled> address range <0x0000-0x02FF>\n"
              "\n");

    r = zelv("xdp512", {"--pod", "podex-25", "--osc", "25M", "--pod-modab"},
             {"-i", "podex-25", "-t", data_file("mc9s12xdp512.dat")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(from_target(r.out),
              "target info <MC9S12XDP512, 512 KB FLASH, 12 KB of 32 KB RAM and 2 KB of 4 KB "
              "EEPROM mapped>\n"
              "target mcu <MC9S12XDP512> family <HCS12X> osc <25.000000 MHz>\n"
              "BDM12POD serial port <PORT> baud rate <115200 bps>\n"
              "BDM12POD version <4.7 +MODA/MODB>\n"
              "BDM12POD E-clock <12.500000 MHz> trace delay <0 ms> reset delay <1 ms>\n"
              "BDM status <enabled,active,unsecured> clock <bus>\n"
              "HCS12X part id <0xC410> family <XD> memory <512kB> mask <1.0>\n"
              "S12X part security <secured/erased> backdoor key <disabled>\n"
              "S12X register space <2kB> address range <0x0000-0x07FF>\n"
              "S12X RAM size <12kB> space <12kB> address range <0x1000-0x3FFF>\n"
              "S12X FLASH module <FTX512K4> size <512kB> state <enabled> ROMHM <no>\n"
              "S12X FLASH block <0> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <1> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <2> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <3> protection all <off> high area <off> low area <off>\n"
              "\n");
}

TEST_F(PodSession, ClockDividerForEachOscillator) {
    struct Case {
        const char* osc;
        int status;
        const char* fclk;     // the FCLK trace, or the error
        const char* divider;  // the byte written to FCLKDIV and ECLKDIV
    };
    const Case cases[] = {
        {"2M", 0, "FCLK = 166666", "0x0b"},
        {"4M", 0, "FCLK = 181818", "0x15"},
        {"8M", 0, "FCLK = 190476", "0x29"},
        {"12400000", 0, "FCLK = 193750", "0x3f"},
        {"12500000", 0, "FCLK = 156250", "0x49"},  // FDIV 64 without the prescaler
        {"12800000", 0, "FCLK = 160000", "0x49"},
        {"16M", 0, "FCLK = 166666", "0x4b"},
        {"25M", 0, "FCLK = 173611", "0x51"},
        {"1999999", 1, "FLASH/EEPROM routines cannot work with oscillator below 2MHz", ""},
        {"13M", 1, "unable to determine proper clock divider for FLASH/EEPROM programming", ""},
        {"100M", 1, "unable to determine proper clock divider for FLASH/EEPROM programming", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.osc);
        const test::ProcessResult r =
            zelv("c32", {"--pod", "bdm12pod"},
                 {"-q", "-d", "-i", "bdm12pod", "-o", c.osc, "-t", data_file("mc9s12c32.dat")});
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.status == 0) {
            const std::string writes =
                std::string(c.fclk) + "\nBDM12POD cmd <WRITE_BYTE> addr <0x0100> value <" +
                c.divider + ">\nBDM12POD cmd <WRITE_BYTE> addr <0x0110> value <" + c.divider +
                ">\n";
            EXPECT_NE(r.out.find(writes), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.err, std::string("\nerror: ") + c.fclk + "\n");
            EXPECT_EQ(r.out.find("addr <0x0100>"), std::string::npos) << "nothing written";
        }
    }
    // An HC12 has no FLASH module divider: any oscillator will do.
    const test::ProcessResult hc12 =
        zelv("b32", {"--pod", "bdm12pod"},
             {"-q", "-d", "-i", "bdm12pod", "-o", "1M", "-t", data_file("mc68hc912b32.dat")});
    EXPECT_EQ(hc12.status, 0) << hc12.err;
    EXPECT_EQ(hc12.out.find("FCLK"), std::string::npos);
}

TEST_F(PodSession, InitBytesInFileOrder) {
    // The shipped description without its own init bytes: the EEPROM stays where the reset
    // put it, at 0x0000.
    std::string plain;
    for (const std::string& line :
         test::split_lines(test::read_file(data_file("mc9s12dp256.dat")))) {
        if (line.rfind("bdm_init_byte", 0) != 0) {
            plain += line + "\n";
        }
    }
    const std::string description = dir.file("board.dat");
    test::write_file(description, plain);
    test::ProcessResult r =
        zelv("dp256", {"--pod", "bdm12pod"}, {"-i", "bdm12pod", "-o", "16M", "-t", description});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("S12 EEPROM size <4kB> space <4kB> address range <0x0000-0x0FFF>\n"),
              std::string::npos);

    test::write_file(description, plain +
                                      "bdm_startup_delay 5\n"
                                      "bdm_init_byte 0x0012 0x51\n"  // EEPROM to 0x5000
                                      "bdm_init_byte 0x0010 0x21\n");
    r = zelv("dp256", {"--pod", "bdm12pod"},
             {"-d", "-i", "bdm12pod", "-o", "16M", "-t", description});
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t first = r.out.find("BDM12POD cmd <WRITE_BYTE> addr <0x0012> value <0x51>\n");
    const size_t second = r.out.find("BDM12POD cmd <WRITE_BYTE> addr <0x0010> value <0x21>\n");
    const size_t part = r.out.find("HCS12 part id");
    const size_t divider = r.out.find("FCLK =");
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_LT(part, first);
    EXPECT_LT(first, second);
    EXPECT_LT(second, divider);
    EXPECT_NE(r.out.find("S12 EEPROM size <4kB> space <4kB> address range <0x5000-0x5FFF>\n"),
              std::string::npos)
        << "the target took the bytes";

    test::write_file(description, plain +
                                      "bdm_init_byte 0x0012 0x41\n"
                                      "bdm_init_byte 0x3C \n");
    r = zelv("dp256", {"--pod", "bdm12pod"},
             {"-q", "-d", "-i", "bdm12pod", "-o", "16M", "-t", description});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: invalid target bdm_init_byte parameter\n");
    EXPECT_NE(r.out.find("addr <0x0012> value <0x41>"), std::string::npos) << "the first stays";
    EXPECT_EQ(r.out.find("FCLK"), std::string::npos);
}

TEST_F(PodSession, PartIdHints) {
    // The board's 8 MHz crystal gives a 4 MHz BDM clock; told 16 MHz, the pod runs at 8 MHz
    // and hears only an idle line.
    test::ProcessResult r = open("dp256", {"--pod", "bdm12pod", "--osc", "8M"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("BDM status <enabled,active,unsecured> clock <pll>\n"
                         "HCS12 part id <0xFFFF>\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err,
              "\nerror: unknown MCU (invalid part id)\n"
              "hint: check target OSC frequency, BDM cable attachment, MCU power, etc\n");

    // An HCS12 description on an HC12 board: PARTID is not there.
    r = zelv("b32", {"--pod", "bdm12pod"},
             {"-q", "-i", "bdm12pod", "-o", "16M", "-t", data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "\nerror: unknown MCU (invalid part id 0x0000)\n"
              "hint: check BDM cable attachment, MCU power, configuration, etc\n");
}

TEST_F(PodSession, EclockCodesOnEachPodVersion) {
    struct Case {
        const char* version;
        const char* osc;
        int status;
        const char* bytes;  // after the version request, or the error
    };
    const Case cases[] = {
        {"4.5", "2M", 0, "04 04 00 00 01 01"},
        {"4.6", "4M", 0, "04 04 01 00 01 01"},
        {"4.7", "8M", 0, "04 04 02 00 01 01"},
        {"4.5", "16M", 0, "04 04 03 00 01 01"},
        {"4.7", "10M", 0, "04 07 00 00 1E 04 04 04 00 01 01"},
        {"4.7", "20M", 0, "04 07 00 00 0E 04 04 04 00 01 01"},
        {"4.6", "10M", 1, "this BDM12POD version supports only 1/2/4/8 MHz E-clock"},
        {"4.5", "12M", 1, "this BDM12POD version supports only 1/2/4/8 MHz E-clock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.osc);
        const std::string trace = dir.file("trace.txt");
        const test::ProcessResult r = zelv(
            "c32",
            {"--pod", "bdm12pod", "--pod-version", c.version, "--osc", c.osc, "--trace", trace},
            {"-q", "-i", "bdm12pod", "-o", c.osc, "-t", data_file("mc9s12c32.dat")});
        EXPECT_EQ(r.status, c.status) << r.err;
        const std::string sent = host_bytes(trace);
        if (c.status == 0) {
            EXPECT_EQ(sent.substr(0, 9 + std::string(c.bytes).size()),
                      std::string("00 04 00 ") + c.bytes)
                << "sync, version, speed, special reset";
        } else {
            EXPECT_EQ(r.err, std::string("\nerror: ") + c.bytes + "\n");
            EXPECT_EQ(sent, "00 04 00") << "nothing after the version";
        }
    }
}

TEST_F(PodSession, PodexVariants) {
    // podex-bug: the old firmware's blocks are never used, so its broken mem dump does no harm.
    test::ProcessResult r =
        zelv("c32", {"--pod", "podex-bug"},
             {"-q", "-i", "podex-bug", "-o", "16M", "-t", data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 0) << r.err;
    r = zelv("c32", {"--pod", "podex-25"},
             {"-q", "-i", "podex-25", "-o", "16M", "-t", data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: this interface works with target oscillator = 25MHz only\n");
    // The pod's version byte says what it can; a fault makes it claim 4.5 with MODA/MODB.
    r = zelv("c32", {"--pod", "bdm12pod", "--fault", "version:0xC5"},
             {"-i", "bdm12pod", "-o", "16M", "-t", data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("BDM12POD version <4.5 +MODA/MODB>\n"), std::string::npos);
}

TEST_F(PodSession, HandshakeFailuresAndTimeOuts) {
    struct Case {
        const char* fault;
        const char* message;
        const char* last_line;  // the last line printed before the failure
    };
    const Case cases[] = {
        {"cts-low", "BDM12POD not ready (CTS not asserted)", "baud rate <115200 bps>\n"},
        {"cts-high", "BDM12POD not ready (CTS not lowered)", "baud rate <115200 bps>\n"},
        {"cts-low,after=3", "BDM12POD not ready (CTS not asserted)", "BDM12POD version <4.7>\n"},
        {"silent", "connection timed out", "baud rate <115200 bps>\n"},
        {"truncate,after=1", "connection timed out", "reset delay <1 ms>\n"},
        {"version:0x46", "this BDM12POD version supports only 1/2/4/8 MHz E-clock",
         "BDM12POD version <4.6>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const test::ProcessResult r =
            zelv("c32", {"--pod", "bdm12pod", "--fault", c.fault},
                 {"-i", "bdm12pod", "-o", "10M", "-t", data_file("mc9s12c32.dat")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
        const std::string last = c.last_line;
        EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last) << r.out;
    }
}

TEST_F(PodSession, OperationsAndSettings) {
    program_monitor("c32");
    // The C32 has no EEPROM: -B fails, and nothing after it runs.
    test::ProcessResult r = open("c32", {}, {"-q", "-d", "-R", "-B", dir.file("e.s19"), "-R"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: EEPROM read not possible - no EEPROM memory\n");
    EXPECT_NE(r.out.find("BDM12POD reset <low>\nBDM12POD reset <high>\n"), std::string::npos);
    EXPECT_EQ(r.out.find("reset <low>"), r.out.rfind("reset <low>")) << "nothing after -B";
    EXPECT_FALSE(test::file_exists(dir.file("e.s19")));

    r = open("c32", {}, {"-R"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(r.out.size() - 20), "\nreset: normal mode\n");

    r = zelv("c32", {"--pod", "bdm12pod"}, {"-i", "bdm12pod", "-t", data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: oscillator frequency not specified (-o option required)\n");
    r = zelv("c32", {"--pod", "bdm12pod"},
             {"-q", "-i", "bdm12pod", "-o", "1500", "-t", data_file("mc9s12c32.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: invalid oscillator frequency: 1500\n");
}

TEST(PodSimulator, RefusesWhatNoBoardHas) {
    struct Case {
        std::vector<std::string> options;
        const char* message;
    };
    const Case cases[] = {
        {{"--part", "b32"},
         "zelvanor-sim: the serial monitor runs on HCS12 and HCS12X parts (see --pod)\n"},
        {{"--part", "c32", "--pod", "bdm13pod"},
         "zelvanor-sim: unknown pod bdm13pod (bdm12pod, podex, podex-bug, podex-25, tbdml)\n"},
        {{"--part", "c32", "--pod", "podex", "--pod-version", "4"},
         "zelvanor-sim: invalid pod version 4 (major.minor, e.g. 4.6)\n"},
        {{"--part", "c32", "--pod", "podex", "--osc", "16Q"},
         "zelvanor-sim: invalid oscillator frequency: 16Q\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {ZELV_SIM_BINARY};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {"--", "/bin/true"});
        const test::ProcessResult r = test::run_process(argv);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.message);
    }
}

}  // namespace
}  // namespace zelv::e2e

namespace zelv::e2e {
namespace {

// The host waits for CTS in the driver's TIOCMIWAIT, or polls where the driver refuses it
// (--modem-no-wait); both must carry a paced session, and both must still give up on a pod
// whose CTS sticks. The simulator's counts show every host byte went through the handshake.
TEST_F(PodSession, CtsWaitWithAndWithoutTheDriversWait) {
    for (const char* wait : {"--pace", "--modem-no-wait"}) {
        SCOPED_TRACE(wait);
        const std::string stats = dir.file("stats.txt");
        const test::ProcessResult r =
            zelv("c32", {"--pod", "bdm12pod", "--pace", wait, "--stats", stats},
                 {"-q", "-i", "bdm12pod", "-o", "16M", "-t", data_file("mc9s12c32.dat")});
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, unsigned long> counts;
        std::istringstream lines(test::read_file(stats));
        std::string key;
        unsigned long value = 0;
        while (lines >> key >> value) {
            counts[key] = value;
        }
        EXPECT_GT(counts["handshakes"], 20U);
        EXPECT_EQ(counts["handshakes"], counts["bytes_to_device"]);
        EXPECT_GE(counts["bound_us"], counts["handshakes"] * 3000);

        const test::ProcessResult stuck =
            zelv("c32", {"--pod", "bdm12pod", wait, "--fault", "cts-high,after=3"},
                 {"-q", "-i", "bdm12pod", "-o", "16M", "-t", data_file("mc9s12c32.dat")});
        EXPECT_EQ(stuck.status, 1);
        EXPECT_EQ(stuck.err, "\nerror: BDM12POD not ready (CTS not lowered)\n");
    }
}

}  // namespace
}  // namespace zelv::e2e
