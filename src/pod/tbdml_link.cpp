// The TBDML's USB link: the command transfers and their status checks, the pod's open with
// its speed setting or measurement, the close and the two resets.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/console.h"
#include "base/settings.h"
#include "link/usb_access.h"
#include "pod/tbdml.h"
#include "pod/tbdml_slots.h"
#include "pod/tbdml_wire.h"

namespace zelv {
namespace {

using namespace zelv::tbdml_wire;

constexpr unsigned kTimeoutMs = 1000;
constexpr unsigned kBulkEndpoint = 2;  // OUT 0x02, IN 0x82
constexpr unsigned kVendorOut = 0x40;
constexpr unsigned kVendorIn = 0xC0;



constexpr uint8_t kTargetHcs12 = 0;
constexpr uint8_t kResetSpecialMode = 0;
constexpr uint8_t kResetNormalMode = 1;
// After the pod releases RESET the part runs its reset sequence (a few hundred bus cycles,
// more while a crystal starts): BDM reads give the idle line (0xFF) until it is done. The
// pod is asked after a minimum that covers the sequence, then every millisecond, and the
// old fixed settling time is only the limit.
constexpr unsigned long kResetMinimumMs = 1;
constexpr unsigned long kResetPollMs = 1;
constexpr unsigned long kResetSettleMs = 100;
constexpr uint16_t kBdmsts = 0xFF01;
constexpr uint8_t kBdmact = 0x40;
constexpr uint8_t kIdleLine = 0xFF;  // BDMSTS bit 0 always reads 0, so 0xFF is no status

// The largest command: a block write chunk, address, count and 32 data bytes; the largest
// reply: a block read chunk of 32 bytes after the status.
constexpr std::size_t kMaxParams = 3 + 32;
constexpr std::size_t kMaxData = 32;

// The speed value is 153600000 / kHz in tenths, rounded: 960 for 16 MHz.
constexpr uint64_t kSpeedScale = 153600000;

struct Link {
    UsbHandle handle = nullptr;
};

Link link;

int unknown_response() {
    report_error("device communication failed: unknown response\n");
    return EIO;
}

// Judges a reply of `got` bytes against the `wanted` (the status and the data). An empty
// reply has no status to look at; a reply that is cut short is never taken as data.
int check_reply(uint8_t command, const uint8_t* reply, std::size_t got, std::size_t wanted) {
    if (got == 0) {
        return unknown_response();
    }
    if (reply[0] == kUnknownCommand) {
        report_error("device communication failed: unknown command\n");
        return EIO;
    }
    if (reply[0] == kRefused) {
        return -1;
    }
    if (reply[0] != command || got != wanted) {
        return unknown_response();
    }
    return 0;
}

// The first four parameter bytes as wValue and wIndex, low byte first; missing ones are 0.
void setup_words(const uint8_t* params, std::size_t count, unsigned* value, unsigned* index) {
    uint8_t p[4] = {};
    if (count > 0) {
        std::memcpy(p, params, std::min<std::size_t>(count, 4));
    }
    *value = p[0] | static_cast<unsigned>(p[1]) << 8;
    *index = p[2] | static_cast<unsigned>(p[3]) << 8;
}

// A refusal of an open step becomes its message and error number; other failures pass.
int refusal_as(int result, const char* message, int error) {
    if (result == -1) {
        report_error("%s", message);
        return error;
    }
    return result;
}

int set_speed(unsigned long osc) {
    uint16_t value = 0;
    if (tbdml_speed_value(osc, &value) != 0) {
        report_error("invalid target frequency\n");
        return EINVAL;
    }
    const uint8_t params[] = {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
    return refusal_as(
        tbdml_command(kSetSpeed, params, sizeof params, nullptr, TbdmlReply::kStatus, 0),
        "invalid target frequency\n", EINVAL);
}

// Connects, lets the pod measure the target's speed and keeps what it found as `osc`.
int measure_speed(unsigned long* osc) {
    constexpr const char* kNoTarget = "unable to connect to target device\n";
    int result = tbdml_command(kConnect, nullptr, 0, nullptr, TbdmlReply::kStatus, 0);
    if ((result = refusal_as(result, kNoTarget, EIO)) != 0) {
        return result;
    }
    uint8_t reply[2] = {};
    result = tbdml_command(kGetSpeed, nullptr, 0, reply, TbdmlReply::kStatusData, 2);
    if ((result = refusal_as(result, kNoTarget, EIO)) != 0) {
        return result;
    }
    const auto value = static_cast<uint16_t>(reply[0] | reply[1] << 8);
    // A pod that measured nothing has found no target; 0 MHz is no frequency to go on with.
    if (value == 0) {
        report_error("%s", kNoTarget);
        return EIO;
    }
    *osc = tbdml_frequency(value);
    print_info("TBDML detected target frequency <%lu.%03lu MHz>\n", *osc / 1000000,
               (*osc % 1000000) / 1000);
    return 0;
}

int bring_up() {
    uint8_t version[2] = {};
    int result = tbdml_command(kGetVersion, nullptr, 0, version, TbdmlReply::kStatusData, 2);
    if ((result = refusal_as(result, "unable to read TBDML version\n", EIO)) != 0) {
        return result;
    }
    print_info("TBDML hardware version <%u.%u> firmware version <%u.%u>\n", version[1] >> 4U,
               version[1] & 0x0FU, version[0] >> 4U, version[0] & 0x0FU);

    const uint8_t type[] = {kTargetHcs12};
    result = tbdml_command(kSetTargetType, type, sizeof type, nullptr, TbdmlReply::kStatus, 0);
    if ((result = refusal_as(result, "unable to set target type: invalid type\n", EINVAL)) != 0) {
        return result;
    }
    Settings& s = settings();
    return s.osc != 0 ? set_speed(s.osc) : measure_speed(&s.osc);
}

int reset(uint8_t mode) {
    const uint8_t params[] = {mode};
    const int result =
        tbdml_command(kReset, params, sizeof params, nullptr, TbdmlReply::kStatus, 0);
    if (result != 0) {
        return refusal_as(result, "unable to reset target: reset line stuck\n", EIO);
    }
    sleep_ms(kResetMinimumMs);
    // A BDM read ends the reset; what it gives does not matter, and a refusal neither (each
    // read is the pod's plain command, so a refusal prints nothing). A failure of the link
    // itself is reported once, here, and ends the reset. In special mode the part is ready
    // once BDMSTS shows the BDM active, so the read is repeated until it does, up to
    // kResetSettleMs; a part that never does is left to the connect that follows. In normal
    // mode the part runs its program and its BDM stays inactive: one read is all.
    const uint16_t at = mode == kResetNormalMode ? 0xFFFF : kBdmsts;
    const uint8_t address[] = {static_cast<uint8_t>(at & 0xFF), static_cast<uint8_t>(at >> 8)};
    const uint64_t start = clock_ms();
    for (;;) {
        uint8_t status = kIdleLine;
        const int read = tbdml_command(kReadBdByte, address, sizeof address, &status,
                                       TbdmlReply::kStatusData, 1);
        if (read != 0 && read != -1) {
            return read;
        }
        if (mode == kResetNormalMode ||
            (read == 0 && status != kIdleLine && (status & kBdmact) != 0)) {
            return 0;
        }
        const uint64_t now = clock_ms();
        if (now < start || now - start >= kResetSettleMs) {
            return 0;
        }
        sleep_ms(kResetPollMs);
    }
}

}  // namespace

int tbdml_command(uint8_t command, const uint8_t* params, std::size_t count, uint8_t* reply,
                  TbdmlReply kind, std::size_t n) {
    if (count > kMaxParams || n > kMaxData) {
        return EINVAL;  // no command of this pod is that long
    }
    unsigned value = 0;
    unsigned index = 0;
    setup_words(params, count, &value, &index);
    if (kind == TbdmlReply::kNone) {
        uint8_t stage[kMaxParams] = {};
        std::size_t size = count > 4 ? count - 4 : 0;
        if (size > 0) {
            std::memcpy(stage, params + 4, size);
        }
        return usbdev_control(link.handle, kVendorOut, command, value, index, stage, &size,
                              kTimeoutMs);
    }
    const std::size_t wanted = kind == TbdmlReply::kStatus ? 1 : n + 1;
    uint8_t buffer[kMaxData + 1] = {};
    std::size_t got = wanted;
    int result =
        usbdev_control(link.handle, kVendorIn, command, value, index, buffer, &got, kTimeoutMs);
    if (result == 0) {
        result = check_reply(command, buffer, got, wanted);
    }
    if (result == 0 && kind == TbdmlReply::kStatusData && n > 0) {
        std::memcpy(reply, buffer + 1, n);
    }
    return result;
}

int tbdml_bulk_command(uint8_t command, const uint8_t* params, std::size_t count, uint8_t* reply,
                       std::size_t n) {
    if (count > kMaxParams || n > kMaxData) {
        return EINVAL;
    }
    uint8_t packet[3 + kMaxParams] = {static_cast<uint8_t>(count + 2),
                                      static_cast<uint8_t>(count + 1), command};
    if (count > 0) {
        std::memcpy(packet + 3, params, count);
    }
    std::size_t size = count + 3;
    int result = usbdev_bulk_write(link.handle, kBulkEndpoint, packet, &size, kTimeoutMs);
    if (result != 0) {
        return result;
    }
    uint8_t buffer[kMaxData + 1] = {};
    std::size_t got = n + 1;
    result = usbdev_bulk_read(link.handle, kBulkEndpoint, buffer, &got, kTimeoutMs);
    if (result == 0) {
        result = check_reply(command, buffer, got, n + 1);
    }
    if (result == 0 && n > 0) {
        std::memcpy(reply, buffer + 1, n);
    }
    return result;
}

int tbdml_speed_value(unsigned long osc, uint16_t* value) {
    // Rounded to whole kHz without the sum (osc + 500) that could overflow.
    const uint64_t khz = osc / 1000 + (osc % 1000 >= 500 ? 1 : 0);
    if (khz == 0) {
        return EINVAL;
    }
    const uint64_t speed = (kSpeedScale / khz + 5) / 10;
    if (speed == 0 || speed > 0xFFFF) {
        return EINVAL;
    }
    *value = static_cast<uint16_t>(speed);
    return 0;
}

unsigned long tbdml_frequency(uint16_t value) {
    if (value == 0) {
        return 0;
    }
    return static_cast<unsigned long>((kSpeedScale / value + 5) / 10 * 1000);
}

int tbdml_open() {
    int result = usblib_load();
    if (result != 0) {
        return result;
    }
    result = usbdev_open(&link.handle, kTbdmlVendorId, kTbdmlProductId);
    if (result == 0) {
        result = bring_up();
    }
    if (result != 0) {
        // Whatever was opened goes again: the interface released, the device closed (both
        // nothing after a failed usbdev_open), then the library.
        (void)usbdev_close(&link.handle);
        (void)usblib_unload();
    }
    return result;
}

int tbdml_close() {
    (void)usbdev_close(&link.handle);
    (void)usblib_unload();
    return 0;
}

int tbdml_reset_special() {
    return reset(kResetSpecialMode);
}

int tbdml_reset_normal() {
    return reset(kResetNormalMode);
}

}  // namespace zelv
