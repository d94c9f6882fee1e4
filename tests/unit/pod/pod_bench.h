// A virtual BDM12POD on a pseudo-terminal, served from a thread of the test, with its modem
// lines shared through the same library zelvanor-sim preloads (linked into this test, so
// that the driver's RTS and CTS requests reach the pod).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fronts/bdm12pod_emulator.h"
#include "mcu/mcu_bdm.h"
#include "modem/modem_link.h"
#include "common/port_server.h"
#include "mcu/virtual_mcu.h"

namespace zelv::test {

using Bytes = std::vector<uint8_t>;

class PodBench {
public:
    // A configured part with the pod in front of it; the pod serves once start() ran.
    explicit PodBench(const char* part = "dp256", const sim::PodConfig& config = {},
                      const sim::PodFaults& faults = {});
    ~PodBench();
    PodBench(const PodBench&) = delete;
    PodBench& operator=(const PodBench&) = delete;

    void start();

    [[nodiscard]] const std::string& port() const { return pty_.slave_path; }
    [[nodiscard]] sim::VirtualMcu& mcu() { return mcu_; }
    [[nodiscard]] sim::McuBdm& bdm() { return *bdm_; }

    // The pod's commands, each as its bytes, from the n-th on.
    [[nodiscard]] std::vector<Bytes> commands(size_t from = 0) const;
    [[nodiscard]] size_t command_count() const { return pod_->commands().size(); }

private:
    void serve();

    sim::VirtualMcu mcu_;
    sim::Pty pty_;
    sim::ModemLink modem_;
    std::unique_ptr<sim::McuBdm> bdm_;
    std::unique_ptr<sim::Bdm12podEmulator> pod_;
    std::unique_ptr<sim::PortServer> server_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> failed_{false};
};

}  // namespace zelv::test
