// The virtual TBDML from the bus side: what a host's requests do to the virtual MCU when the
// pod's speed is right or wrong, a connect to a part that gives no sync, what the pod refuses
// or does not know, and faults that stand in for a command.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "fakes/run_state.h"
#include "faults/faults.h"
#include "mcu/mcu_bdm.h"
#include "sim/sim_test_util.h"
#include "fronts/tbdml_device.h"

namespace zelv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

class TbdmlDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        configure_part(mcu, "dp256");
    }

    // A vendor IN request: the answer, or {} with *result for a failure.
    Bytes ask(TbdmlDevice& pod, uint8_t command, uint16_t value = 0, uint16_t index = 0,
              uint16_t length = 8) {
        Bytes data;
        const int result = pod.control({0xC0, command, value, index, length}, &data);
        EXPECT_EQ(result, static_cast<int>(data.size()));
        return data;
    }

    void tell(TbdmlDevice& pod, uint8_t command, uint16_t value, uint16_t index,
              const Bytes& stage = {}) {
        Bytes data = stage;
        EXPECT_EQ(
            pod.control({0x40, command, value, index, static_cast<uint16_t>(stage.size())}, &data),
            static_cast<int>(stage.size()));
    }

    VirtualMcu mcu;
};

TEST_F(TbdmlDeviceTest, TheTargetHearsOnlyAMatchingSpeed) {
    McuBdm bdm(mcu);
    TbdmlConfig config;
    config.board_osc = 8000000;
    config.check_speed = true;
    TbdmlDevice pod(bdm, config, {});
    bdm.reset_special();
    mcu.write_word(0x2000, 0x1234);

    struct Step {
        uint16_t speed;  // set with 0x2E; 0: connect instead
        bool heard;
    };
    const Step steps[] = {
        {1920, true},   // 8 MHz
        {960, false},   // 16 MHz
        {2010, true},   // 4.5% slow
        {2030, false},  // 5.4% slow
        {0, true},      // a connect measures the board
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.speed);
        if (s.speed != 0) {
            EXPECT_EQ(ask(pod, 0x2E, s.speed), (Bytes{0x2E}));
        } else {
            EXPECT_EQ(ask(pod, 0x1F), (Bytes{0x1F}));
            EXPECT_EQ(pod.speed(), 1920);
        }
        EXPECT_EQ(pod.speed_matches(), s.heard);
        const Bytes word = s.heard ? Bytes{0x33, 0x34, 0x12} : Bytes{0x33, 0xFF, 0xFF};
        EXPECT_EQ(ask(pod, 0x33, 0x2000), word);
        tell(pod, 0x3C, 0x2001, 0x0056);
        EXPECT_EQ(mcu.read_byte(0x2001), s.heard ? 0x56 : 0x34) << "a write only when heard";
        mcu.write_byte(0x2001, 0x34);
    }
    EXPECT_EQ(ask(pod, 0x2E, 0), (Bytes{2})) << "speed 0 is refused";
}

TEST_F(TbdmlDeviceTest, ConnectingToAPartThatGivesNoSync) {
    McuBdm bdm(mcu);
    TbdmlDevice pod(bdm, {}, {});
    bdm.reset_normal();  // a blank part is secured: running, its BDM silent
    ASSERT_FALSE(bdm.answers());
    EXPECT_EQ(ask(pod, 0x29), (Bytes{0x29, 0x00, 0x00})) << "nothing measured yet";
    EXPECT_EQ(ask(pod, 0x1F), (Bytes{0x1F}));
    EXPECT_TRUE(bdm.answers()) << "reset with BKGD low, into special mode";
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(ask(pod, 0x29), (Bytes{0x29, 0xC0, 0x03})) << "960: 16 MHz";

    FaultSet faults;
    ASSERT_EQ(parse_fault("usb-speed:7", &faults), 0);
    TbdmlDevice odd(bdm, {}, faults.usb);
    EXPECT_EQ(ask(odd, 0x1F), (Bytes{0x1F}));
    EXPECT_EQ(ask(odd, 0x29), (Bytes{0x29, 0x07, 0x00}));
}

TEST_F(TbdmlDeviceTest, WhatThePodRefusesOrDoesNotKnow) {
    McuBdm bdm(mcu);
    TbdmlDevice pod(bdm, {}, {});
    bdm.reset_special();
    EXPECT_EQ(ask(pod, 0x1E, 0x0001), (Bytes{2})) << "target type 1";
    EXPECT_EQ(ask(pod, 0x1E, 0x0000), (Bytes{0x1E}));
    EXPECT_EQ(ask(pod, 0x21, 0x0002), (Bytes{2})) << "reset mode 2";
    EXPECT_EQ(ask(pod, 0x37, 0x2000, 0), (Bytes{2})) << "a block of 0";
    EXPECT_EQ(ask(pod, 0x37, 0x2000, 33), (Bytes{2})) << "a block of 33";
    EXPECT_EQ(ask(pod, 0x25, 0x2000), (Bytes{3})) << "READ_BD_WORD is no command of this pod";
    Bytes data;
    EXPECT_EQ(pod.control({0x80, 0x06, 0x0100, 0, 18}, &data), -EPIPE) << "a standard request";

    // Bulk: a packet whose counts do not fit is not taken, and then nothing waits.
    mcu.write_word(0x2000, 0xABCD);
    EXPECT_EQ(pod.bulk_out(0x02, {0x05, 0x04, 0x37, 0x00, 0x20}), 5);
    EXPECT_EQ(pod.bulk_in(0x82, 33, &data), -ETIMEDOUT);
    EXPECT_EQ(pod.bulk_out(0x02, {0x05, 0x04, 0x37, 0x00, 0x20, 0x02}), 6);
    EXPECT_EQ(pod.bulk_in(0x82, 33, &data), 3);
    EXPECT_EQ(data, (Bytes{0x37, 0xAB, 0xCD}));
    EXPECT_EQ(pod.bulk_in(0x82, 33, &data), -ETIMEDOUT) << "one answer per packet";
    EXPECT_EQ(pod.bulk_out(0x01, {0x02, 0x01, 0x27}), -EPIPE);
}

TEST_F(TbdmlDeviceTest, ARefusalFaultStandsInForTheCommand) {
    FaultSet faults;
    ASSERT_EQ(parse_fault("usb-refuse:0x21,after=1", &faults), 0);
    ASSERT_EQ(parse_fault("usb-empty:0x24", &faults), 0);
    McuBdm bdm(mcu);
    TbdmlDevice pod(bdm, {}, faults.usb);
    EXPECT_EQ(ask(pod, 0x21, 0x0000), (Bytes{0x21}));
    EXPECT_TRUE(bdm.active());
    EXPECT_EQ(ask(pod, 0x21, 0x0001), (Bytes{2}));
    EXPECT_TRUE(bdm.active()) << "the refused reset did not happen";
    // An empty reply is lost after the command was carried out.
    EXPECT_EQ(ask(pod, 0x24, bdm::kBdmccr, 0x00C0), Bytes{});
    EXPECT_EQ(bdm.cpu().ccr, 0xC0);
}

}  // namespace
}  // namespace zelv::sim::test
