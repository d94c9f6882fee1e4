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
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "the record is shared between processes");

// CTS as the host reads it.
[[nodiscard]] inline bool modem_cts(const ModemLines& lines) {
    const uint32_t taken = lines.taken.load();
    const uint32_t fault = lines.fault.load();
    if (fault != kCtsFollows && taken >= lines.fault_after.load()) {
        return fault == kCtsStuckHigh;
    }
    return lines.acked.load() == taken;
}

// The host negates RTS: the bytes taken so far are acknowledged.
inline void modem_set_rts(ModemLines& lines, bool asserted) {
    lines.rts.store(asserted ? 1 : 0);
    if (!asserted) {
        lines.acked.store(lines.taken.load());
    }
}

}  // namespace zelv::sim
