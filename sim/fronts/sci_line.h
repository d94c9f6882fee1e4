// The serial line between the host and the target's SCI, bit by bit: a byte sent at one
// rate and sampled at another arrives intact only while the two rates are close enough.
//
// A frame is one start bit (0), eight data bits from the lowest, one stop bit (1), with the
// line idle (1) around it. The receiver finds the falling edge of a start bit and samples
// each of its own bit times in the middle: a start sample of 1 is a false start, a stop
// sample of 0 a framing error. After a frame it looks for the next falling edge, so a
// receiver much faster than the sender can make several bytes of one frame, and a slow one
// a wrong byte or none. Each frame is judged on an idle line of its own; noise and the
// receiver's majority sampling are not modelled.
#pragma once

#include <cstdint>
#include <vector>

namespace zelv::sim {

struct SciByte {
    uint8_t value = 0;
    bool framing_error = false;
};

// What a receiver at rx_rate makes of `byte` sent at tx_rate (bits per second, not 0).
[[nodiscard]] std::vector<SciByte> sci_transfer(uint8_t byte, uint64_t tx_rate, uint64_t rx_rate);

// The bytes a host's terminal hands its reader for what the target sent: a byte with a
// framing error reads as 0x00, as a raw-mode Linux terminal delivers it.
void sci_to_host(uint8_t byte, uint64_t target_rate, uint64_t host_rate,
                 std::vector<uint8_t>* received);

// The rate, in bits per second, at which the host has set the terminal whose (slave)
// descriptor this is; 0 when it cannot be read or is not a standard rate.
[[nodiscard]] uint64_t pty_line_rate(int descriptor);

}  // namespace zelv::sim
