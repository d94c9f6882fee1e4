// The wire between the stand-in libusb.so (loaded into the program under test) and the
// zelvanor-sim process that owns the virtual MCU. The stand-in presents the bus itself;
// what a device answers comes from zelvanor-sim, so that every front shares one virtual MCU
// and its state file.
//
// One Unix sequenced-packet connection per open device: a hello naming the device, then
// strictly one request and one reply per transfer. Each message is a fixed header followed
// by its data bytes, in one packet.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelv::sim {

// The environment the stand-in reads: the server's socket, the bus layout (usb_bus_layout.h)
// and, for tests, a file that gets one line per library call.
inline constexpr const char* kUsbSocketEnvironment = "ZELVANOR_SIM_USB";
inline constexpr const char* kUsbBusEnvironment = "ZELVANOR_SIM_USB_BUS";
inline constexpr const char* kUsbLogEnvironment = "ZELVANOR_SIM_USB_LOG";

inline constexpr uint32_t kUsbWireMagic = 0x5A555331;  // "ZUS1"

// The largest data stage a transfer may carry across the wire: a control transfer's wLength
// can be no more, and the pod's bulk packets are far smaller.
inline constexpr std::size_t kUsbWireMaxData = 65535;

enum UsbWireKind : uint8_t {
    kWireHello = 1,    // bus and device numbers of the device opened
    kWireControl = 2,  // setup in request_type ... length; OUT data follows
    kWireBulkOut = 3,  // endpoint; data follows
    kWireBulkIn = 4,   // endpoint; length = bytes wanted
};

struct UsbWireRequest {
    uint32_t magic = kUsbWireMagic;
    uint8_t kind = 0;
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint8_t endpoint = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint32_t length = 0;  // wLength, or the bulk count
    uint32_t timeout_ms = 0;
    uint32_t bus = 0;
    uint32_t device = 0;
};

// result: the bytes moved (IN data follows), or a negative errno value as the library
// would return it. -ETIMEDOUT means the device had nothing to say: the stand-in then waits
// out the caller's time-out, as the bus would.
struct UsbWireReply {
    uint32_t magic = kUsbWireMagic;
    int32_t result = 0;
    uint32_t length = 0;
};

// Sends the header and data as one packet. Returns 0 or an errno value.
[[nodiscard]] int wire_send(int fd, const void* header, std::size_t header_size,
                            const uint8_t* data, std::size_t length);

// Receives one packet within timeout_ms (-1: no limit): the header (exactly header_size
// bytes) and at most capacity data bytes (*length: how many). EPIPE when the peer has gone,
// EPROTO for a packet of the wrong shape, ETIMEDOUT, or a system errno value.
[[nodiscard]] int wire_receive(int fd, void* header, std::size_t header_size, uint8_t* data,
                               std::size_t capacity, std::size_t* length, int timeout_ms);

}  // namespace zelv::sim
