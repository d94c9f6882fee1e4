#include "common/link_pacing.h"

#include <algorithm>
#include <ctime>

namespace zelv::sim {

uint64_t link_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t link_byte_ns(uint64_t rate) {
    return 10'000'000'000ULL / (rate != 0 ? rate : 115200);
}

uint64_t link_answer_due(uint64_t from_ns, uint64_t device_ns, uint64_t turnaround_ns,
                         uint64_t queued_ns, uint64_t byte_ns, uint64_t count) {
    return std::max(from_ns + device_ns + turnaround_ns, queued_ns) + count * byte_ns;
}

uint64_t link_answer_bound_ns(const LinkPacing& pacing, uint64_t device_ns, uint64_t byte_ns,
                              uint64_t count, bool handshake) {
    const uint64_t answer = device_ns + uint64_t{pacing.turnaround_us} * 1000 + count * byte_ns;
    const uint64_t cycle = handshake ? 3 * uint64_t{pacing.modem_latency_us} * 1000 : 0;
    return answer > cycle ? answer - cycle : 0;
}

uint64_t link_host_byte_bound_ns(const LinkPacing& pacing, uint64_t byte_ns, bool handshake) {
    return byte_ns + (handshake ? 3 * uint64_t{pacing.modem_latency_us} * 1000 : 0);
}

void link_note_delivery(LinkCounts* counts, uint64_t due_ns, uint64_t now_ns, bool waited) {
    ++counts->events;
    if (now_ns <= due_ns) {
        return;
    }
    const uint64_t delay = now_ns - due_ns;
    if (delay > 100000) {
        ++counts->late_events;
    }
    if (!waited) {
        return;
    }
    counts->late_max_ns = std::max(counts->late_max_ns, delay);
    // Count the wall time [due, now] only where it reaches past what is counted already.
    const uint64_t from = std::max(due_ns, counts->late_until_ns);
    if (now_ns > from) {
        counts->late_ns += now_ns - from;
        counts->late_until_ns = now_ns;
    }
}

void link_stats_print(FILE* out, const LinkPacing& pacing, const LinkCounts& counts) {
    std::fprintf(out,
                 "paced %d\nturnaround_us %u\nmodem_latency_us %u\nusb_latency_us %u\n"
                 "bytes_to_device %llu\nbytes_to_host %llu\nturnarounds %llu\nhandshakes %llu\n"
                 "transfers %llu\ndevice_us %llu\nbound_us %llu\nlate_us %llu\nlate_max_us %llu\n"
                 "late_events %llu\nevents %llu\n",
                 pacing.paced ? 1 : 0, pacing.turnaround_us, pacing.modem_latency_us,
                 pacing.usb_latency_us, static_cast<unsigned long long>(counts.bytes_to_device),
                 static_cast<unsigned long long>(counts.bytes_to_host),
                 static_cast<unsigned long long>(counts.turnarounds),
                 static_cast<unsigned long long>(counts.handshakes),
                 static_cast<unsigned long long>(counts.transfers),
                 static_cast<unsigned long long>(counts.device_ns / 1000),
                 static_cast<unsigned long long>(counts.bound_ns / 1000),
                 static_cast<unsigned long long>(counts.late_ns / 1000),
                 static_cast<unsigned long long>(counts.late_max_ns / 1000),
                 static_cast<unsigned long long>(counts.late_events),
                 static_cast<unsigned long long>(counts.events));
}

}  // namespace zelv::sim
