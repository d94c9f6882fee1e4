// The paced link's arithmetic: when answer bytes fall due, what each exchange adds to the
// bound, and the simulator's lateness kept as wall time the other side waited (a stretch
// counted once, however many deliveries it covers).
#include <gtest/gtest.h>

#include "common/link_pacing.h"

namespace zelv::sim {
namespace {

constexpr uint64_t kMs = 1'000'000;

TEST(LinkPacing, ByteTimeIsTenBitsAtTheRateOr115200WhenUnknown) {
    EXPECT_EQ(link_byte_ns(115200), 86805U);
    EXPECT_EQ(link_byte_ns(0), 86805U);
    EXPECT_EQ(link_byte_ns(38400), 260416U);
    EXPECT_EQ(link_byte_ns(9600), 1041666U);
}

TEST(LinkPacing, AnswerStartsAfterDeviceAndTurnaroundButNeverOvertakesTheQueue) {
    struct Case {
        uint64_t from, device, turnaround, queued, byte, count, due;
    };
    const Case cases[] = {
        {10 * kMs, 0, kMs, 0, 100, 1, 11 * kMs + 100},          // idle line: turnaround, a byte
        {10 * kMs, 5 * kMs, kMs, 0, 100, 3, 16 * kMs + 300},    // the device's own time first
        {10 * kMs, 0, kMs, 20 * kMs, 100, 2, 20 * kMs + 200},   // behind bytes still queued
        {10 * kMs, 0, kMs, 11 * kMs, 100, 1, 11 * kMs + 100},   // queue ends at the turnaround
    };
    for (const Case& c : cases) {
        EXPECT_EQ(link_answer_due(c.from, c.device, c.turnaround, c.queued, c.byte, c.count), c.due)
            << "from " << c.from << " queued " << c.queued;
    }
}

TEST(LinkPacing, BoundPerExchange) {
    LinkPacing pacing;
    pacing.turnaround_us = 1000;
    pacing.modem_latency_us = 1000;
    // A host byte: its byte time, plus the pod's CTS cycle of three modem-line latencies.
    EXPECT_EQ(link_host_byte_bound_ns(pacing, 100, false), 100U);
    EXPECT_EQ(link_host_byte_bound_ns(pacing, 100, true), 100 + 3 * kMs);
    // An answer: device time, turnaround and its bytes ...
    EXPECT_EQ(link_answer_bound_ns(pacing, 2 * kMs, 100, 10, false), 3 * kMs + 1000);
    // ... less the CTS cycle it overlaps behind a handshake, never below nothing.
    EXPECT_EQ(link_answer_bound_ns(pacing, 0, 100, 30000, true), kMs);
    EXPECT_EQ(link_answer_bound_ns(pacing, 0, 100, 1, true), 0U);
}

TEST(LinkPacing, LatenessIsWallTimeTheOtherSideWaitedCountedOnce) {
    LinkCounts counts;
    link_note_delivery(&counts, 10 * kMs, 9 * kMs, true);  // early: the line's own schedule
    EXPECT_EQ(counts.late_ns, 0U);
    // A 5 ms stall: the byte due at 10 ms and the 100 queued behind it (due a byte time
    // apart) all go out at 15 ms; the host waits on the last, 4 ms late.
    for (uint64_t i = 0; i <= 100; ++i) {
        link_note_delivery(&counts, 10 * kMs + i * 10000, 15 * kMs, i == 100);
    }
    EXPECT_EQ(counts.late_ns, 4 * kMs);
    EXPECT_EQ(counts.late_max_ns, 4 * kMs);
    EXPECT_EQ(counts.late_events, 101U);
    // Mid-stream bytes a little late each, made up by the bytes behind them: not waited on.
    for (uint64_t i = 0; i < 100; ++i) {
        link_note_delivery(&counts, 20 * kMs + i * 100000, 20 * kMs + i * 100000 + 60000, false);
    }
    EXPECT_EQ(counts.late_ns, 4 * kMs);
    // Waits that overlap count their union: 2 ms from 30 ms, then one due at 31 ms at 33 ms.
    link_note_delivery(&counts, 30 * kMs, 32 * kMs, true);
    link_note_delivery(&counts, 31 * kMs, 33 * kMs, true);
    EXPECT_EQ(counts.late_ns, 7 * kMs);
    EXPECT_EQ(counts.late_max_ns, 4 * kMs);
    EXPECT_EQ(counts.events, 204U);
}

}  // namespace
}  // namespace zelv::sim
