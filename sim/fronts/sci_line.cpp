#include "fronts/sci_line.h"

#include <termios.h>

namespace zelv::sim {

namespace {

constexpr unsigned kFrameBits = 10;  // start, eight data bits, stop

// The line level during bit time `index` of the sent frame (before it and after it: idle).
bool level(uint8_t byte, uint64_t index) {
    if (index == 0) {
        return false;
    }
    if (index >= 1 && index <= 8) {
        return ((static_cast<unsigned>(byte) >> (index - 1)) & 1U) != 0;
    }
    return true;
}

struct Speed {
    speed_t code;
    uint64_t rate;
};

constexpr Speed kSpeeds[] = {
    {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
    {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

}  // namespace

std::vector<SciByte> sci_transfer(uint8_t byte, uint64_t tx_rate, uint64_t rx_rate) {
    std::vector<SciByte> received;
    if (tx_rate == rx_rate) {
        received.push_back({byte, false});
        return received;
    }
    // Times are counted in sent bit times; the receiver's sample k after an edge at sent bit
    // boundary e falls into sent bit e + (2k + 1) * tx / (2 * rx). Edges only happen at sent
    // bit boundaries, and after the stop bit the line stays idle, so the search ends there.
    uint64_t from = 0;  // the receiver hunts for an edge at a boundary from here on
    for (uint64_t edge = from; edge <= kFrameBits; ++edge) {
        const bool falls = (edge == 0 || level(byte, edge - 1)) && !level(byte, edge);
        if (edge < from || !falls) {
            continue;
        }
        const auto sample = [&](uint64_t k) {
            return level(byte, edge + (2 * k + 1) * tx_rate / (2 * rx_rate));
        };
        if (sample(0)) {
            // A false start: hunt again after the start bit's sample.
            from = edge + tx_rate / (2 * rx_rate) + 1;
            continue;
        }
        SciByte got;
        for (uint64_t k = 1; k <= 8; ++k) {
            got.value = static_cast<uint8_t>(got.value | (sample(k) ? 1U << (k - 1) : 0U));
        }
        got.framing_error = !sample(9);
        received.push_back(got);
        from = edge + (2 * 9 + 1) * tx_rate / (2 * rx_rate) + 1;
    }
    return received;
}

void sci_to_host(uint8_t byte, uint64_t target_rate, uint64_t host_rate,
                 std::vector<uint8_t>* received) {
    for (const SciByte& got : sci_transfer(byte, target_rate, host_rate)) {
        received->push_back(got.framing_error ? 0x00 : got.value);
    }
}

uint64_t pty_line_rate(int descriptor) {
    termios settings{};
    if (tcgetattr(descriptor, &settings) != 0) {
        return 0;
    }
    const speed_t code = cfgetospeed(&settings);
    for (const Speed& speed : kSpeeds) {
        if (speed.code == code) {
            return speed.rate;
        }
    }
    return 0;
}

}  // namespace zelv::sim
