#include "lrae/lrae_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "memops/memory_image.h"
#include "srec/srec.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

SerialPort the_port;
LraeState the_state;

constexpr unsigned kWriteTimeoutMs = 1000;
constexpr unsigned kProbeAnswerTimeoutMs = 100;
constexpr unsigned kLoadAckTimeoutMs = 500;
constexpr unsigned kReceiveTimeoutMs = 10000;
constexpr unsigned kReceiveSliceMs = 100;  // one wait of a block read
constexpr unsigned kProbeAttempts = 16;
constexpr uint32_t kNoEntry = 0xFFFFFFFFU;
constexpr unsigned kInfoSize = 256;
constexpr unsigned kQuietByteTimes = 4;   // the line is settled after this many silent bytes ...
constexpr unsigned kQuietFloorMs = 20;    // ... but never less (a USB adapter's latency)
constexpr unsigned kSettleLimitMs = 500;  // a line that will not settle is judged at the header

// The SCI divisors the boot loader tries, in its order (9 before 7), and the host rates from
// the fastest.
constexpr uint64_t kDivisors[] = {1, 2, 4, 9, 7, 13, 26, 52};
constexpr uint64_t kHostRates[] = {38400, 19200, 9600, 4800, 2400, 1200};
constexpr uint64_t kAcceptable = 390;  // below 3.90 %

int refuse(const char* message) {
    report_error("%s", message);
    return EINVAL;
}

// Percent with one decimal, rounded, as the search lines show it.
unsigned long long percent_whole(uint64_t error) {
    return static_cast<unsigned long long>((error + 5) / 100);
}
unsigned long long percent_tenth(uint64_t error) {
    return static_cast<unsigned long long>(((error + 5) / 10) % 10);
}

// The line, the probe and the boot loader's answer, after the port is open.
int synchronise() {
    for (unsigned attempt = 0; attempt < kProbeAttempts; ++attempt) {
        const uint8_t probe = kLraeProbe;
        int result = lrae_send(&probe, 1, kWriteTimeoutMs);
        if (result != 0) {
            return result;
        }
        uint8_t answer = 0;
        std::size_t length = 1;
        result = serial_read(&the_port, &answer, &length, kProbeAnswerTimeoutMs);
        if (result == 0 && answer == kLraeProbeAnswer) {
            return 0;
        }
        if (result != 0 && result != ETIMEDOUT) {
            return result;
        }
    }
    report_error("no connection with target\n");
    return ETIMEDOUT;
}

int connect() {
    Settings& s = settings();
    SerialSettings line;
    line.baud_rate = s.baud;
    int result = serial_set_settings(&the_port, &line);
    if (result != 0) {
        return result;
    }
    print_info("LRAE serial port <%s> baud rate <%lu bps>\n", s.port, s.baud);
    if ((result = synchronise()) != 0) {
        return result;
    }
    // An answer that came just after a probe's time-out makes the next probe look answered,
    // and the boot loader answers that probe too: let the line settle and drop what arrived,
    // or the extra 0xAA would be read as the load's acknowledge.
    const auto byte_times_ms = static_cast<unsigned>(kQuietByteTimes * 10 * 1000 / s.baud);
    std::size_t dropped = 0;
    if ((result = serial_discard(&the_port, std::max(kQuietFloorMs, byte_times_ms + 1),
                                 kSettleLimitMs, &dropped)) != 0) {
        return result;
    }
    if (dropped > 0) {
        print_debug("LRAE dropped <%zu> byte(s) after synchronisation\n", dropped);
    }
    const TargetModel& m = target();
    print_info("LRAE target synchronized\n");
    print_info("target info <%s>\ntarget mcu <%s> family <%s> osc <%lu.%06lu MHz>\n", m.info, m.mcu,
               m.family, s.osc / 1000000, s.osc % 1000000);
    print_info("target LRAE RAM area <0x%04X-0x%04X> size <0x%04X>\n", the_state.window_start,
               kLraeWindowLast, m.ram_size - (kLraeRamEnd - kLraeWindowLast - 1));
    return 0;
}

// The RAM area as the reader's map: an address inside [window start, window start +
// ram_size) is its offset, anything else lies outside the image.
uint32_t ram_address_to_offset(uint32_t address) {
    const uint32_t start = the_state.window_start;
    const uint32_t size = target().ram_size;
    return address >= start && address - start < size ? address - start : size;
}

int send_image(const std::vector<uint8_t>& image, uint32_t lowest, uint32_t length,
               uint8_t* checksum) {
    const uint64_t start = progress_start("RAM load: data");
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t byte = image[lowest + i];
        const int result = lrae_send(&byte, 1, kWriteTimeoutMs);
        if (result != 0) {
            return result;
        }
        *checksum = static_cast<uint8_t>(*checksum + byte);
        progress_step(i + 1, length);
    }
    progress_end(start, nullptr, 0);
    return 0;
}

}  // namespace

LraeState& lrae_state() {
    return the_state;
}

SerialPort& lrae_port() {
    return the_port;
}

uint64_t lrae_baud_error(uint64_t target_rate, uint64_t host_rate) {
    const uint64_t distance =
        target_rate > host_rate ? target_rate - host_rate : host_rate - target_rate;
    return distance * 10000 / host_rate;
}

bool lrae_baud_search(uint64_t osc, LraeBaudPair* pair) {
    bool found = false;
    for (const uint64_t divisor : kDivisors) {
        const uint64_t target_rate = osc / (32 * divisor);
        for (const uint64_t host_rate : kHostRates) {
            const uint64_t error = lrae_baud_error(target_rate, host_rate);
            const bool acceptable = error < kAcceptable;
            print_debug("target <%llu bps> local <%llu bps> error <%llu.%llu%%>%s\n",
                        static_cast<unsigned long long>(target_rate),
                        static_cast<unsigned long long>(host_rate), percent_whole(error),
                        percent_tenth(error), acceptable ? " <ok>" : "");
            if (acceptable && !found) {
                found = true;
                *pair = LraeBaudPair{target_rate, host_rate, error};
            }
        }
    }
    return found;
}

int lrae_open() {
    Settings& s = settings();
    const TargetModel& m = target();
    if (description_get("lrae_agent", true) == nullptr) {
        return refuse("target LRAE RAM agent not available, cannot proceed\n");
    }
    uint32_t lrae_size = 0;
    if (const int result = description_number("lrae_size", &lrae_size, 0); result != 0) {
        return result;
    }
    if (lrae_size == 0) {
        return refuse("target LRAE FLASH usage unknown (missing lrae_size)\n");
    }
    // The area runs from 0x4000 - ram_size to 0x3FCF: more than 16 KB would start it below
    // address 0, 48 bytes or less leave nothing of it.
    if (m.ram_size > kLraeRamEnd || m.ram_size <= kLraeRamEnd - 1 - kLraeWindowLast) {
        report_error("target LRAE RAM area unusable (ram_size 0x%X)\n", m.ram_size);
        return EINVAL;
    }
    if (s.port == nullptr || *s.port == '\0') {
        return refuse("serial port not specified (-p option required)\n");
    }
    if (s.osc == 0) {
        return refuse("oscillator frequency not specified (-o option required)\n");
    }
    if (s.baud == 0) {
        LraeBaudPair pair;
        if (!lrae_baud_search(s.osc, &pair)) {
            return refuse(
                "satisfactory baud rate not found\nConsider specifying one with -b option\n");
        }
        print_info(
            "LRAE selected local baud rate <%llu bps> target <%llu bps> error <%llu.%llu%%>\n",
            static_cast<unsigned long long>(pair.host_rate),
            static_cast<unsigned long long>(pair.target_rate), percent_whole(pair.error),
            percent_tenth(pair.error));
        s.baud = static_cast<unsigned long>(pair.host_rate);
    }

    the_state = LraeState{};
    the_state.window_start = kLraeRamEnd - m.ram_size;
    the_state.lrae_size = lrae_size;
    if (const int result = serial_open(&the_port, s.port); result != 0) {
        return result;
    }
    const int result = connect();
    if (result != 0) {
        // The driver does not close an interface whose open failed.
        (void)serial_close(&the_port);
    }
    return result;
}

int lrae_close() {
    return serial_close(&the_port);
}

int lrae_receive(uint8_t* byte) {
    std::size_t length = 1;
    const int result = serial_read(&the_port, byte, &length, kReceiveTimeoutMs);
    if (result == ETIMEDOUT) {
        report_error("timeout - no connection with target\n");
    }
    return result;
}

int lrae_receive_block(uint8_t* bytes, std::size_t count) {
    // As many bytes a read as the line has ready; the time-out counts from the last byte
    // that arrived, as it does for single bytes. Each read waits a short slice, so a stream
    // that stops mid-block ends after kReceiveTimeoutMs of slices without a byte, not a whole
    // time-out after the read that caught its last bytes began.
    std::size_t done = 0;
    unsigned silent_ms = 0;
    while (done < count) {
        std::size_t length = count - done;
        const int result = serial_read(&the_port, bytes + done, &length, kReceiveSliceMs);
        done += length;
        if (result == ETIMEDOUT) {
            silent_ms = length > 0 ? 0 : silent_ms + kReceiveSliceMs;
            if (silent_ms < kReceiveTimeoutMs) {
                continue;
            }
            report_error("timeout - no connection with target\n");
        }
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

int lrae_send(const uint8_t* data, std::size_t count, unsigned timeout_ms) {
    std::size_t length = count;
    return serial_write(&the_port, data, &length, timeout_ms);
}

int lrae_ram_load(const char* path, bool agent) {
    // Whatever runs now (the agent, or the user's program) would take the bytes for its own.
    if (the_state.program_started) {
        return refuse(
            "RAM load not possible - LRAE boot loader no longer active (target reset required)\n");
    }
    const uint32_t size = target().ram_size;
    std::vector<uint8_t> image;  // bytes that no record covers go out as 0xFF
    if (const int result = allocate_image(&image, size); result != 0) {
        return result;
    }
    print_info("RAM load: %s file <%s>\n", agent ? "agent" : "image", path);
    char info[kInfoSize] = {};
    uint32_t entry = kNoEntry;
    uint32_t lowest = size;
    uint32_t highest = 0;
    if (const int result = srec_read(path, info, kInfoSize, image.data(), size, nullptr, &entry,
                                     &lowest, &highest, ram_address_to_offset);
        result != 0) {
        return result;
    }
    if (lowest > highest) {
        return refuse("RAM load: no data in file\n");
    }
    // An S9 with address 0 maps outside the area: it names no entry either.
    if (entry == kNoEntry || entry >= size) {
        return refuse("entry address not specified\n");
    }
    const uint32_t start = the_state.window_start;
    const uint32_t low_address = start + lowest;
    const uint32_t high_address = start + highest;
    const uint32_t entry_address = start + entry;
    const uint32_t length = highest - lowest + 1;
    if (agent) {
        print_info("RAM load: address range <0x%04X-0x%04X> length <0x%04X> entry <0x%04X>\n",
                   low_address, high_address, length, entry_address);
    } else {
        print_info(
            "RAM load: image info <%s>\nRAM load: address range <0x%04X-0x%04X> length <0x%04X> "
            "entry <0x%04X>\n",
            info, low_address, high_address, length, entry_address);
    }
    if (!settings().force && (low_address < start || high_address > kLraeWindowLast)) {
        return refuse("RAM address outside allowable range\n");
    }

    // The load's acknowledge is a single byte with no checksum: nothing may wait ahead of it.
    std::size_t stray = 0;
    if (const int result = serial_discard(&the_port, 0, kWriteTimeoutMs, &stray); result != 0) {
        return result;
    }
    if (stray > 0) {
        report_error("unexpected data from the LRAE boot loader (%zu byte%s)\n", stray,
                     stray == 1 ? "" : "s");
        return EIO;
    }
    uint8_t header[4];
    be16_put(static_cast<uint16_t>(entry_address), header);
    be16_put(static_cast<uint16_t>(length), header + 2);
    uint8_t checksum = 0;
    for (const uint8_t byte : header) {
        checksum = static_cast<uint8_t>(checksum + byte);
    }
    int result = lrae_send(header, sizeof header, kWriteTimeoutMs);
    if (result == 0) {
        result = send_image(image, lowest, length, &checksum);
    }
    if (result == 0) {
        result = lrae_send(&checksum, 1, kWriteTimeoutMs);
    }
    if (result != 0) {
        return result;
    }
    uint8_t ack = 0;
    std::size_t got = 1;
    result = serial_read(&the_port, &ack, &got, kLoadAckTimeoutMs);
    if (result == ETIMEDOUT) {
        report_error(
            "checksum acknowledge reception timed out\nPlease reset target and try again\n");
        return ETIMEDOUT;
    }
    if (result != 0) {
        return result;
    }
    if (ack != kLraeLoadAck) {
        return refuse("invalid checksum acknowledge received\nPlease reset target and try again\n");
    }
    the_state.program_started = true;
    return 0;
}

int lrae_frame(uint8_t command, const uint8_t* parameters, unsigned n) {
    const auto length = static_cast<uint8_t>(n + 3);
    uint8_t checksum = static_cast<uint8_t>(command + length);
    int result = lrae_send(&command, 1, kWriteTimeoutMs);
    if (result == 0) {
        result = lrae_send(&length, 1, kWriteTimeoutMs);
    }
    for (unsigned i = 0; i < n && result == 0; ++i) {
        result = lrae_send(&parameters[i], 1, kWriteTimeoutMs);
        checksum = static_cast<uint8_t>(checksum + parameters[i]);
    }
    if (result == 0) {
        result = lrae_send(&checksum, 1, kWriteTimeoutMs);
    }
    return result != 0 ? result
                       : lrae_judge("communication failed, invalid checksum\n",
                                    "communication failed, unexpected answer\n");
}

int lrae_result(const char* checksum_message, const char* command, uint8_t block, uint8_t page,
                uint16_t address) {
    uint8_t answer = 0;
    if (const int result = lrae_receive(&answer); result != 0) {
        return result;
    }
    if (answer == kLraeGood) {
        return 0;
    }
    if (answer == kLraeChecksumError && checksum_message != nullptr) {
        report_error("%s", checksum_message);
    } else {
        report_error("invalid response <0x%02X> to %s: block <%u> page <0x%02X> address <0x%04X>\n",
                     answer, command, block, page, address);
    }
    return EIO;
}

int lrae_judge(const char* checksum_message, const char* other_message) {
    uint8_t answer = 0;
    if (const int result = lrae_receive(&answer); result != 0) {
        return result;
    }
    if (answer == kLraeGood) {
        return 0;
    }
    report_error("%s", answer == kLraeChecksumError ? checksum_message : other_message);
    return EIO;
}

}  // namespace zelv
