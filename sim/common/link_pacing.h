// How fast the virtual target's links carry what crosses them, and what crossed them.
//
// Unpaced (the default, and what the tests use), every device answers at once. Paced, the
// links behave like the hardware a host meets: serial bytes no faster than the line's rate
// (10 bits a byte: start, eight data, stop), each answer after a turnaround (a USB serial
// adapter in low-latency mode needs about 1 ms), modem-line changes seen by the other side
// a latency later (an RTS change is a USB control transfer; CTS reaches the host with the
// adapter's next status report), and every transfer of the USB pod about one full-speed
// frame (1 ms).
//
// The counts give the lower bound a host that reacts at once could reach over these links;
// the lateness is the simulator's own: how far behind its schedule the machine let it
// deliver, which a loaded machine adds to any host's time. It is kept as wall time so that it
// can be set against the session's wall time and its gap to the bound: only deliveries a host
// waits on count (the byte that empties the queue towards the host or the device, a USB
// transfer; a byte late in mid-stream is made up by those behind it, which keep their
// schedule), and a stretch is counted once however many deliveries it covers.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zelv::sim {

struct LinkPacing {
    bool paced = false;
    uint32_t turnaround_us = 1000;
    uint32_t modem_latency_us = 1000;
    uint32_t usb_latency_us = 1000;
};

struct LinkCounts {
    uint64_t bytes_to_device = 0;
    uint64_t bytes_to_host = 0;
    uint64_t turnarounds = 0;  // answers the device sent
    uint64_t handshakes = 0;   // host bytes taken with the RTS/CTS handshake
    uint64_t transfers = 0;    // USB transfers
    uint64_t device_ns = 0;    // time the device itself was busy before answering
    uint64_t bound_ns = 0;     // the least time the link allows for all of the above
    uint64_t late_ns = 0;      // wall time during which a waited-on delivery was overdue
    uint64_t late_max_ns = 0;  // the largest delay of a waited-on delivery
    uint64_t late_until_ns = 0;  // the end of the last stretch counted in late_ns
    uint64_t late_events = 0;  // deliveries that were more than 100 us late
    uint64_t events = 0;       // paced deliveries in all
};

// The time a byte takes on a line of `rate` bits per second, 10 bits a byte (start, eight
// data, stop); an unknown rate (0) is taken as 115200.
[[nodiscard]] uint64_t link_byte_ns(uint64_t rate);

// When the last of `count` answer bytes is due: the answer to a host byte due at from_ns
// starts after the device's own time and the turnaround, but never before the bytes still
// queued (the last due at queued_ns), and leaves a byte time per byte.
[[nodiscard]] uint64_t link_answer_due(uint64_t from_ns, uint64_t device_ns,
                                       uint64_t turnaround_ns, uint64_t queued_ns,
                                       uint64_t byte_ns, uint64_t count);

// What one answer of `count` bytes adds to the bound. Behind the pod's handshake the answer
// overlaps the CTS cycle (three modem-line latencies) of the host byte it answers.
[[nodiscard]] uint64_t link_answer_bound_ns(const LinkPacing& pacing, uint64_t device_ns,
                                            uint64_t byte_ns, uint64_t count, bool handshake);

// What one host byte adds to the bound: its byte time, and with the handshake the CTS drop
// seen by the host, its RTS negation reaching the pod and CTS back.
[[nodiscard]] uint64_t link_host_byte_bound_ns(const LinkPacing& pacing, uint64_t byte_ns,
                                               bool handshake);

// The monotonic clock the schedules run on, in nanoseconds.
[[nodiscard]] uint64_t link_clock_ns();

// Notes a paced delivery due at due_ns that happened at now_ns; waited: the other side
// waits on it (the last byte queued, a USB transfer).
void link_note_delivery(LinkCounts* counts, uint64_t due_ns, uint64_t now_ns, bool waited);

// The counts as "name value" lines (times in microseconds).
void link_stats_print(FILE* out, const LinkPacing& pacing, const LinkCounts& counts);

}  // namespace zelv::sim
