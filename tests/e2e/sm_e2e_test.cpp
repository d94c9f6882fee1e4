// The sm interface end to end: the real zelvanor against the virtual target's serial
// monitor, with the virtual memory kept in a state file between runs.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

const std::map<std::string, std::string> kDescriptions = {{"c32", "mc9s12c32.dat"},
                                                          {"c128", "mc9s12c128.dat"},
                                                          {"dg128", "mc9s12dg128.dat"},
                                                          {"dp256", "mc9s12dp256.dat"},
                                                          {"xdp512", "mc9s12xdp512.dat"}};

class SmSession : public testing::Test {
protected:
    // zelvanor -i sm -p @PORT@ -t <the part's description> args..., against part.
    test::ProcessResult zelv(const std::string& part, const std::vector<std::string>& args,
                             const std::vector<std::string>& faults = {}) {
        return run_sm(dir.file(part + ".state"), part, data_file(kDescriptions.at(part)), args,
                      faults);
    }

    // Writes S-record lines to a file in the scratch folder and returns its path.
    std::string srec(const std::string& name, const std::string& lines) {
        const std::string path = dir.file(name);
        test::write_file(path, lines);
        return path;
    }

    // srec_cmp's verdict on two files over an address range, bytes absent from a file
    // counting as erased.
    bool same(const std::string& a, const std::string& b, const std::string& from,
              const std::string& to) {
        return test::run_process({"srec_cmp", a, "-fill", "0xFF", from, to, "-crop", from, to, b,
                                  "-fill", "0xFF", from, to, "-crop", from, to})
                   .status == 0;
    }

    test::TempDir dir;
    const std::string blink = std::string(ZELV_SOURCE_DIR) + "/examples/blink.s19";
};

const std::string kBanner = "zelvanor: Freescale S12 MCU memory loader V1.4.1\n\n";

TEST_F(SmSession, OpenReportsTheMonitorAndThePart) {
    test::ProcessResult r = zelv("dp256", {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(r.out.find("target info")),
              "target info <MC9S12DP256B, 256 KB FLASH, 12 KB RAM, 4 KB EEPROM>\n"
              "target mcu <MC9S12DP256B> family <HCS12>\n"
              "SM serial port <" +
                  r.out.substr(r.out.find("port <") + 6,
                               r.out.find("> baud") - r.out.find("port <") - 6) +
                  "> baud rate <115200 bps>\n"
                  "SM target connected\n"
                  "SM version <1.00> date <2025-06-01>\n"
                  "HCS12 part id <0x0012> family <D> memory <256kB> mask <1.2>\n"
                  "S12 part security <unsecured> backdoor key <enabled>\n"
                  "S12 register space <1kB> address range <0x0000-0x03FF>\n"
                  "S12 RAM size <12kB> space <16kB> align <high> address range <0x1000-0x3FFF>\n"
                  "S12 EEPROM module <EETS4K> state <enabled>\n"
                  "S12 EEPROM size <4kB> space <4kB> address range <0x4000-0x4FFF>\n"
                  "S12 EEPROM protection all <off> address range <off>\n"
                  "S12 FLASH module <FTS256K> state <enabled> ROMHM <no>\n"
                  "S12 FLASH size <256kB> space <48kB> off-chip/on-chip space <768kB/256kB>\n"
                  "S12 FLASH block <0> protection all <off> high area <2kB> low area <off>\n"
                  "S12 FLASH block <1> protection all <off> high area <off> low area <off>\n"
                  "S12 FLASH block <2> protection all <off> high area <off> low area <off>\n"
                  "S12 FLASH block <3> protection all <off> high area <off> low area <off>\n");

    // The HCS12X report, and quiet: the identification and status lines stay.
    r = zelv("xdp512", {"-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "HCS12X part id <0xC410> family <XD> memory <512kB> mask <1.0>\n"
              "S12X part security <unsecured> backdoor key <disabled>\n"
              "S12X register space <2kB> address range <0x0000-0x07FF>\n"
              "S12X RAM size <12kB> space <12kB> address range <0x1000-0x3FFF>\n"
              "S12X FLASH module <FTX512K4> size <512kB> state <enabled> ROMHM <no>\n"
              "S12X FLASH block <0> protection all <off> high area <2kB> low area <off>\n"
              "S12X FLASH block <1> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <2> protection all <off> high area <off> low area <off>\n"
              "S12X FLASH block <3> protection all <off> high area <off> low area <off>\n");
}

TEST_F(SmSession, EraseWriteAndReadBackInSeparateRuns) {
    ZELV_REQUIRE_TOOL("srec_cmp");
    const std::string back = dir.file("back.s19");
    test::ProcessResult r = zelv("dg128", {"-v", "-E", "-H", blink});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = without_times(r.out);
    EXPECT_NE(out.find("FLASH erase: wait ...\n"
                       "FLASH erase: memory erased\n"
                       "FLASH erase: verify [##################################################]\n"
                       "FLASH erase: verify size <129024 B> time <T> rate <R>\n"
                       "FLASH erase: memory verified\n"
                       "FLASH write: image file <" +
                       blink +
                       ">\n"
                       "FLASH write: image info <blink.s19> entry <0xC000>\n"
                       "FLASH write: address range <0xC000-0xC017> size <0x0018>\n"
                       "FLASH write: address range <0xFFFC-0xFFFF> size <0x0004>\n"
                       "FLASH write: image [##################################################]\n"
                       "FLASH write: image size <28 B> time <T> rate <R>\n"),
              std::string::npos)
        << out;

    r = zelv("dg128", {"-q", "-G", back});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(same(blink, back, "0xC000", "0xF780")) << test::read_file(back);
    // The monitor keeps its own vectors and takes the reset vector into its table below.
    EXPECT_NE(test::read_file(back).find("S113F7F0FFFFFFFFFFFFFFFFFFFFFFFFFFFFC00053\n"),
              std::string::npos);
}

TEST_F(SmSession, AddressFormatsReachTheSamePages) {
    ZELV_REQUIRE_TOOL("srec_cmp");
    // Page 0x30 (the lowest, block 3), page 0x3D and the fixed page 0x3E.
    const std::string ppage =
        srec("ppage.s19", s_record('2', 0x308000, {0x11, 0x22, 0x33, 0x44}) +
                              s_record('2', 0x3DA000, {0x55, 0x66, 0x77, 0x88}) +
                              s_record('2', 0x3E8000, {0x99, 0x00, 0xAA, 0xBB}) + s_record('8', 0));
    ASSERT_EQ(zelv("dp256", {"-q", "-E", "-a", "banked-ppage", "-H", ppage}).status, 0);

    const std::string linear = dir.file("linear.s19");
    const std::string nb = dir.file("nb.s19");
    ASSERT_EQ(zelv("dp256", {"-q", "-a", "banked-linear", "-G", linear}).status, 0);
    ASSERT_EQ(zelv("dp256", {"-q", "-G", nb}).status, 0);
    const std::string expected_linear =
        srec("expected-linear.s19", s_record('2', 0xC0000, {0x11, 0x22, 0x33, 0x44}) +
                                        s_record('2', 0xF6000, {0x55, 0x66, 0x77, 0x88}) +
                                        s_record('2', 0xF8000, {0x99, 0x00, 0xAA, 0xBB}) +
                                        s_record('8', 0));
    EXPECT_TRUE(same(linear, expected_linear, "0xC0000", "0xFF800"));
    // Without paging the CPU sees page 0x3E at 0x4000 and the default page 0x30 at 0x8000.
    const std::string expected_nb = srec(
        "expected-nb.s19", s_record('1', 0x8000, {0x11, 0x22, 0x33, 0x44}) +
                               s_record('1', 0x4000, {0x99, 0x00, 0xAA, 0xBB}) + s_record('9', 0));
    EXPECT_TRUE(same(nb, expected_nb, "0x5000", "0xF800")) << test::read_file(nb);
}

TEST_F(SmSession, EepromEraseWriteProtectAndRead) {
    ZELV_REQUIRE_TOOL("srec_cmp");
    const std::string data =
        srec("ee.s19", s_record('1', 0x0800, {0x11, 0x22, 0x33, 0x44}) +
                           s_record('1', 0x09F0, {0xA5, 0xA5, 0xA5, 0xA5}) + s_record('9', 0x0800));
    test::ProcessResult r = zelv("dg128", {"-v", "-A", "-C", data});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(without_times(r.out).find("EEPROM erase: memory erased\n"
                                        "EEPROM erase: memory verified\n"
                                        "EEPROM write: image file <" +
                                        data +
                                        ">\n"
                                        "EEPROM write: data info <>\n"
                                        "EEPROM write: address range <0x0800-0x09F3> length "
                                        "<0x01F4>\n"
                                        "EEPROM write: data [##############################"
                                        "####################]\n"
                                        "EEPROM write: data size <500 B> time <T> rate <R>\n"),
              std::string::npos)
        << r.out;

    r = zelv("dg128", {"-v", "-D", "256B", "-R"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("EEPROM protect: address range <0x0F00-0x0FFF> block size <256B>\n"
                         "EEPROM protect: verify ok\n"
                         "target reset\n"),
              std::string::npos)
        << r.out;

    const std::string back = dir.file("ee-back.s19");
    r = zelv("dg128", {"-B", back, "-D", "all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("S12 EEPROM protection all <off> address range <0x0F00-0x0FFF 256B>\n"),
              std::string::npos)
        << "the protection is in force after the reset";
    EXPECT_EQ(r.err, "\nerror: EEPROM protection already set (-f option forces the operation)\n");
    EXPECT_TRUE(same(data, back, "0x0800", "0x0A00"));
    EXPECT_NE(test::read_file(back).find("S9030800F4\n"), std::string::npos);
}

TEST_F(SmSession, VerificationFailures) {
    test::ProcessResult r = zelv("dg128", {"-q", "-v", "-E"}, {"stuck-flash:0x10000:0x7F"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: FLASH memory not erased\n");

    r = zelv("dg128", {"-q", "-v", "-A"}, {"stuck-eeprom:0x105:0x7F"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: EEPROM memory not erased: value 0x7F @ 0x0905\n");

    // An EEPROM cell that does not program while the monitor reports success: only -v
    // notices, by reading the written data back.
    const std::string data = srec("weak-ee.s19", s_record('1', 0x0900, {0x12, 0x34}));
    r = zelv("dg128", {"-q", "-A", "-C", data}, {"weak-eeprom:0x101"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = zelv("dg128", {"-v", "-A", "-C", data}, {"weak-eeprom:0x101"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nerror: EEPROM data verify error at address <0x0900> value <0x12FF> expected "
              "<0x1234>\n");
    r = zelv("dg128", {"-v", "-A", "-C", data});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("EEPROM write: verify size <256 B>"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("EEPROM write: verify ok\n"), std::string::npos) << r.out;
}

TEST_F(SmSession, MonitorErrorCodesEndTheRun) {
    struct Case {
        std::string fault;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"error:0xB6:0xE6", {"-E"}, "SM FLASH error\n"},
        {"error:0xB9:0xE9", {"-A"}, "SM EEPROM error\n"},
        {"error:0xA8:0xE1", {"-H", blink}, "SM command not recognized\n"},
        {"error:0xA8:0xE2", {"-H", blink}, "SM command not allowed in run mode\n"},
        {"error:0xA7:0xE3", {"-G", "x.s19"}, "SM stack pointer out of range\n"},
        {"error:0xA1:0xE4", {}, "SM invalid write SP value\n"},
        {"error:0xA2:0xE5", {"-G", "x.s19"}, "SM byte write access to nonvolatile memory\n"},
        {"error:0xA3:0xE7", {}, "SM error code not implemented\n"},
        {"error:0xA4:0xE8", {"-D", "64B"}, "SM error code not implemented\n"},
        {"error:0xA7:0x42", {}, "SM unknown error code 0x42\n"},
        {"prompt:0xA7", {"-G", "x.s19"}, "unexpected target prompt char\n"},
        {"device:0xDD", {}, "unexpected device code received: 0xDD\n"},
        {"silent", {}, "timeout - no connection with target\n"},
        {"silent,after=3", {}, "timeout - no connection with target\n"},
        // Noise that never completes a prompt ends the hunt after the prompt's time-out.
        {"babble", {}, "timeout - no connection with target\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = zelv("dg128", args, {c.fault});
        EXPECT_EQ(r.status, 1) << c.fault;
        EXPECT_EQ(r.err, "\nerror: " + c.message) << c.fault;
    }
}

TEST_F(SmSession, FirstFailureStopsTheRun) {
    const test::ProcessResult r =
        zelv("dg128", {"-E", "-H", blink, "-G", dir.file("never.s19")}, {"error:0xB6:0xE6"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("FLASH write"), std::string::npos);
    EXPECT_FALSE(test::file_exists(dir.file("never.s19")));
}

TEST_F(SmSession, ProgrammingOverDataFailsLikeRealFlash) {
    ASSERT_EQ(zelv("dg128", {"-q", "-E", "-H", blink}).status, 0);
    const test::ProcessResult again = zelv("dg128", {"-q", "-H", blink});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "\nerror: SM FLASH error\n");
}

TEST_F(SmSession, JunkBeforeTheFirstPromptIsSkipped) {
    const test::ProcessResult r = zelv("c32", {"-q", "-R"}, {"junk:7"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(SmSession, RefusedOperationsAndSettings) {
    struct Case {
        std::string part;
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"dg128", {"-X", "app.s19"}, "RAM run: operation not supported\n"},
        {"dg128", {"-S"}, "secure: operation not supported\n"},
        {"dg128", {"-U"}, "unsecure: operation not supported\n"},
        {"c32", {"-A"}, "EEPROM erase not possible - no EEPROM memory\n"},
        {"c32", {"-B", "x.s19"}, "EEPROM read not possible - no EEPROM memory\n"},
        {"dg128", {"-b", "230400"}, "invalid baud rate: 230400\n"},
        {"dg128", {"-D", "1KB"}, "invalid EEPROM protection area: 1KB\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = zelv(c.part, args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
}

TEST_F(SmSession, PortProblemsBeforeAnyTraffic) {
    test::ProcessResult r =
        run_zelvanor({"-q", "-i", "sm", "-t", data_file("mc9s12dg128.dat"), "-E"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: serial port not specified (-p option required)\n");

    r = run_zelvanor({"-q", "-i", "sm", "-p", dir.file("tty"), "-t", data_file("mc9s12dg128.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nerror: unable to open " + dir.file("tty") + " (No such file or directory)\n");
}

}  // namespace
}  // namespace zelv::e2e
