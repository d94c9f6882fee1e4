// The SCI0 model as a program and a line see it: reset values, the rate the divisor gives,
// the flag-clearing sequences, transmit timing with the TE preamble, overrun, idle line and
// the receive error flags.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mcu/sci.h"

namespace zelv::sim::test {
namespace {

using namespace sci_bit;

constexpr uint16_t kSbr = 26;  // 38400 bit/s from an 8 MHz bus clock
constexpr uint64_t kFrame = 10 * 16 * kSbr;

class SciTest : public ::testing::Test {
protected:
    void SetUp() override {
        sci.write(sci_reg::kScibdh, 0);
        sci.write(sci_reg::kScibdl, kSbr);
    }
    // The program's way to send: wait for TDRE (it is set here), then write the byte.
    void send(uint8_t byte) {
        (void)sci.read(sci_reg::kScisr1);
        sci.write(sci_reg::kScidrl, byte);
    }
    uint8_t receive() {
        (void)sci.read(sci_reg::kScisr1);
        return sci.read(sci_reg::kScidrl);
    }
    uint8_t status() const { return sci.peek(sci_reg::kScisr1); }

    Sci sci;
};

TEST(SciReset, RegistersShowTheirResetValues) {
    Sci sci;
    const struct {
        uint16_t offset;
        uint8_t value;
    } cases[] = {{sci_reg::kScibdh, 0x00}, {sci_reg::kScibdl, 0x04}, {sci_reg::kScicr1, 0x00},
                 {sci_reg::kScicr2, 0x00}, {sci_reg::kScisr1, 0xC0}, {sci_reg::kScisr2, 0x00},
                 {sci_reg::kScidrl, 0x00}};
    for (const auto& c : cases) {
        EXPECT_EQ(sci.peek(c.offset), c.value) << std::hex << c.offset;
    }
    EXPECT_TRUE(Sci::owns(0xC8));
    EXPECT_FALSE(Sci::owns(0xD0));
}

TEST_F(SciTest, TheHighDivisorWaitsForTheLowByte) {
    sci.write(sci_reg::kScibdh, 0x01);
    EXPECT_EQ(sci.peek(sci_reg::kScibdh), 0x00);
    EXPECT_EQ(sci.frame_cycles(), kFrame);
    sci.write(sci_reg::kScibdl, 0x00);
    EXPECT_EQ(sci.peek(sci_reg::kScibdh), 0x01);
    EXPECT_EQ(sci.frame_cycles(), 10u * 16 * 0x100);
    sci.write(sci_reg::kScicr1, kM);
    EXPECT_EQ(sci.frame_cycles(), 11u * 16 * 0x100);
}

TEST_F(SciTest, TransmitWaitsForThePreambleThenTakesAFrame) {
    sci.write(sci_reg::kScicr2, kTe);
    EXPECT_EQ(status() & kTc, 0);  // the preamble is queued
    send(0x5A);
    EXPECT_EQ(status() & kTdre, 0);
    sci.advance(kFrame - 1);
    EXPECT_EQ(status() & kTdre, 0);
    sci.advance(1);  // preamble out: the byte moves into the shifter
    EXPECT_EQ(status() & (kTdre | kTc), kTdre);
    EXPECT_TRUE(sci.take_line_out().empty());
    sci.advance(kFrame);
    EXPECT_EQ(sci.take_line_out(), std::vector<uint8_t>{0x5A});
    EXPECT_EQ(status() & (kTdre | kTc), kTdre | kTc);
}

TEST_F(SciTest, AWriteWithoutTheStatusReadSendsNothing) {
    sci.write(sci_reg::kScicr2, kTe);
    sci.advance(kFrame);
    sci.write(sci_reg::kScidrl, 0x11);
    sci.advance(2 * kFrame);
    EXPECT_TRUE(sci.take_line_out().empty());
    EXPECT_NE(status() & kTdre, 0);
}

TEST_F(SciTest, TwoBytesGoOutBackToBack) {
    sci.write(sci_reg::kScicr2, kTe);
    sci.advance(kFrame);
    send(0x01);
    send(0x02);  // the first is already in the shifter, the second waits in the register
    EXPECT_EQ(status() & kTdre, 0);
    sci.advance(2 * kFrame);
    EXPECT_EQ(sci.take_line_out(), (std::vector<uint8_t>{0x01, 0x02}));
}

TEST_F(SciTest, ReceiveAndClearRdrfOnlyByTheSequence) {
    sci.write(sci_reg::kScicr2, kRe);
    sci.line_in(0x41);
    sci.advance(kFrame / 2);
    EXPECT_EQ(sci.peek(sci_reg::kScisr2) & kRaf, kRaf);
    sci.advance(kFrame / 2);
    EXPECT_EQ(status() & kRdrf, kRdrf);
    EXPECT_EQ(sci.read(sci_reg::kScidrl), 0x41);
    EXPECT_EQ(status() & kRdrf, kRdrf);  // no status read before it
    EXPECT_EQ(receive(), 0x41);
    EXPECT_EQ(status() & kRdrf, 0);
}

TEST_F(SciTest, AFrameWhileRdrfIsSetIsLostAndSetsOverrun) {
    sci.write(sci_reg::kScicr2, kRe);
    sci.line_in(0x01);
    sci.line_in(0x02);
    sci.advance(2 * kFrame);
    EXPECT_EQ(status() & (kRdrf | kOr), kRdrf | kOr);
    EXPECT_EQ(receive(), 0x01);
    EXPECT_EQ(status() & (kRdrf | kOr), 0);
}

TEST_F(SciTest, IdleSetsOnceAFrameTimeAfterTheLastFrame) {
    sci.write(sci_reg::kScicr2, kRe);
    sci.line_in(0x01);
    sci.advance(2 * kFrame - 1);
    EXPECT_EQ(status() & kIdle, 0);
    sci.advance(1);
    EXPECT_EQ(status() & kIdle, kIdle);
    (void)receive();
    sci.advance(4 * kFrame);
    EXPECT_EQ(status() & kIdle, 0);  // not again before another frame
}

TEST(SciReceive, ErrorFlags) {
    const struct {
        uint8_t cr1;
        SciFrame frame;
        uint8_t flags;
    } cases[] = {
        {0, {0x00, true, true, false}, kFe},        {0, {0x00, true, false, true}, kNf},
        {kPe, {0x03, true, false, false}, 0},        // even parity: two ones
        {kPe, {0x01, true, false, false}, kPf},      // one
        {kPe | kPt, {0x01, true, false, false}, 0},  // odd parity
        {kPe | kM, {0x01, true, false, false}, 0},   // ninth bit makes it even
    };
    for (const auto& c : cases) {
        Sci sci;
        sci.write(sci_reg::kScibdl, kSbr);
        sci.write(sci_reg::kScicr1, c.cr1);
        sci.write(sci_reg::kScicr2, kRe);
        sci.line_in(c.frame);
        sci.advance(sci.frame_cycles());
        EXPECT_EQ(sci.peek(sci_reg::kScisr1) & (kFe | kNf | kPf), c.flags)
            << "cr1 " << int{c.cr1} << " value " << int{c.frame.value};
        (void)sci.read(sci_reg::kScisr1);
        (void)sci.read(sci_reg::kScidrl);
        EXPECT_EQ(sci.peek(sci_reg::kScisr1) & (kFe | kNf | kPf), 0);
    }
}

TEST_F(SciTest, NothingMovesWithTheReceiverOffOrTheRateGeneratorStopped) {
    sci.line_in(0x01);
    sci.advance(2 * kFrame);
    sci.write(sci_reg::kScicr2, kRe);
    sci.advance(2 * kFrame);
    EXPECT_EQ(status() & kRdrf, 0);  // dropped while RE was clear

    sci.write(sci_reg::kScibdl, 0);
    sci.write(sci_reg::kScicr2, kRe | kTe);
    sci.line_in(0x02);
    send(0x03);
    sci.advance(100 * kFrame);
    EXPECT_EQ(status() & kRdrf, 0);
    EXPECT_TRUE(sci.take_line_out().empty());
}

TEST_F(SciTest, InterruptRequestFollowsFlagsAndEnables) {
    EXPECT_FALSE(sci.interrupt_requested());
    sci.write(sci_reg::kScicr2, kTie);
    EXPECT_TRUE(sci.interrupt_requested());  // TDRE is set out of reset
    sci.write(sci_reg::kScicr2, kRie | kRe);
    EXPECT_FALSE(sci.interrupt_requested());
    sci.line_in(0x01);
    sci.advance(kFrame);
    EXPECT_TRUE(sci.interrupt_requested());
}

}  // namespace
}  // namespace zelv::sim::test
