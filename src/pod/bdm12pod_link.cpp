// The BDM12POD's serial line: the byte handshake, command exchanges, the pod's open and close
// and its two resets.
#include <cerrno>
#include <cstdint>

#include "base/console.h"
#include "base/settings.h"
#include "link/serial.h"
#include "pod/bdm12pod.h"
#include "pod/bdm12pod_slots.h"
#include "pod/bdm12pod_wire.h"

namespace zelv {
namespace {

using namespace zelv::bdm12pod_wire;

constexpr unsigned kTimeoutMs = 2000;
constexpr unsigned kCtsLimitMs = 2000;
constexpr unsigned long kDefaultBaud = 115200;
constexpr unsigned long kMinimumOsc = 2000;
constexpr uint8_t kTraceDelayMs = 0;
constexpr uint8_t kResetDelayMs = 1;

constexpr uint8_t kCustomSpeedCode = 4;

// The E-clocks the pod knows by code (0 to 3).
constexpr unsigned long kEclocks[] = {1000000, 2000000, 4000000, 8000000};

struct PodState {
    SerialPort port;
    uint8_t version = 0;      // bit 7 cleared
    uint8_t reset_delay = 0;  // ms to wait after the special reset
};

PodState pod;

// Waits for CTS without spinning (the serial layer sleeps until the line changes); after
// kCtsLimitMs on the monotonic clock the pod is taken as not ready.
int wait_for_cts(int wanted, const char* message) {
    const int result = serial_wait_cts(&pod.port, wanted, kCtsLimitMs);
    if (result == ETIMEDOUT) {
        report_error("%s", message);
        return EIO;
    }
    return result;
}

int set_rts(int value) {
    return serial_modem_line(&pod.port, kSetRts, &value);
}

// A byte nobody asked for (line noise, a pod that glitched) would shift every later reply
// by one, so each command starts on an empty line: anything waiting fails the operation.
int check_line_empty() {
    std::size_t count = 0;
    const int result = serial_discard(&pod.port, 0, kTimeoutMs, &count);
    if (result != 0 || count == 0) {
        return result;
    }
    report_error("unexpected data from the BDM12POD (%zu byte%s)\n", count, count == 1 ? "" : "s");
    return EIO;
}

// Closes the port after a failure of the open and hands the failure back.
int close_after(int result) {
    (void)serial_close(&pod.port);
    return result;
}

// Picks the E-clock code for osc (and sends the custom timing value for code 4).
int set_eclock(unsigned long osc, uint8_t* code) {
    const Settings& s = settings();
    const unsigned long eclock = osc / 2;
    if (s.podex_25) {
        *code = 3;  // this board's code 3 is its 25 MHz target's E-clock
        return 0;
    }
    for (uint8_t c = 0; c < 4; ++c) {
        if (eclock == kEclocks[c]) {
            *code = c;
            return 0;
        }
    }
    if (pod.version <= 0x46) {
        report_error("this BDM12POD version supports only 1/2/4/8 MHz E-clock\n");
        return EOPNOTSUPP;
    }
    uint16_t word = 0;
    if (bdm12pod_eclock_word(osc, &word) != 0) {
        report_error("invalid oscillator frequency: %lu\n", osc);
        return EINVAL;
    }
    const uint8_t custom[] = {kPodCommand, kSetCustomSpeed, 0x00, static_cast<uint8_t>(word >> 8),
                              static_cast<uint8_t>(word & 0xFF)};
    *code = kCustomSpeedCode;
    return bdm12pod_send(custom, sizeof custom);
}

int bring_up() {
    Settings& s = settings();
    print_info("BDM12POD serial port <%s> baud rate <%lu bps>\n", s.port, s.baud);

    const uint8_t sync[] = {kSync};
    int result = bdm12pod_send(sync, sizeof sync);
    if (result != 0) {
        return result;
    }
    print_debug("BDM12POD sync\n");

    const uint8_t ask[] = {kPodCommand, kGetVersion};
    uint8_t version = 0;
    if ((result = bdm12pod_command(ask, sizeof ask, &version, 1)) != 0) {
        return result;
    }
    pod.version = static_cast<uint8_t>(version & 0x7F);
    print_info("BDM12POD version <%u.%u%s>\n", (version >> 4) & 0x7U, version & 0xFU,
               (version & 0x80) != 0 ? " +MODA/MODB" : "");

    // The custom timing value divides by osc / 2000; nothing below that is an oscillator.
    if (s.osc < kMinimumOsc) {
        report_error("invalid oscillator frequency: %lu\n", s.osc);
        return EINVAL;
    }
    uint8_t code = 0;
    if ((result = set_eclock(s.osc, &code)) != 0) {
        return result;
    }
    const uint8_t speed[] = {kPodCommand, kSetSpeed, code, kTraceDelayMs, kResetDelayMs};
    if ((result = bdm12pod_send(speed, sizeof speed)) != 0) {
        return result;
    }
    const unsigned long eclock = s.osc / 2;
    print_info("BDM12POD E-clock <%lu.%06lu MHz> trace delay <%u ms> reset delay <%u ms>\n",
               eclock / 1000000, eclock % 1000000, kTraceDelayMs, kResetDelayMs);
    pod.reset_delay = kResetDelayMs;
    return 0;
}

}  // namespace

int bdm12pod_open() {
    Settings& s = settings();
    if (s.osc == 0) {
        report_error("oscillator frequency not specified (-o option required)\n");
        return EINVAL;
    }
    if (s.port == nullptr) {
        report_error("serial port not specified (-p option required)\n");
        return EINVAL;
    }
    int result = serial_open(&pod.port, s.port);
    if (result != 0) {
        return result;
    }
    if (s.baud == 0) {
        s.baud = kDefaultBaud;
    }
    // The pod's handshake is done by hand, byte by byte: no flow control on the line.
    SerialSettings line;
    line.baud_rate = s.baud;
    line.flow_control = kFlowNone;
    if ((result = serial_set_settings(&pod.port, &line)) != 0) {
        return close_after(result);
    }
    // What the line held before this run is no reply to anything of ours.
    std::size_t stale = 0;
    if ((result = serial_discard(&pod.port, 0, kTimeoutMs, &stale)) != 0) {
        return close_after(result);
    }
    if ((result = bring_up()) != 0) {
        return close_after(result);
    }
    return 0;
}

int bdm12pod_close() {
    return serial_close(&pod.port);
}

int bdm12pod_reset_special() {
    const uint8_t reset[] = {kResetSpecial};
    const int result = bdm12pod_send(reset, sizeof reset);
    if (result != 0) {
        return result;
    }
    print_debug("BDM12POD reset\n");
    sleep_ms(pod.reset_delay);
    return 0;
}

int bdm12pod_reset_normal() {
    const uint8_t low[] = {kResetLow};
    int result = bdm12pod_send(low, sizeof low);
    if (result != 0) {
        return result;
    }
    print_debug("BDM12POD reset <low>\n");
    const uint8_t high[] = {kResetHigh};
    if ((result = bdm12pod_send(high, sizeof high)) != 0) {
        return result;
    }
    print_debug("BDM12POD reset <high>\n");
    return 0;
}

SerialPort& bdm12pod_port() {
    return pod.port;
}

uint8_t bdm12pod_version() {
    return pod.version;
}

int bdm12pod_eclock_word(unsigned long osc, uint16_t* word) {
    if (osc < kMinimumOsc) {
        return EINVAL;
    }
    // Signed: for oscillators from about 142 MHz up the subtraction goes below zero.
    const auto kilo_half = static_cast<int64_t>(osc / 2000);
    const int64_t value = ((128000000 / kilo_half - 1000) / 32) / 25;
    if (value <= 0 || value > 0xFFFF) {
        return EINVAL;
    }
    *word = static_cast<uint16_t>(value);
    return 0;
}

int bdm12pod_send(const uint8_t* bytes, std::size_t count) {
    if (const int result = check_line_empty(); result != 0) {
        return result;
    }
    for (std::size_t i = 0; i < count; ++i) {
        int result = set_rts(1);
        if (result == 0) {
            result = wait_for_cts(1, "BDM12POD not ready (CTS not asserted)\n");
        }
        if (result == 0) {
            std::size_t one = 1;
            result = serial_write(&pod.port, bytes + i, &one, kTimeoutMs);
        }
        if (result == 0) {
            result = wait_for_cts(0, "BDM12POD not ready (CTS not lowered)\n");
        }
        if (result == 0) {
            result = set_rts(0);
        }
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

int bdm12pod_command(const uint8_t* bytes, std::size_t count, uint8_t* reply,
                     std::size_t reply_length) {
    int result = bdm12pod_send(bytes, count);
    if (result != 0 || reply_length == 0) {
        return result;
    }
    std::size_t got = reply_length;
    result = serial_read(&pod.port, reply, &got, kTimeoutMs);
    if (result == ETIMEDOUT) {
        report_error("connection timed out\n");
    }
    return result;
}

}  // namespace zelv
