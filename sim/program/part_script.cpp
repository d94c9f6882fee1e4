#include "program/part_script.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/sim_log.h"
#include "mcu/cpu12/script_runner.h"
#include "mcu/mcu_core.h"
#include "mcu/virtual_mcu.h"
#include "program/part_profiles.h"

namespace zelv::sim {

int run_on_part(int argc, char** argv) {
    constexpr int kSimFailure = 2;
    const char* path = nullptr;
    const char* part = nullptr;
    bool trace = false;
    bool usage = false;
    for (int i = 1; i < argc && !usage; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else if ((std::strcmp(argv[i], "--part") == 0 || std::strcmp(argv[i], "-P") == 0) &&
                   i + 1 < argc && part == nullptr) {
            part = argv[++i];
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            usage = true;
        }
    }
    if (usage || path == nullptr || part == nullptr) {
        sim_error("usage: zelvanor-sim --run SCRIPT|- --part NAME [--trace]\n");
        return kSimFailure;
    }
    const PartProfile* profile = find_part_profile(part);
    if (profile == nullptr) {
        sim_error("unknown part %s (see --list-parts)\n", part);
        return kSimFailure;
    }
    cpu12::Script script;
    if (cpu12::load_script(path, &script) != 0) {
        return kSimFailure;
    }
    script.trace = script.trace || trace;
    try {
        McuConfig config;
        auto mcu = std::make_unique<VirtualMcu>();
        if (part_config(*profile, profile->layout, &config) != 0 || mcu->configure(config) != 0) {
            return kSimFailure;
        }
        if (script.ppage == 0) {
            script.ppage = mcu->peek_register(reg::kPpage);
        }
        McuBus bus(*mcu);
        cpu12::run_script(script, bus, stdout);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return kSimFailure;
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : kSimFailure;
}

}  // namespace zelv::sim
