#include "pod_bench.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "program/part_profiles.h"
#include "common/sim_log.h"

namespace zelv::test {

PodBench::PodBench(const char* part, const sim::PodConfig& config, const sim::PodFaults& faults) {
    const sim::PartProfile* profile = sim::find_part_profile(part);
    sim::McuConfig mcu_config;
    if (profile == nullptr || sim::part_config(*profile, profile->layout, &mcu_config) != 0 ||
        mcu_.configure(mcu_config) != 0 || sim::pty_open(&pty_) != 0 ||
        modem_.create(pty_.slave) != 0 || pipe(stop_) != 0) {
        ADD_FAILURE() << "cannot set up the pod bench for " << part;
        std::abort();
    }
    bdm_ = std::make_unique<sim::McuBdm>(mcu_);
    pod_ = std::make_unique<sim::Bdm12podEmulator>(*bdm_, config, faults, &modem_.lines());
    server_ = std::make_unique<sim::PortServer>(pty_.master, *pod_, nullptr);
    setenv(sim::kModemEnvironment, modem_.path().c_str(), 1);
}

PodBench::~PodBench() {
    if (thread_.joinable()) {
        const char stop = 1;
        (void)!write(stop_[1], &stop, 1);
        thread_.join();
    }
    unsetenv(sim::kModemEnvironment);
    close(stop_[0]);
    close(stop_[1]);
    sim::pty_close(&pty_);
    EXPECT_FALSE(failed_.load()) << "the pod's port failed";
}

void PodBench::start() {
    thread_ = std::thread([this] { serve(); });
}

void PodBench::serve() {
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

std::vector<Bytes> PodBench::commands(size_t from) const {
    const std::vector<Bytes> all = pod_->commands();
    return from < all.size() ? std::vector<Bytes>(all.begin() + static_cast<long>(from), all.end())
                             : std::vector<Bytes>{};
}

}  // namespace zelv::test
