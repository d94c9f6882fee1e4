// The BDM12POD emulator fed byte by byte: replies, firmware versions, the PODEX variants,
// the speed check, the faults, and CTS through the shared modem lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "fronts/bdm12pod_emulator.h"
#include "fakes/run_state.h"
#include "modem/modem_lines.h"
#include "sim/sim_test_util.h"

namespace zelv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

class PodEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
        configure_part(mcu, "dp256");
    }
    void TearDown() override { sim_set_quiet(false); }

    Bdm12podEmulator& pod(const PodConfig& config = {}, const PodFaults& faults = {}) {
        emulator = std::make_unique<Bdm12podEmulator>(bdm, config, faults, &lines);
        return *emulator;
    }

    // Feeds the bytes and returns everything the pod answered.
    Bytes send(const Bytes& bytes) {
        Bytes out;
        for (const uint8_t byte : bytes) {
            Reply reply;
            emulator->receive(byte, reply);
            out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
        }
        return out;
    }

    VirtualMcu mcu;
    McuBdm bdm{mcu};
    ModemLines lines{};
    std::unique_ptr<Bdm12podEmulator> emulator;
};

TEST_F(PodEmulatorTest, VersionByte) {
    struct Case {
        uint8_t version;
        bool modab;
        bool fault;
        uint8_t reply;
    };
    const Case cases[] = {
        {0x47, false, false, 0x47},
        {0x46, true, false, 0xC6},
        {0x45, false, false, 0x45},
        {0x47, true, true, 0x33},  // the wrong-version fault replaces the whole byte
    };
    for (const Case& c : cases) {
        PodFaults faults;
        faults.wrong_version = c.fault;
        faults.version_byte = 0x33;
        pod({PodKind::kBdm12pod, c.version, c.modab, 0}, faults);
        EXPECT_EQ(send({0x00, 0x04, 0x00}), Bytes{c.reply});
    }
}

TEST_F(PodEmulatorTest, BdmCommandsReachTheTarget) {
    mcu.flash()[flash_at(mcu, 0x3F, 0x3F0F)] = 0xFE;  // unsecured
    pod();
    EXPECT_EQ(send({0x01}), Bytes{});  // reset into special mode
    EXPECT_EQ(send({0xE4, 0xFF, 0x01}), (Bytes{0x00, 0xC0}));
    EXPECT_EQ(send({0xE8, 0x00, 0x1A}), (Bytes{0x00, 0x12}));
    EXPECT_EQ(send({0xC0, 0x20, 0x01, 0x00, 0x5A, 0xC8, 0x20, 0x02, 0xBE, 0xEF}), Bytes{});
    EXPECT_EQ(mcu.read_word(0x2000), 0x005A);
    EXPECT_EQ(send({0xE0, 0x20, 0x03}), (Bytes{0xBE, 0xEF})) << "the whole bus word comes back";
    EXPECT_EQ(send({0x45, 0x1F, 0xFE, 0x42, 0x12, 0x34, 0x65}), (Bytes{0x20, 0x00}))
        << "WRITE_X, WRITE_NEXT, READ_X";
    EXPECT_EQ(mcu.read_word(0x2000), 0x1234);
    EXPECT_EQ(send({0x64}), (Bytes{0x00, 0x00})) << "READ_D";
    EXPECT_EQ(send({0x08, 0x90, 0xE4, 0xFF, 0x01}), (Bytes{0x00, 0xC0})) << "GO, BACKGROUND";
    EXPECT_EQ(send({0x02, 0xE8, 0x00, 0x1A}), (Bytes{0xFF, 0xFF})) << "held in reset";
    EXPECT_EQ(send({0x03, 0xE4, 0xFF, 0x01}), (Bytes{0x00, 0x00})) << "normal mode";
    EXPECT_EQ(send({0x77}), Bytes{}) << "an unknown byte is ignored";
    EXPECT_EQ(emulator->commands().size(), 18U);
}

TEST_F(PodEmulatorTest, BlockCommandsByKindAndVersion) {
    for (uint16_t i = 0; i < 4; ++i) {
        mcu.write_word(static_cast<uint16_t>(0x2000 + 2 * i),
                       static_cast<uint16_t>(0x1111 * (i + 1)));
    }
    const Bytes dump = {0x04, 0x03, 0x20, 0x00, 0x00, 0x03};
    const Bytes put = {0x04, 0x06, 0x30, 0x00, 0x00, 0x02, 0xA1, 0xA2, 0xB1, 0xB2};

    pod();
    send({0x01});
    EXPECT_EQ(send(dump), (Bytes{0x11, 0x11, 0x22, 0x22, 0x33, 0x33}));
    send(put);
    EXPECT_EQ(mcu.read_word(0x3000), 0xA1A2);
    EXPECT_EQ(mcu.read_word(0x3002), 0xB1B2);

    pod({PodKind::kPodexBug, 0x47, false, 0});
    EXPECT_EQ(send(dump), (Bytes{0x11, 0x11, 0x11, 0x11, 0x11, 0x11})) << "the first word again";
    mcu.write_word(0x3000, 0);
    mcu.write_word(0x3002, 0);
    send(put);
    EXPECT_EQ(mcu.read_word(0x3000), 0xB1B2) << "every word to the first address";
    EXPECT_EQ(mcu.read_word(0x3002), 0x0000);

    // Version 4.5 knows no mem put: it drops 04 06, then takes 30 00 00 02 A1 A2 B1 B2 as
    // commands of their own.
    pod({PodKind::kBdm12pod, 0x45, false, 0});
    mcu.write_word(0x3000, 0);
    send(put);
    EXPECT_EQ(mcu.read_word(0x3000), 0x0000);
    EXPECT_EQ(emulator->commands().front(), (Bytes{0x04, 0x06}));
}

TEST_F(PodEmulatorTest, SpeedMustMatchTheBoard) {
    struct Case {
        PodKind kind;
        uint8_t version;
        unsigned long board;
        Bytes speed;
        unsigned long eclock;
        bool matches;
    };
    const Case cases[] = {
        {PodKind::kBdm12pod, 0x47, 16000000, {}, 8000000, true},  // power-up: code 3
        {PodKind::kBdm12pod, 0x47, 16000000, {0x04, 0x04, 0x02, 0x00, 0x01}, 4000000, false},
        {PodKind::kBdm12pod, 0x47, 2000000, {0x04, 0x04, 0x00, 0x00, 0x01}, 1000000, true},
        {PodKind::kBdm12pod,
         0x47,
         10000000,
         {0x04, 0x07, 0x00, 0x00, 0x1E, 0x04, 0x04, 0x04, 0x00, 0x01},
         5039370,
         true},
        {PodKind::kBdm12pod,
         0x47,
         20000000,
         {0x04, 0x07, 0x00, 0x00, 0x0E, 0x04, 0x04, 0x04, 0x00, 0x01},
         10158730,
         true},
        // 4.6 has no custom value: it ignores 04 07 and code 4, and stays at 8 MHz.
        {PodKind::kBdm12pod,
         0x46,
         10000000,
         {0x04, 0x07, 0x04, 0x04, 0x04, 0x00, 0x01},
         8000000,
         false},
        {PodKind::kPodex25, 0x47, 25000000, {0x04, 0x04, 0x03, 0x00, 0x01}, 12500000, true},
        {PodKind::kPodex, 0x47, 25000000, {0x04, 0x04, 0x03, 0x00, 0x01}, 8000000, false},
        {PodKind::kBdm12pod, 0x47, 0, {0x04, 0x04, 0x00, 0x00, 0x01}, 1000000, true},
    };
    for (const Case& c : cases) {
        pod({c.kind, c.version, false, c.board});
        send({0x01});
        send(c.speed);
        EXPECT_EQ(emulator->eclock(), c.eclock) << c.board;
        EXPECT_EQ(emulator->speed_matches(), c.matches) << c.board;
        const Bytes partid = send({0xE8, 0x00, 0x1A});
        EXPECT_EQ(partid, c.matches ? (Bytes{0x00, 0x12}) : (Bytes{0xFF, 0xFF})) << c.board;
        EXPECT_EQ(send({0x04, 0x03, 0x00, 0x1A, 0x00, 0x01}), partid);
        send({0xC0, 0x20, 0x00, 0x77, 0x00});
        EXPECT_EQ(mcu.read_byte(0x2000) == 0x77, c.matches) << c.board;
        mcu.write_byte(0x2000, 0);
    }
}

TEST_F(PodEmulatorTest, SilentAndTruncatedReplies) {
    PodFaults silent;
    silent.silent = true;
    silent.silent_after = 1;
    pod({}, silent);
    EXPECT_EQ(send({0x04, 0x00}), Bytes{0x47});
    send({0x01});
    EXPECT_EQ(send({0xE8, 0x00, 0x1A}), Bytes{}) << "silent after one reply";
    send({0xC0, 0x20, 0x00, 0x77, 0x00});
    EXPECT_EQ(mcu.read_byte(0x2000), 0x77) << "a silent pod still carries out commands";

    PodFaults truncated;
    truncated.truncate = true;
    truncated.truncate_after = 1;
    pod({}, truncated);
    EXPECT_EQ(send({0x04, 0x00}), Bytes{0x47});
    EXPECT_EQ(send({0xE8, 0x00, 0x1A}), Bytes{0x00});
    EXPECT_EQ(send({0x04, 0x03, 0x00, 0x1A, 0x00, 0x02}), (Bytes{0x00, 0x12, 0x24}));
}

TEST_F(PodEmulatorTest, CtsFollowsTheHandshake) {
    pod();
    EXPECT_TRUE(modem_cts(lines)) << "ready for a byte";
    modem_set_rts(lines, true);
    send({0x00});
    EXPECT_FALSE(modem_cts(lines)) << "lowered once the pod has the byte";
    EXPECT_FALSE(modem_cts(lines)) << "and stays low while RTS is asserted";
    modem_set_rts(lines, false);
    EXPECT_TRUE(modem_cts(lines));

    struct Case {
        uint32_t fault;
        unsigned after;
        std::vector<bool> cts;  // before any byte, then after each of three handshakes
    };
    const Case cases[] = {
        {kCtsStuckHigh, 0, {true, true, true, true}},
        {kCtsStuckLow, 0, {false, false, false, false}},
        {kCtsStuckLow, 2, {true, true, false, false}},
        {kCtsStuckHigh, 1, {true, true, true, true}},
    };
    for (const Case& c : cases) {
        lines.taken.store(0);
        lines.acked.store(0);
        PodFaults faults;
        faults.cts = c.fault;
        faults.cts_after = c.after;
        pod({}, faults);
        std::vector<bool> seen = {modem_cts(lines)};
        for (int i = 0; i < 3; ++i) {
            modem_set_rts(lines, true);
            send({0x00});
            if (c.fault == kCtsStuckHigh) {
                EXPECT_TRUE(modem_cts(lines));
            }
            modem_set_rts(lines, false);
            seen.push_back(modem_cts(lines));
        }
        EXPECT_EQ(seen, c.cts) << c.fault << " after " << c.after;
    }
}

TEST(PodFaults, Syntax) {
    sim_set_quiet(true);
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"truncate", true},
        {"truncate,after=2", true},
        {"cts-high", true},
        {"cts-low,after=3", true},
        {"version:0xC6", true},
        {"truncate:1", false},
        {"cts-middle", false},
        {"cts-low:3", false},
        {"version", false},
        {"version:0x100", false},
        {"version:0x46,after=1", false},
    };
    for (const Case& c : cases) {
        FaultSet faults;
        EXPECT_EQ(parse_fault(c.text, &faults), c.valid ? 0 : EINVAL) << c.text;
    }
    FaultSet faults;
    ASSERT_EQ(parse_fault("silent,after=2", &faults), 0);
    ASSERT_EQ(parse_fault("cts-low,after=3", &faults), 0);
    ASSERT_EQ(parse_fault("version:0xC6", &faults), 0);
    EXPECT_TRUE(faults.pod.silent) << "silence is for whichever device answers";
    EXPECT_EQ(faults.pod.silent_after, 2u);
    EXPECT_TRUE(faults.sm.silent);
    EXPECT_EQ(faults.pod.cts, kCtsStuckLow);
    EXPECT_EQ(faults.pod.cts_after, 3u);
    EXPECT_TRUE(faults.pod.wrong_version);
    EXPECT_EQ(faults.pod.version_byte, 0xC6);
    sim_set_quiet(false);
}

TEST(PodKinds, Names) {
    PodKind kind = PodKind::kBdm12pod;
    EXPECT_TRUE(parse_pod_kind("podex-bug", &kind));
    EXPECT_EQ(kind, PodKind::kPodexBug);
    EXPECT_TRUE(parse_pod_kind("podex-25", &kind));
    EXPECT_EQ(kind, PodKind::kPodex25);
    EXPECT_FALSE(parse_pod_kind("PODEX", &kind));
    EXPECT_FALSE(parse_pod_kind("tbdml", &kind));
}

}  // namespace
}  // namespace zelv::sim::test
