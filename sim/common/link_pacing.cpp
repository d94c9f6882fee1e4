#include "common/link_pacing.h"

#include <ctime>

namespace zelv::sim {

uint64_t link_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void link_note_delivery(LinkCounts* counts, uint64_t due_ns, uint64_t now_ns) {
    ++counts->events;
    if (now_ns > due_ns) {
        counts->late_ns += now_ns - due_ns;
        if (now_ns - due_ns > 100000) {
            ++counts->late_events;
        }
    }
}

void link_stats_print(FILE* out, const LinkPacing& pacing, const LinkCounts& counts) {
    std::fprintf(out,
                 "paced %d\nturnaround_us %u\nmodem_latency_us %u\nusb_latency_us %u\n"
                 "bytes_to_device %llu\nbytes_to_host %llu\nturnarounds %llu\nhandshakes %llu\n"
                 "transfers %llu\ndevice_us %llu\nbound_us %llu\nlate_us %llu\nlate_events %llu\n"
                 "events %llu\n",
                 pacing.paced ? 1 : 0, pacing.turnaround_us, pacing.modem_latency_us,
                 pacing.usb_latency_us, static_cast<unsigned long long>(counts.bytes_to_device),
                 static_cast<unsigned long long>(counts.bytes_to_host),
                 static_cast<unsigned long long>(counts.turnarounds),
                 static_cast<unsigned long long>(counts.handshakes),
                 static_cast<unsigned long long>(counts.transfers),
                 static_cast<unsigned long long>(counts.device_ns / 1000),
                 static_cast<unsigned long long>(counts.bound_ns / 1000),
                 static_cast<unsigned long long>(counts.late_ns / 1000),
                 static_cast<unsigned long long>(counts.late_events),
                 static_cast<unsigned long long>(counts.events));
}

}  // namespace zelv::sim
