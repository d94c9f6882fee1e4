// The BDM12POD driver against the virtual pod on a pseudo-terminal: the open and its speed
// setting, the refusals, the bytes of every kind of command, blocks by pod version and
// PODEX flag, registers, resets and the debug traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>
#include <vector>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "pod/bdm12pod.h"
#include "pod_bench.h"
#include "native/ram_agent.h"

namespace zelv {
namespace {

using test::Bytes;
using test::PodBench;

const BdmPod& pod = bdm12pod_pod;

TEST(Bdm12podEclockWord, CustomTimingValues) {
    struct Case {
        unsigned long osc;
        int result;
        uint16_t word;
    };
    const Case cases[] = {
        {10000000, 0, 30},      {12000000, 0, 25},      {20000000, 0, 14}, {6000, 0, 53332},
        {142000000, 0, 1},      {5999, EINVAL, 0},      {1999, EINVAL, 0}, {0, EINVAL, 0},
        {142300000, EINVAL, 0}, {400000000, EINVAL, 0}, {~0UL, EINVAL, 0},
    };
    for (const Case& c : cases) {
        uint16_t word = 0;
        EXPECT_EQ(bdm12pod_eclock_word(c.osc, &word), c.result) << c.osc;
        if (c.result == 0) {
            EXPECT_EQ(word, c.word) << c.osc;
        }
    }
}

class Bdm12podTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        settings().osc = 16000000;
    }
    void TearDown() override {
        if (bdm12pod_port().descriptor >= 0) {
            (void)pod.pod_close();
        }
        test::reset_run_state();
    }

    // Runs call with standard output and error captured into out and err.
    template <typename Call>
    int capture(Call call) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = call();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    // Opens the pod on the bench and puts the target into special mode.
    void open_on(PodBench& bench) {
        bench.start();
        settings().port = bench.port().c_str();
        ASSERT_EQ(capture(pod.pod_open), 0) << err;
        ASSERT_EQ(pod.reset_special(), 0);
        first = bench.command_count();
    }

    std::string out;
    std::string err;
    size_t first = 0;  // commands before the test's own
};

TEST_F(Bdm12podTest, OpenPrintsThePodAndSetsItsSpeed) {
    struct Case {
        uint8_t version;
        bool modab;
        unsigned long osc;
        int podex_25;
        const char* version_line;
        const char* eclock_line;
        std::vector<Bytes> speed;
    };
    const Case cases[] = {
        {0x47, false, 16000000, 0, "4.7", "8.000000", {{0x04, 0x04, 0x03, 0x00, 0x01}}},
        {0x45, false, 2000000, 0, "4.5", "1.000000", {{0x04, 0x04, 0x00, 0x00, 0x01}}},
        {0x46, true, 4000000, 0, "4.6 +MODA/MODB", "2.000000", {{0x04, 0x04, 0x01, 0x00, 0x01}}},
        {0x46, false, 8000000, 0, "4.6", "4.000000", {{0x04, 0x04, 0x02, 0x00, 0x01}}},
        {0x47,
         true,
         10000000,
         0,
         "4.7 +MODA/MODB",
         "5.000000",
         {{0x04, 0x07, 0x00, 0x00, 0x1E}, {0x04, 0x04, 0x04, 0x00, 0x01}}},
        {0x47,
         false,
         12000000,
         0,
         "4.7",
         "6.000000",
         {{0x04, 0x07, 0x00, 0x00, 0x19}, {0x04, 0x04, 0x04, 0x00, 0x01}}},
        {0x45, false, 25000000, 1, "4.5", "12.500000", {{0x04, 0x04, 0x03, 0x00, 0x01}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.osc);
        PodBench bench("dp256", {sim::PodKind::kBdm12pod, c.version, c.modab, 0});
        bench.start();
        settings().port = bench.port().c_str();
        settings().osc = c.osc;
        settings().podex_25 = c.podex_25;
        settings().baud = 0;
        settings().verbose = 1;
        ASSERT_EQ(capture(pod.pod_open), 0) << err;
        EXPECT_EQ(settings().baud, 115200U);
        EXPECT_EQ(out, "BDM12POD serial port <" + bench.port() +
                           "> baud rate <115200 bps>\n"
                           "BDM12POD version <" +
                           c.version_line +
                           ">\n"
                           "BDM12POD E-clock <" +
                           c.eclock_line + " MHz> trace delay <0 ms> reset delay <1 ms>\n");
        std::vector<Bytes> expected = {{0x00}, {0x04, 0x00}};
        expected.insert(expected.end(), c.speed.begin(), c.speed.end());
        EXPECT_EQ(bench.commands(), expected);
        EXPECT_EQ(bdm12pod_version(), c.version);
        EXPECT_EQ(pod.pod_close(), 0);
        EXPECT_EQ(bdm12pod_port().descriptor, -1);
    }
}

TEST_F(Bdm12podTest, OpenRefusals) {
    struct Case {
        uint8_t version;
        unsigned long osc;
        unsigned long baud;
        bool port;
        int result;
        const char* message;
        size_t commands;  // that reached the pod
    };
    const Case cases[] = {
        {0x47, 0, 0, true, EINVAL, "oscillator frequency not specified (-o option required)\n", 0},
        {0x47, 16000000, 0, false, EINVAL, "serial port not specified (-p option required)\n", 0},
        {0x47, 16000000, 12345, true, EINVAL, "invalid baud rate: 12345\n", 0},
        {0x47, 1500, 0, true, EINVAL, "invalid oscillator frequency: 1500\n", 2},
        {0x47, 200000000, 0, true, EINVAL, "invalid oscillator frequency: 200000000\n", 2},
        {0x46, 10000000, 0, true, EOPNOTSUPP,
         "this BDM12POD version supports only 1/2/4/8 MHz E-clock\n", 2},
        {0x45, 12000000, 0, true, EOPNOTSUPP,
         "this BDM12POD version supports only 1/2/4/8 MHz E-clock\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        PodBench bench("dp256", {sim::PodKind::kBdm12pod, c.version, false, 0});
        bench.start();
        settings().port = c.port ? bench.port().c_str() : nullptr;
        settings().osc = c.osc;
        settings().baud = c.baud;
        EXPECT_EQ(capture(pod.pod_open), c.result);
        EXPECT_EQ(err, std::string("\nerror: ") + c.message);
        EXPECT_EQ(out, "");
        EXPECT_EQ(bdm12pod_port().descriptor, -1) << "the port is closed again";
        EXPECT_EQ(bench.command_count(), c.commands);
    }
}

TEST_F(Bdm12podTest, ByteCommandsCarryTheByteInItsHalfOfTheWord) {
    PodBench bench;
    open_on(bench);
    ASSERT_EQ(pod.write_byte(0x2001, 0x5A), 0);
    ASSERT_EQ(pod.write_byte(0x2000, 0xA5), 0);
    ASSERT_EQ(pod.write_bd_byte(0xFF01, 0x00), 0);  // ENBDM off
    EXPECT_EQ(bench.commands(first), (std::vector<Bytes>{{0xC0, 0x20, 0x01, 0x00, 0x5A},
                                                         {0xC0, 0x20, 0x00, 0xA5, 0x00},
                                                         {0xC4, 0xFF, 0x01, 0x00, 0x00}}));
    EXPECT_EQ(bench.mcu().read_word(0x2000), 0xA55A);
    EXPECT_EQ(bench.bdm().status() & sim::bdm::kEnbdm, 0);

    uint8_t byte = 0;
    ASSERT_EQ(pod.read_byte(0x2001, &byte), 0);
    EXPECT_EQ(byte, 0x5A) << "an odd address takes the second reply byte";
    ASSERT_EQ(pod.read_byte(0x2000, &byte), 0);
    EXPECT_EQ(byte, 0xA5) << "an even address the first";
    ASSERT_EQ(pod.read_bd_byte(0xFF01, &byte), 0);
    EXPECT_EQ(byte, 0x42) << "BDMACT, UNSEC of a blank part";

    uint16_t word = 0;
    ASSERT_EQ(pod.write_word(0x2002, 0x1234), 0);
    ASSERT_EQ(pod.read_word(0x2002, &word), 0);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(bench.mcu().read_byte(0x2002), 0x12) << "the high half at the address";
    ASSERT_EQ(pod.read_word(0x001A, &word), 0);
    EXPECT_EQ(word, 0x0012);
    ASSERT_EQ(pod.write_bd_word(0xFF06, 0xC0C0), 0);
    ASSERT_EQ(pod.read_bd_word(0xFF06, &word), 0);
    EXPECT_EQ(word & 0xFF00, 0xC000) << "BDMCCR";
    EXPECT_EQ(bench.commands(first + 3).back(), (Bytes{0xEC, 0xFF, 0x06}));
}

TEST_F(Bdm12podTest, BlocksByPodVersionAndPodexFlag) {
    const Bytes data = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    struct Case {
        uint8_t version;
        int podex_bug;
        uint32_t length;
        std::vector<Bytes> commands;
    };
    const Case cases[] = {
        {0x47,
         0,
         6,
         {{0xC0, 0x10, 0x01, 0x00, 0x11},
          {0x04, 0x06, 0x10, 0x02, 0x00, 0x02, 0x22, 0x33, 0x44, 0x55},
          {0xC0, 0x10, 0x06, 0x66, 0x00}}},
        {0x46,
         0,
         5,
         {{0xC0, 0x10, 0x01, 0x00, 0x11},
          {0x04, 0x06, 0x10, 0x02, 0x00, 0x02, 0x22, 0x33, 0x44, 0x55}}},
        {0x45,
         0,
         6,
         {{0xC0, 0x10, 0x01, 0x00, 0x11},
          {0xC8, 0x10, 0x02, 0x22, 0x33},
          {0xC8, 0x10, 0x04, 0x44, 0x55},
          {0xC0, 0x10, 0x06, 0x66, 0x00}}},
        {0x47,
         1,
         6,
         {{0xC0, 0x10, 0x01, 0x00, 0x11},
          {0xC8, 0x10, 0x02, 0x22, 0x33},
          {0xC8, 0x10, 0x04, 0x44, 0x55},
          {0xC0, 0x10, 0x06, 0x66, 0x00}}},
        {0x47, 0, 1, {{0xC0, 0x10, 0x01, 0x00, 0x11}}},
        {0x47, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "version " << int{c.version} << " podex_bug "
                                        << c.podex_bug << " length " << c.length);
        // The pod board matches the flag: the old PODEX firmware's blocks are broken.
        PodBench bench("dp256", {c.podex_bug ? sim::PodKind::kPodexBug : sim::PodKind::kBdm12pod,
                                 c.version, false, 0});
        settings().podex_bug = c.podex_bug;
        open_on(bench);
        ASSERT_EQ(pod.write_block(0x1001, data.data(), c.length), 0);
        EXPECT_EQ(bench.commands(first), c.commands);
        for (uint32_t i = 0; i < 6; ++i) {
            EXPECT_EQ(bench.mcu().read_byte(static_cast<uint16_t>(0x1001 + i)),
                      i < c.length ? data[i] : 0x00)
                << i;
        }
        // Reading back: 5 bytes from the odd address come in address order.
        const size_t before = bench.command_count();
        uint8_t back[5] = {};
        ASSERT_EQ(pod.read_block(0x1001, back, c.length < 5 ? c.length : 5), 0);
        for (uint32_t i = 0; i < 5 && i < c.length; ++i) {
            EXPECT_EQ(back[i], data[i]) << i;
        }
        const std::vector<Bytes> reads = bench.commands(before);
        if (c.length >= 5) {
            ASSERT_EQ(reads.size(), c.podex_bug ? 3U : 2U);
            EXPECT_EQ(reads[1], c.podex_bug ? (Bytes{0xE8, 0x10, 0x02})
                                            : (Bytes{0x04, 0x03, 0x10, 0x02, 0x00, 0x02}))
                << "mem dump with every version, single words with podex-bug";
        } else if (c.length == 0) {
            EXPECT_TRUE(reads.empty());
        }
        settings().podex_bug = 0;
        (void)pod.pod_close();
    }
}

TEST_F(Bdm12podTest, RegistersAndNext) {
    PodBench bench;
    open_on(bench);
    for (unsigned index = 0; index <= 4; ++index) {
        ASSERT_EQ(pod.write_reg(index, static_cast<uint16_t>(0x2000 + 2 * index)), 0);
    }
    uint16_t value = 0;
    for (unsigned index = 0; index <= 4; ++index) {
        ASSERT_EQ(pod.read_reg(index, &value), 0);
        EXPECT_EQ(value, 0x2000 + 2 * index);
    }
    EXPECT_EQ(bench.bdm().cpu().sp, 0x2008) << "index 4 is SP";
    EXPECT_EQ(bench.bdm().cpu().d, 0x2002) << "index 1 is D";
    const size_t before = bench.command_count();
    EXPECT_EQ(pod.write_reg(5, 0), EINVAL);
    EXPECT_EQ(pod.read_reg(5, &value), EINVAL);
    EXPECT_EQ(bench.command_count(), before) << "nothing sent for an unknown register";

    ASSERT_EQ(pod.write_next(0xBEEF), 0);  // X was 0x2004
    EXPECT_EQ(bench.mcu().read_word(0x2006), 0xBEEF);
    ASSERT_EQ(pod.read_next(&value), 0);
    EXPECT_EQ(bench.commands(before), (std::vector<Bytes>{{0x42, 0xBE, 0xEF}, {0x62}}));
    EXPECT_EQ(bench.bdm().cpu().x, 0x2008);

    for (int (*run)() : {pod.go, pod.go_until, pod.trace1, pod.taggo, pod.background,
                         pod.ack_enable, pod.ack_disable}) {
        ASSERT_EQ(run(), 0);
    }
    EXPECT_EQ(bench.commands(before + 2),
              (std::vector<Bytes>{{0x08}, {0x0C}, {0x10}, {0x18}, {0x90}, {0xD5}, {0xD6}}));
}

TEST_F(Bdm12podTest, ResetsAndDebugTraces) {
    PodBench bench;
    bench.mcu().flash()[0x3FF0F] = 0xFE;  // unsecured, so that normal mode keeps the BDM
    bench.start();
    settings().port = bench.port().c_str();
    settings().debug = 1;
    ASSERT_EQ(capture(pod.pod_open), 0) << err;
    EXPECT_EQ(out, "BDM12POD sync\n");

    struct Case {
        int (*call)();
        const char* trace;
    };
    const Case cases[] = {
        {[] { return pod.reset_special(); }, "BDM12POD reset\n"},
        {[] {
             uint8_t b = 0;
             return pod.read_bd_byte(0xFF01, &b);
         },
         "BDM12POD cmd <READ_BD_BYTE> addr <0xff01> value <0xc0>\n"},
        {[] {
             uint8_t b = 0;
             return pod.read_byte(0x001B, &b);
         },
         "BDM12POD cmd <READ_BYTE> addr <0x001b> value <0x12>\n"},
        {[] {
             uint16_t w = 0;
             return pod.read_word(0x001A, &w);
         },
         "BDM12POD cmd <READ_WORD> addr <0x001a> value <0x0012>\n"},
        {[] {
             uint16_t w = 0;
             return pod.read_bd_word(0xFF00, &w);
         },
         "BDM12POD cmd <READ_BD_WORD> addr <0xff00> value <0x00c0>\n"},
        {[] { return pod.write_byte(0x2000, 0xAB); },
         "BDM12POD cmd <WRITE_BYTE> addr <0x2000> value <0xab>\n"},
        {[] { return pod.write_bd_byte(0xFF01, 0xC0); },
         "BDM12POD cmd <WRITE_BD_BYTE> addr <0xff01> value <0xc0>\n"},
        {[] { return pod.write_word(0x2000, 0xABCD); },
         "BDM12POD cmd <WRITE_WORD> addr <0x2000> value <0xabcd>\n"},
        {[] { return pod.write_bd_word(0xFF06, 0xD800); },
         "BDM12POD cmd <WRITE_BD_WORD> addr <0xff06> value <0xd800>\n"},
        {[] { return pod.write_reg(2, 0x1FFE); }, "BDM12POD cmd <WRITE_REG> value <0x1ffe>\n"},
        {[] { return pod.write_next(0x0102); }, "BDM12POD cmd <WRITE_NEXT> value <0x0102>\n"},
        {[] {
             uint16_t w = 0;
             return pod.read_reg(2, &w);
         },
         "BDM12POD cmd <READ_REG> value <0x2000>\n"},
        {[] {
             uint16_t w = 0;
             return pod.read_next(&w);
         },
         "BDM12POD cmd <READ_NEXT> value <0x0000>\n"},
        {[] {
             const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
             return pod.write_block(0x2000, data, 4);
         },
         "BDM12POD mem put address <0x2000> len <4>\nde  ad  be  ef  \n"},
        {[] {
             uint8_t data[4] = {};
             return pod.read_block(0x2000, data, 4);
         },
         "BDM12POD mem dump address <0x2000> len <4>\nde  ad  be  ef  \n"},
        {pod.background, "BDM12POD cmd <BACKGROUND>\n"},
        {pod.ack_enable, "BDM12POD cmd <ACK_ENABLE>\n"},
        {pod.ack_disable, "BDM12POD cmd <ACK_DISABLE>\n"},
        {pod.trace1, "BDM12POD cmd <TRACE1>\n"},
        {pod.go_until, "BDM12POD cmd <GO_UNTIL>\n"},
        {pod.taggo, "BDM12POD cmd <TAGGO>\n"},
        {pod.go, "BDM12POD cmd <GO>\n"},
        {[] { return pod.reset_normal(); }, "BDM12POD reset <low>\nBDM12POD reset <high>\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(capture(c.call), 0) << c.trace << err;
        EXPECT_EQ(out, c.trace);
    }
    EXPECT_FALSE(bench.mcu().special_mode());
    EXPECT_EQ(bench.bdm().status(), 0x00) << "running in normal mode";
    EXPECT_EQ(bench.commands(bench.command_count() - 2), (std::vector<Bytes>{{0x02}, {0x03}}));

    settings().debug = 0;
    uint8_t byte = 0;
    EXPECT_EQ(capture([&] { return pod.read_byte(0x001B, &byte); }), 0);
    EXPECT_EQ(out, "") << "traces only with -d";
}

// The virtual RAM agent over the wire: the file's bytes through mem put, then per command
// the parameter block, PC, GO and BDMSTS polled until BDMACT, as the host's agent protocol
// runs it; a bulk erase keeps the pod polling for a while.
TEST_F(Bdm12podTest, TheVirtualAgentAnswersBetweenGoAndBdmact) {
    PodBench bench;
    sim::RamAgent agent({});
    bench.bdm().add_native_code(&agent);
    bench.mcu().flash()[0] = 0x00;                     // page 0x30, block 3
    bench.mcu().flash()[15 * 0x4000 + 0x3F0F] = 0xFE;  // unsecured
    open_on(bench);
    uint8_t file[32] = {};
    const uint8_t header[16] = {0x00, 'Z',  'E',  'L',  'V',  'S',  'I',  'M',
                                0x01, 0x00, 0x38, 0x00, 0x39, 0x00, 0x02, 0x00};
    std::copy(std::begin(header), std::end(header), file + 16);
    ASSERT_EQ(pod.write_block(0x3800, file, sizeof file), 0);

    const auto agent_command = [](uint8_t code) {
        EXPECT_EQ(pod.write_byte(0x3800, code), 0);
        EXPECT_EQ(pod.write_byte(0x3801, 2), 0);
        EXPECT_EQ(pod.write_reg(0, 0x3810), 0);
        EXPECT_EQ(pod.go(), 0);
        uint8_t bdmsts = 0;
        for (int polls = 0; polls < 100000 && (bdmsts & 0x40) == 0; ++polls) {
            EXPECT_EQ(pod.read_bd_byte(0xFF01, &bdmsts), 0);
        }
        uint8_t status = 0xEE;
        EXPECT_EQ(pod.read_byte(0x3801, &status), 0);
        return status;
    };
    ASSERT_EQ(pod.write_word(0x3802, 16000), 0);
    EXPECT_EQ(agent_command(0), 0);
    uint16_t word = 0;
    ASSERT_EQ(pod.read_word(0x3804, &word), 0);
    EXPECT_EQ(word, 0x0200) << "the buffer size";
    EXPECT_EQ(bench.mcu().peek_register(0x0100), 0xC9) << "FCLKDIV for 16 MHz";

    ASSERT_EQ(pod.write_byte(0x3802, 3), 0);  // block 3, its lowest page
    ASSERT_EQ(pod.write_byte(0x3803, 0x30), 0);
    EXPECT_EQ(agent_command(8), 3) << "not clear";
    const size_t before = bench.command_count();
    EXPECT_EQ(agent_command(7), 0);
    EXPECT_GT(bench.command_count() - before, 6u) << "BDMSTS read more than once";
    EXPECT_EQ(bench.mcu().flash()[0], 0xFF);
    EXPECT_EQ(agent_command(8), 0);
}

}  // namespace
}  // namespace zelv
