// A virtual TBDML on the virtual USB bus, served from a thread of the test. The test binary
// finds the stand-in libusb.so first on its run path, so the driver loads it by name as it
// loads the real library; the bench names its bus socket, layout and call log in the
// environment the stand-in reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mcu/mcu_bdm.h"
#include "native/ram_agent.h"
#include "fronts/tbdml_device.h"
#include "test_support.h"
#include "usb/usb_server.h"
#include "mcu/virtual_mcu.h"

namespace zelv::test {

using Bytes = std::vector<uint8_t>;

// One transfer as the pod saw it.
struct UsbTransfer {
    enum Kind { kControl, kBulkOut, kBulkIn } kind = kControl;
    sim::UsbSetup setup;     // control transfers
    uint8_t endpoint = 0;    // bulk transfers
    Bytes out;               // the data stage or bulk packet sent
    Bytes in;                // what came back
    std::size_t wanted = 0;  // bulk IN: the count asked for
};

class TbdmlBench {
public:
    explicit TbdmlBench(const char* part = "dp256", const sim::TbdmlConfig& config = {},
                        const sim::UsbFaults& faults = {}, const char* layout = "hub,tbdml");
    ~TbdmlBench();
    TbdmlBench(const TbdmlBench&) = delete;
    TbdmlBench& operator=(const TbdmlBench&) = delete;

    [[nodiscard]] sim::VirtualMcu& mcu() { return mcu_; }
    [[nodiscard]] sim::McuBdm& bdm() { return *bdm_; }
    [[nodiscard]] sim::TbdmlDevice& pod() { return *pod_; }

    // The transfers so far, from the n-th on.
    [[nodiscard]] std::vector<UsbTransfer> transfers(std::size_t from = 0) const;
    [[nodiscard]] std::size_t transfer_count() const;

    // The stand-in's log of library calls, one per line.
    [[nodiscard]] std::string calls() const { return read_file(log_.file("calls")); }

private:
    class Recorder;
    void serve();

    sim::VirtualMcu mcu_;
    std::unique_ptr<sim::RamAgent> agent_;
    std::unique_ptr<sim::McuBdm> bdm_;
    std::unique_ptr<sim::TbdmlDevice> pod_;
    std::unique_ptr<Recorder> recorder_;
    std::unique_ptr<sim::UsbServer> server_;
    TempDir log_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> failed_{false};
};

// True while a library of this file name is loaded into the process.
[[nodiscard]] bool library_resident(const char* name);

}  // namespace zelv::test
