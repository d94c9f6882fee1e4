#include "tbdml_bench.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "program/part_profiles.h"
#include "usb/usb_wire.h"

namespace zelv::test {

// Passes every transfer to the pod and keeps a copy of it and of the answer.
class TbdmlBench::Recorder final : public sim::UsbDeviceModel {
public:
    explicit Recorder(sim::UsbDeviceModel& device) : device_(device) {}

    int control(const sim::UsbSetup& setup, std::vector<uint8_t>* data) override {
        UsbTransfer t;
        t.setup = setup;
        const bool in = (setup.request_type & 0x80) != 0;
        if (!in) {
            t.out = *data;
        }
        const int result = device_.control(setup, data);
        if (in && result >= 0) {
            t.in = *data;
            t.in.resize(std::min<std::size_t>(t.in.size(), setup.length));
        }
        keep(t);
        return result;
    }

    int bulk_out(uint8_t endpoint, const std::vector<uint8_t>& data) override {
        UsbTransfer t;
        t.kind = UsbTransfer::kBulkOut;
        t.endpoint = endpoint;
        t.out = data;
        keep(t);
        return device_.bulk_out(endpoint, data);
    }

    int bulk_in(uint8_t endpoint, std::size_t wanted, std::vector<uint8_t>* data) override {
        UsbTransfer t;
        t.kind = UsbTransfer::kBulkIn;
        t.endpoint = endpoint;
        t.wanted = wanted;
        const int result = device_.bulk_in(endpoint, wanted, data);
        if (result >= 0) {
            t.in = *data;
        }
        keep(t);
        return result;
    }

    std::vector<UsbTransfer> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

private:
    void keep(const UsbTransfer& t) {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(t);
    }

    sim::UsbDeviceModel& device_;
    mutable std::mutex mutex_;
    std::vector<UsbTransfer> log_;
};

TbdmlBench::TbdmlBench(const char* part, const sim::TbdmlConfig& config,
                       const sim::UsbFaults& faults, const char* layout) {
    const sim::PartProfile* profile = sim::find_part_profile(part);
    sim::McuConfig mcu_config;
    if (profile == nullptr || sim::part_config(*profile, profile->layout, &mcu_config) != 0 ||
        mcu_.configure(mcu_config) != 0 || pipe(stop_) != 0) {
        ADD_FAILURE() << "cannot set up the TBDML bench for " << part;
        std::abort();
    }
    agent_ = std::make_unique<sim::RamAgent>(sim::AgentFaults{});
    bdm_ = std::make_unique<sim::McuBdm>(mcu_);
    bdm_->add_native_code(agent_.get());
    pod_ = std::make_unique<sim::TbdmlDevice>(*bdm_, config, faults);
    recorder_ = std::make_unique<Recorder>(*pod_);
    server_ = std::make_unique<sim::UsbServer>(*recorder_, nullptr);
    if (server_->listen() != 0) {
        ADD_FAILURE() << "cannot listen on the virtual USB bus";
        std::abort();
    }
    setenv(sim::kUsbSocketEnvironment, server_->socket_path().c_str(), 1);
    setenv(sim::kUsbBusEnvironment, layout, 1);
    setenv(sim::kUsbLogEnvironment, log_.file("calls").c_str(), 1);
    thread_ = std::thread([this] { serve(); });
}

TbdmlBench::~TbdmlBench() {
    const char stop = 1;
    (void)!write(stop_[1], &stop, 1);
    thread_.join();
    unsetenv(sim::kUsbSocketEnvironment);
    unsetenv(sim::kUsbBusEnvironment);
    unsetenv(sim::kUsbLogEnvironment);
    close(stop_[0]);
    close(stop_[1]);
    EXPECT_FALSE(failed_.load()) << "the virtual USB bus failed";
}

void TbdmlBench::serve() {
    for (;;) {
        bool woken = false;
        if (server_->pump(-1, stop_[0], &woken) != 0) {
            failed_.store(true);
            return;
        }
        if (woken) {
            return;
        }
    }
}

std::vector<UsbTransfer> TbdmlBench::transfers(std::size_t from) const {
    const std::vector<UsbTransfer> all = recorder_->all();
    return from < all.size()
               ? std::vector<UsbTransfer>(all.begin() + static_cast<long>(from), all.end())
               : std::vector<UsbTransfer>{};
}

std::size_t TbdmlBench::transfer_count() const {
    return recorder_->all().size();
}

bool library_resident(const char* name) {
    void* handle = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

}  // namespace zelv::test
