// zelvanor-sim's command line: what a run asks of the virtual target, read from argv.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/link_pacing.h"
#include "faults/faults.h"
#include "fronts/bdm12pod_emulator.h"

namespace zelv::sim {

// The simulator's own failures end it with this status, apart from any the command uses.
constexpr int kSimFailure = 2;

struct Options {
    const char* part = nullptr;
    bool pod = false;
    bool usb = false;  // the pod is the TBDML, on the virtual USB bus
    const char* pod_name = nullptr;
    PodConfig pod_config;
    const char* target = nullptr;
    const char* state = nullptr;
    const char* trace = nullptr;
    bool serve = false;
    bool lrae = false;  // --boot lrae
    bool unprotected = false;
    bool osc_set = false;
    uint64_t osc = 16000000;
    FaultSet faults;
    std::vector<std::string> command;
    LinkPacing pacing;
    bool modem_no_wait = false;
    const char* stats = nullptr;
};

// Reads the options into *options; returns -1 to go on, otherwise the exit status (0 after
// --help or --list-parts).
[[nodiscard]] int parse_options(int argc, char** argv, Options* options);

}  // namespace zelv::sim
