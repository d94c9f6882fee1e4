// A device that the host reaches over a serial line (a pseudo-terminal): the serial monitor
// today, the BDM12POD and the LRAE boot loader later. The runner hands it every byte the host
// sends and sends back what it answers.
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
};

}  // namespace zelv::sim
