// The progress bar in its terminal and pipe forms, and its summary line.
#include <gtest/gtest.h>

#include <string>

#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "fakes/run_state.h"

namespace zelv {
namespace {

class ProgressTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        settings().verbose = 1;
    }
    void TearDown() override { console_set_terminal(-1); }
};

const std::string kTerminalOpening =
    "FLASH read: data [" + std::string(50, ' ') + "]" + std::string(51, '\b');

TEST_F(ProgressTest, PipeFormDrawsOneMarkPerTwoPercent) {
    console_set_terminal(0);
    testing::internal::CaptureStdout();
    (void)progress_start("FLASH read: data");
    for (uint32_t percent = 1; percent <= 100; ++percent) {
        progress_step(percent, 100);
    }
    progress_end(0, nullptr, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "FLASH read: data [" + std::string(50, '#') + "]\n");
}

TEST_F(ProgressTest, TerminalFormTurnsOddDashesIntoMarks) {
    console_set_terminal(1);
    testing::internal::CaptureStdout();
    (void)progress_start("FLASH read: data");
    progress_step(1, 200);  // half a percent rounds up to the first step
    progress_step(2, 100);
    progress_step(3, 100);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, kTerminalOpening + "-\b#-");

    testing::internal::CaptureStdout();
    progress_step(100, 100);  // straight to the end draws every remaining step at once
    progress_end(0, nullptr, 0);
    out = testing::internal::GetCapturedStdout();
    std::string expected = "\b#";
    for (int step = 4; step < 100; step += 2) {
        expected += "-\b#";
    }
    EXPECT_EQ(out, expected + "]\n");
}

TEST_F(ProgressTest, NothingDrawnWithoutProgressOrPastTheEnd) {
    console_set_terminal(0);
    testing::internal::CaptureStdout();
    (void)progress_start("x");
    progress_step(0, 1000);
    progress_step(5000, 1000);  // a caller past its total still stops at 50 columns
    progress_step(0xFFFFFFFFU, 1);
    progress_end(0, nullptr, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "x [" + std::string(50, '#') + "]\n");
}

TEST_F(ProgressTest, DebugKeepsBracketsAndSummaryButNoMarks) {
    console_set_terminal(0);
    settings().debug = 1;
    testing::internal::CaptureStdout();
    const uint64_t start = progress_start("EEPROM read: data");
    progress_step(50, 100);
    progress_step(100, 100);
    progress_end(start, "EEPROM read: data", 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("EEPROM read: data []\nEEPROM read: data size <0 B> time <0.", 0), 0U)
        << out;
}

TEST_F(ProgressTest, QuietPrintsNothingButStillTimes) {
    settings().verbose = 0;
    testing::internal::CaptureStdout();
    const uint64_t before = clock_ms();
    const uint64_t start = progress_start("x");
    progress_step(100, 100);
    progress_end(start, "x", 100);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_GE(start, before);
}

TEST_F(ProgressTest, SummaryRoundsTimeAndRate) {
    console_set_terminal(0);
    struct Case {
        uint64_t elapsed;  // the clock moves on by a few ms at most during the call
        uint32_t size;
        std::string line;
    };
    const Case cases[] = {
        {12345, 49152, "FLASH read: data size <49152 B> time <12.35 s> rate <3979 B/s>\n"},
        {0, 4096, "FLASH read: data size <4096 B> time <0.00 s> rate <0 B/s>\n"},
        {5, 100, "FLASH read: data size <100 B> time <0.01 s> rate <10000 B/s>\n"},
        {2000000, 0x80000, "FLASH read: data size <524288 B> time <2000.00 s> rate <262 B/s>\n"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        progress_end(clock_ms() - c.elapsed, "FLASH read: data", c.size);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "]\n" + c.line);
    }
}

}  // namespace
}  // namespace zelv
