// sim/usb: the virtual USB bus: the stand-in libusb.so loaded into the program under test, the
// wire between it and zelvanor-sim, and this server. It carries transfers; what a device
// answers is the front's business (fronts/tbdml_device.h).
//
// The virtual USB bus as zelvanor-sim serves it. The stand-in libusb.so in the program
// connects here for every device it opens (usb_wire.h), and each transfer on that device is
// handed to the device model behind the bus, which answers from the virtual MCU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/link_pacing.h"
#include "common/port_server.h"

namespace zelv::sim {

struct UsbSetup {
    uint8_t request_type = 0;  // bit 7: device to host
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;  // wLength
};

// The device side of the transfers: what a pod on the bus does with them. Results are the
// library's: the count moved, or a negative errno value the host sees unchanged.
class UsbDeviceModel {
public:
    UsbDeviceModel() = default;
    UsbDeviceModel(const UsbDeviceModel&) = delete;
    UsbDeviceModel& operator=(const UsbDeviceModel&) = delete;
    virtual ~UsbDeviceModel() = default;

    // A control transfer on the default pipe. IN: the model puts at most setup.length bytes
    // into *data (fewer is a short reply); OUT: *data holds the data stage. -EPIPE stalls.
    virtual int control(const UsbSetup& setup, std::vector<uint8_t>* data) = 0;

    // The bytes the host wrote to a bulk OUT endpoint; returns the count taken.
    virtual int bulk_out(uint8_t endpoint, const std::vector<uint8_t>& data) = 0;

    // At most `wanted` bytes for a bulk IN endpoint into *data. -ETIMEDOUT when the device
    // has nothing to send (the host then waits out its time-out).
    virtual int bulk_in(uint8_t endpoint, std::size_t wanted, std::vector<uint8_t>* data) = 0;
};

class UsbServer : public Served {
public:
    // trace, when not nullptr, gets one line per transfer.
    UsbServer(UsbDeviceModel& model, FILE* trace) : model_(model), trace_(trace) {}
    ~UsbServer() override;

    // Creates the listening socket in a fresh folder under $TMPDIR (or /tmp), removed again
    // by the destructor. Returns 0 or an error number with a message.
    [[nodiscard]] int listen();

    // The socket the stand-in connects to; "" before listen.
    [[nodiscard]] const std::string& socket_path() const { return path_; }

    // Accepts connections and serves the requests that are waiting. A connection that
    // breaks or sends nonsense is closed; the server carries on.
    [[nodiscard]] int pump(int timeout_ms, int wake_fd, bool* woken) override;

    // Paces the bus: every transfer's answer comes usb_latency_us after its request (a
    // full-speed frame). Counts go to *counts.
    void pace(const LinkPacing& pacing, LinkCounts* counts) {
        pacing_ = pacing;
        counts_ = counts;
    }

    // Devices opened so far (hellos received), for tests and the trace.
    [[nodiscard]] unsigned opened() const { return opened_; }

private:
    // Serves one request of the connection; false when the connection is to be closed.
    bool serve(int fd);
    void trace_transfer(const char* what, const uint8_t* out, std::size_t out_length, int result,
                        const std::vector<uint8_t>& in);

    UsbDeviceModel& model_;
    FILE* trace_;
    int listener_ = -1;
    std::string folder_;
    std::string path_;
    std::vector<int> connections_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> data_;
    unsigned opened_ = 0;
    LinkPacing pacing_;
    LinkCounts* counts_ = nullptr;
};

}  // namespace zelv::sim
