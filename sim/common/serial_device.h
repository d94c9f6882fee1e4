// A device that the host reaches over a serial line (a pseudo-terminal): the serial monitor,
// the LRAE boot loader, the BDM12POD. The runner hands it every byte the host sends and
// sends back what it answers.
#pragma once

#include <cstdint>
#include <vector>

namespace zelv::sim {

struct Reply {
    std::vector<uint8_t> bytes;  // appended to by the device
    unsigned delay_ms = 0;       // hold these bytes back this long (a device that is busy)
};

class SerialDevice {
public:
    SerialDevice() = default;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;
    virtual ~SerialDevice() = default;

    // One byte from the host. The answer, if this byte completes a request, is appended to
    // reply; the runner does not read further bytes until a delayed answer has gone out.
    virtual void receive(uint8_t byte, Reply& reply) = 0;

    // Bytes the device sends of its own accord, not as an answer (a line that babbles).
    // The runner asks when nothing else waits to be sent: at the start, after each byte from
    // the host, and when the milliseconds returned last time have passed. Returns the
    // milliseconds until it wants to be asked again, or -1 for not before the host's next
    // byte.
    virtual int unsolicited(Reply& reply) {
        (void)reply;
        return -1;
    }
};

}  // namespace zelv::sim
