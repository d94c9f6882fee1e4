// The LRAE link: baud rate search, open and synchronisation, agent frames and the boot
// loader's RAM load, against a scripted boot loader on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>

#include "base/console.h"
#include "lrae/lrae_test_util.h"

namespace zelv {
namespace {

using test::Bytes;

TEST(LraeBaudSearch, FirstAcceptablePairInTableOrder) {
    struct Case {
        uint64_t osc;
        bool found;
        uint64_t target_rate;
        uint64_t host_rate;
        uint64_t error;
    };
    const Case cases[] = {
        // Divisors 1, 2, 4, 9 and 7 miss; 13 gives 38461 against 38400.
        {16000000, true, 38461, 38400, 15},
        // Divisor 4 already fits, before any later divisor.
        {5000000, true, 39062, 38400, 172},
        {4915200, true, 38400, 38400, 0},
        {24000000, false, 0, 0, 0},
        // |467897 - 38400| * 10000 wraps to 2704 in 32 bits: 467897 bps would pass for
        // 38400 with 0.0 %.
        {14972704, false, 0, 0, 0},
        // Still fast enough to wrap, but a slow divisor fits properly.
        {63897600, true, 38400, 38400, 0},
    };
    test::reset_run_state();
    for (const Case& c : cases) {
        LraeBaudPair pair;
        EXPECT_EQ(lrae_baud_search(c.osc, &pair), c.found) << c.osc;
        if (c.found) {
            EXPECT_EQ(pair.target_rate, c.target_rate) << c.osc;
            EXPECT_EQ(pair.host_rate, c.host_rate) << c.osc;
            EXPECT_EQ(pair.error, c.error) << c.osc;
        }
    }
}

TEST(LraeBaudSearch, DebugLinesShowEveryPairWithItsTrueError) {
    test::reset_run_state();
    settings().debug = 1;
    testing::internal::CaptureStdout();
    LraeBaudPair pair;
    EXPECT_FALSE(lrae_baud_search(14972704, &pair));
    const std::string out = testing::internal::GetCapturedStdout();
    test::reset_run_state();
    const std::vector<std::string> lines = test::split_lines(out);
    ASSERT_EQ(lines.size(), 48U);
    EXPECT_EQ(lines[0], "target <467897 bps> local <38400 bps> error <1118.5%>");
    EXPECT_EQ(lines[47], "target <8998 bps> local <1200 bps> error <649.8%>");
    EXPECT_EQ(out.find("<ok>"), std::string::npos);

    settings().debug = 1;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(lrae_baud_search(16000000, &pair));
    const std::string ok = testing::internal::GetCapturedStdout();
    test::reset_run_state();
    EXPECT_NE(ok.find("target <38461 bps> local <38400 bps> error <0.2%> <ok>\n"),
              std::string::npos);
    // A later acceptable pair is shown as acceptable but not taken.
    EXPECT_NE(ok.find("target <19230 bps> local <19200 bps> error <0.2%> <ok>\n"),
              std::string::npos);
}

class LraeOpenTest : public test::LraeTest {
protected:
    void SetUp() override {
        LraeTest::SetUp();
        use("FTS128K");
        settings().port = peer.slave_path().c_str();
    }
};

TEST_F(LraeOpenTest, SearchesTheRateAndSynchronisesOnTheLastProbe) {
    // Fifteen probes answered with something else, the sixteenth with 0xAA.
    for (int i = 0; i < 15; ++i) {
        peer.step({0x55}, {static_cast<uint8_t>(i == 3 ? 0x00 : 0x55)});
    }
    peer.step({0x55}, {0xAA});
    settings().verbose = 1;
    EXPECT_EQ(exchange([] { return lrae_open(); }), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(settings().baud, 38400UL);
    EXPECT_EQ(out,
              "LRAE selected local baud rate <38400 bps> target <38461 bps> error <0.2%>\n"
              "LRAE serial port <" +
                  peer.slave_path() +
                  "> baud rate <38400 bps>\n"
                  "LRAE target synchronized\n"
                  "target info <test target>\n"
                  "target mcu <MC9S12TEST> family <HCS12> osc <16.000000 MHz>\n"
                  "target LRAE RAM area <0x1000-0x3FCF> size <0x2FD0>\n");
    EXPECT_EQ(lrae_state().window_start, 0x1000U);
    EXPECT_EQ(lrae_state().lrae_size, 0x800U);
    EXPECT_FALSE(lrae_state().agent_loaded);
}

TEST_F(LraeOpenTest, GivesUpAfterSixteenUnansweredProbes) {
    for (int i = 0; i < 16; ++i) {
        peer.step({0x55}, {});
    }
    settings().baud = 19200;  // given: no search
    EXPECT_EQ(exchange([] { return lrae_open(); }), ETIMEDOUT);
    EXPECT_EQ(err, "\nerror: no connection with target\n");
    EXPECT_EQ(lrae_port().descriptor, -1) << "the open closes the port it opened";
}

TEST_F(LraeOpenTest, RefusalsBeforeThePortIsOpened) {
    struct Case {
        std::string extra;  // description lines; "" keeps the fixture's
        const char* port;
        unsigned long osc;
        std::string message;
    };
    const std::string port = peer.slave_path();
    const Case cases[] = {
        {"lrae_size 0\n", port.c_str(), 16000000,
         "target LRAE FLASH usage unknown (missing lrae_size)\n"},
        {"lrae_size 2k\n", port.c_str(), 16000000,
         "invalid value for target description parameter lrae_size\n"},
        {"ram_size 0x4001\n", port.c_str(), 16000000,
         "target LRAE RAM area unusable (ram_size 0x4001)\n"},
        {"ram_size 0x30\n", port.c_str(), 16000000,
         "target LRAE RAM area unusable (ram_size 0x30)\n"},
        {"", nullptr, 16000000, "serial port not specified (-p option required)\n"},
        {"", "", 16000000, "serial port not specified (-p option required)\n"},
        {"", port.c_str(), 0, "oscillator frequency not specified (-o option required)\n"},
        {"", port.c_str(), 24000000,
         "satisfactory baud rate not found\nConsider specifying one with -b option\n"},
    };
    peer.start();
    for (const Case& c : cases) {
        use("FTS128K", c.extra);
        settings().port = c.port;
        settings().osc = c.osc;
        settings().baud = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(lrae_open(), EINVAL) << c.message;
        // A description's value is named with its file and line; the table leaves them out.
        static const std::regex where("error: /[^:]*:[0-9]+: ");
        EXPECT_EQ(std::regex_replace(testing::internal::GetCapturedStderr(), where, "error: "),
                  "\nerror: " + c.message);
        EXPECT_EQ(settings().baud, 0UL);
        EXPECT_EQ(lrae_port().descriptor, -1);
    }
    EXPECT_EQ(peer.finish(), "") << "nothing is sent";

    ASSERT_EQ(test::build_target_from(dir, test::description_text("FTS128K")), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lrae_open(), EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: target LRAE RAM agent not available, cannot proceed\n");
}

class LraeFrameTest : public test::LraeTest {
protected:
    void SetUp() override {
        LraeTest::SetUp();
        use("FTS128K");
        connect();
    }
};

TEST_F(LraeFrameTest, LengthCountsCommandLengthAndChecksumAndAcksAreJudged) {
    // Four parameters: length 7, checksum 0x09 + 0x07 + 0 + 0x3E + 0x80 + 0x00 = 0xCE.
    peer.step({0x09, 0x07, 0x00, 0x3E, 0x80, 0x00, 0xCE}, {0x00});
    peer.step(test::lrae_frame_bytes(0x07, {0x01, 0x38}), {0x55});
    peer.step(test::lrae_frame_bytes(0x08, {0x01, 0x38}), {0x03});
    peer.start();
    const uint8_t sector[4] = {0x00, 0x3E, 0x80, 0x00};
    const uint8_t block[2] = {0x01, 0x38};
    struct Call {
        uint8_t command;
        const uint8_t* parameters;
        unsigned n;
        int result;
        std::string message;
    };
    const Call calls[] = {
        {0x09, sector, 4, 0, ""},
        {0x07, block, 2, EIO, "communication failed, invalid checksum\n"},
        {0x08, block, 2, EIO, "communication failed, unexpected answer\n"},
    };
    for (const Call& c : calls) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(lrae_frame(c.command, c.parameters, c.n), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.message.empty() ? "" : "\nerror: " + c.message);
    }
    EXPECT_EQ(peer.finish(), "");
}

class LraeRamLoadTest : public test::LraeTest {
protected:
    void SetUp() override {
        LraeTest::SetUp();
        use("FTS128K", "ram_size 0x2000\n");  // the area 0x2000-0x3FCF
        connect();
    }
    std::string file(const std::string& lines) {
        const std::string path = dir.file("image.s19");
        test::write_file(path, lines);
        return path;
    }
};

TEST_F(LraeRamLoadTest, HeaderBytesGapsAndChecksum) {
    // 0x3000-0x3001 and 0x3004, entry 0x3000: the gap goes out as 0xFF.
    const std::string path = file("S0050000686929\nS10530000102C7\nS104300403C4\nS9033000CC\n");
    // entry 30 00, length 00 05, data 01 02 FF FF 03; sum 0x3A + 0x05 + 0x204 = 0x43.
    peer.step({0x30, 0x00, 0x00, 0x05, 0x01, 0x02, 0xFF, 0xFF, 0x03, 0x39}, {0x80});
    settings().verbose = 1;
    int second = 0;
    EXPECT_EQ(exchange([&] {
                  const int first = lrae_ram_load(path.c_str(), false);
                  // The boot loader no longer listens: a second load sends nothing.
                  second = lrae_ram_load(path.c_str(), true);
                  return first;
              }),
              0);
    EXPECT_EQ(second, EINVAL);
    EXPECT_EQ(err,
              "\nerror: RAM load not possible - LRAE boot loader no longer active (target reset "
              "required)\n");
    EXPECT_EQ(out, "RAM load: image file <" + path +
                       ">\n"
                       "RAM load: image info <hi>\n"
                       "RAM load: address range <0x3000-0x3004> length <0x0005> entry <0x3000>\n"
                       "RAM load: data [##################################################]\n");
    EXPECT_TRUE(lrae_state().program_started);
}

TEST_F(LraeRamLoadTest, FilesRefusedBeforeAnythingIsSent) {
    struct Case {
        std::string lines;
        int force;
        std::string message;
    };
    const Case cases[] = {
        {"S0050000686929\nS9033000CC\n", 0, "RAM load: no data in file\n"},
        {"S0050000686929\nS9033000CC\n", 1, "RAM load: no data in file\n"},
        {"S10530000102C7\n", 0, "entry address not specified\n"},
        // An S9 with address 0 names no entry either, though the reader takes it.
        {"S10530000102C7\nS9030000FC\n", 1, "entry address not specified\n"},
        // The top 48 bytes belong to the boot loader.
        {"S1043FD011DB\nS9033000CC\n", 0, "RAM address outside allowable range\n"},
        {"S10530000102C7\nS9034000BC\n", 0, "image.s19:2: entry address <0x4000> out of range\n"},
        {"S1051FFF0102D9\nS9032000DC\n", 1,
         "image.s19:1: data block address <0x1FFF> out of "
         "range\n"},
    };
    peer.start();
    for (const Case& c : cases) {
        const std::string path = file(c.lines);
        settings().force = c.force;
        testing::internal::CaptureStderr();
        EXPECT_EQ(lrae_ram_load(path.c_str(), false), EINVAL) << c.message;
        std::string message = testing::internal::GetCapturedStderr();
        const std::size_t at = message.find(dir.path() + "/");
        if (at != std::string::npos) {
            message.erase(at, dir.path().size() + 1);
        }
        EXPECT_EQ(message, "\nerror: " + c.message);
    }
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(LraeRamLoadTest, ForceLoadsTheBootLoadersTopBytes) {
    const std::string path = file("S1043FD011DB\nS9033FD0ED\n");
    peer.step({0x3F, 0xD0, 0x00, 0x01, 0x11, 0x21}, {0x80});
    settings().force = 1;
    EXPECT_EQ(exchange([&] { return lrae_ram_load(path.c_str(), true); }), 0);
    EXPECT_EQ(err, "");
}

}  // namespace
}  // namespace zelv
