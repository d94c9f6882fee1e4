// sim/modem: the modem lines pseudo-terminals lack, shared with the program under test through
// a preloaded library. It knows the lines, not the pod that drives them.
//
// The modem lines of the pod's pseudo-terminal. Linux pseudo-terminals have none, so the
// simulator and the program under test share this small record in a mapped file: the
// program's RTS requests land in it (through the library that zelvanor-sim preloads into
// the program), and CTS is read from it, as the pod drives it.
//
// The pod's CTS: asserted while it can take a byte, lowered once it has one, and asserted
// again only after the host has negated RTS for that byte (a four-phase handshake, so the
// host never misses the lowered CTS). A fault can hold CTS high or low from the n-th byte on.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace zelv::sim {

// The environment variable that names the shared file for the preloaded library.
inline constexpr const char* kModemEnvironment = "ZELVANOR_SIM_MODEM";
inline constexpr uint32_t kModemMagic = 0x5A4D4C31;  // "ZML1"

enum CtsFault : uint32_t { kCtsFollows = 0, kCtsStuckHigh = 1, kCtsStuckLow = 2 };

struct ModemLines {
    uint32_t magic;
    uint32_t reserved;
    uint64_t device;                    // st_rdev of the pseudo-terminal's slave side
    std::atomic<uint32_t> rts;          // host: 1 while RTS is asserted
    std::atomic<uint32_t> taken;        // pod: bytes it has taken off the line
    std::atomic<uint32_t> acked;        // host: `taken` as it stood when RTS was last negated
    std::atomic<uint32_t> fault;        // CtsFault
    std::atomic<uint32_t> fault_after;  // bytes taken before the fault holds CTS
    // Paced lines: each change reaches the other side this long after it happened (0: at
    // once). The pod's CTS drop shows latency_ns after it took the byte; a negated RTS
    // reaches the pod latency_ns after the host's request, and the CTS it raises then
    // another latency_ns later.
    std::atomic<uint64_t> latency_ns;
    std::atomic<uint64_t> taken_at_ns;  // when `taken` last grew
    std::atomic<uint64_t> acked_at_ns;  // when the host last negated RTS
    // Bumped on every change of the lines, so that a host waiting for one (TIOCMIWAIT) can
    // sleep on it as a futex word shared between the processes.
    std::atomic<uint32_t> changes;
    std::atomic<uint32_t> no_wait;  // 1: TIOCMIWAIT is refused, as by a driver without it
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "the record is shared between processes");

// The monotonic clock both processes read, in nanoseconds.
[[nodiscard]] inline uint64_t modem_clock_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Wakes whoever sleeps on the lines' change counter.
inline void modem_changed(ModemLines& lines) {
    lines.changes.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&lines.changes), FUTEX_WAKE, INT32_MAX,
            nullptr, nullptr, 0);
}

// CTS as the host reads it at now_ns. *settles_ns, when not nullptr, is set to the time a
// change already under way reaches the host (0: none).
[[nodiscard]] inline bool modem_cts(const ModemLines& lines, uint64_t now_ns,
                                    uint64_t* settles_ns = nullptr) {
    if (settles_ns != nullptr) {
        *settles_ns = 0;
    }
    const uint32_t taken = lines.taken.load();
    const uint32_t fault = lines.fault.load();
    if (fault != kCtsFollows && taken >= lines.fault_after.load()) {
        return fault == kCtsStuckHigh;
    }
    const uint64_t latency = lines.latency_ns.load();
    const bool acked = lines.acked.load() == taken;
    // The drop (a byte taken) needs one latency to reach the host, the rise (RTS negated)
    // two: the request travelling to the pod, and CTS back.
    const uint64_t at = acked ? lines.acked_at_ns.load() + 2 * latency
                              : lines.taken_at_ns.load() + latency;
    if (now_ns >= at) {
        return acked;
    }
    if (settles_ns != nullptr) {
        *settles_ns = at;
    }
    return !acked;
}

[[nodiscard]] inline bool modem_cts(const ModemLines& lines) {
    return modem_cts(lines, modem_clock_ns());
}

// The pod has taken a byte off the line.
inline void modem_take(ModemLines& lines) {
    lines.taken_at_ns.store(modem_clock_ns());
    lines.taken.fetch_add(1);
    modem_changed(lines);
}

// The host negates RTS: the bytes taken so far are acknowledged.
inline void modem_set_rts(ModemLines& lines, bool asserted) {
    lines.rts.store(asserted ? 1 : 0);
    if (!asserted) {
        lines.acked_at_ns.store(modem_clock_ns());
        lines.acked.store(lines.taken.load());
        modem_changed(lines);
    }
}

}  // namespace zelv::sim
