// zelvanor-sim: the virtual target. Runs a command (normally zelvanor) against a virtual
// MCU behind its resident serial monitor or LRAE boot loader, or behind a BDM pod, on a
// pseudo-terminal, or serves the port until interrupted.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fronts/bdm12pod_emulator.h"
#include "faults/faults.h"
#include "fronts/lrae_boot_loader.h"
#include "mcu/mcu_bdm.h"
#include "modem/modem_link.h"
#include "program/part_profiles.h"
#include "common/link_pacing.h"
#include "program/part_script.h"
#include "common/port_server.h"
#include "native/ram_agent.h"
#include "fronts/sci_line.h"
#include "common/sim_log.h"
#include "fronts/sm_emulator.h"
#include "program/sim_options.h"
#include "program/state_file.h"
#include "fronts/tbdml_device.h"
#include "usb/usb_front.h"
#include "usb/usb_server.h"
#include "mcu/virtual_mcu.h"
#include "mcu/cpu12/script_runner.h"

namespace {

using namespace zelv::sim;


// The device on the line: the serial monitor, the LRAE boot loader, or a BDM pod with its
// modem lines.
struct Front {
    std::unique_ptr<SmEmulator> monitor;
    std::unique_ptr<LraeBootLoader> loader;
    std::unique_ptr<McuCore> core;    // the CPU12 core that runs the programs started
    std::unique_ptr<RamAgent> agent;  // native code of the BDM: outlives it
    std::unique_ptr<McuBdm> bdm;
    ModemLink modem;
    std::unique_ptr<Bdm12podEmulator> pod;
    std::vector<std::string> environment;  // for the command: the modem-line library
    SerialDevice* device = nullptr;
};

int set_up_front(const Options& options, VirtualMcu& mcu, bool loaded, const Pty& pty,
                 Front* front) {
    try {
        if (options.lrae) {
            if (!loaded) {
                // A fresh part comes with the boot loader; a kept one has what earlier runs
                // left.
                (void)LraeBootLoader::install(mcu, !options.unprotected);
            } else {
                // The boot loader listens only after a reset: every session starts with one,
                // which also loads FPROT and FSEC from the FLASH as it is now.
                mcu.reset(false);
            }
            const int slave = pty.slave;
            front->core = std::make_unique<McuCore>(mcu, options.osc / 2);
            front->loader = std::make_unique<LraeBootLoader>(
                mcu, options.faults.lrae, options.osc, [slave] { return pty_line_rate(slave); },
                front->core.get());
            front->device = front->loader.get();
            return 0;
        }
        if (!options.pod) {
            if (mcu.layout().family_id == kSimFamilyHc12) {
                sim_error("the serial monitor runs on HCS12 and HCS12X parts (see --pod)\n");
                return EINVAL;
            }
            front->monitor = std::make_unique<SmEmulator>(mcu, options.faults.sm);
            (void)front->monitor->install();
            front->device = front->monitor.get();
            return 0;
        }
        int result = front->modem.create(pty.slave);
        if (result == 0) {
            result = front->modem.child_environment(&front->environment);
        }
        if (result != 0) {
            return result;
        }
        front->core = std::make_unique<McuCore>(mcu, options.osc / 2);
        front->agent = std::make_unique<RamAgent>(options.faults.agent);
        front->bdm = std::make_unique<McuBdm>(mcu);
        front->bdm->add_native_code(front->agent.get());
        ModemLines& lines = front->modem.lines();
        lines.no_wait.store(options.modem_no_wait ? 1 : 0);
        lines.latency_ns.store(options.pacing.paced
                                   ? uint64_t{options.pacing.modem_latency_us} * 1000
                                   : 0);
        front->bdm->attach_core(front->core.get());
        front->pod = std::make_unique<Bdm12podEmulator>(*front->bdm, options.pod_config,
                                                        options.faults.pod, &lines);
        front->device = front->pod.get();
        return 0;
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
}

void announce(const Options& options, const PartProfile& profile, const Pty& pty,
              const Front& front) {
    std::printf("%s\n", pty.slave_path.c_str());
    std::fflush(stdout);
    if (!options.pod) {
        std::fprintf(stderr, "zelvanor-sim: %s (part id 0x%04X) on %s; interrupt to stop\n",
                     profile.mcu, profile.part_id, pty.slave_path.c_str());
        if (front.loader != nullptr) {
            std::fprintf(stderr, "zelvanor-sim: LRAE boot loader %s, oscillator %llu Hz\n",
                         front.loader->running() ? "running" : "not found (the part runs nothing)",
                         static_cast<unsigned long long>(options.osc));
        }
        return;
    }
    std::fprintf(stderr,
                 "zelvanor-sim: %s (part id 0x%04X) behind a %s pod on %s; interrupt to stop\n"
                 "zelvanor-sim: run zelvanor with",
                 profile.mcu, profile.part_id, options.pod_name, pty.slave_path.c_str());
    for (const std::string& entry : front.environment) {
        std::fprintf(stderr, " %s", entry.c_str());
    }
    std::fprintf(stderr, " in its environment\n");
}

// The simulator's log of what the core did: into the trace file, and on standard error when
// serving a user by hand (a command's own standard error is left to it).
void log_core(const Options& options, const McuCore* core, FILE* trace) {
    if (core == nullptr || core->instructions() == 0) {
        return;  // nothing ran on it: the trace stays the line's alone
    }
    const auto instructions = static_cast<unsigned long long>(core->instructions());
    const auto cycles = static_cast<unsigned long long>(core->cycles());
    if (trace != nullptr) {
        std::fprintf(trace, "cpu12 core: %llu instructions, %llu bus cycles\n", instructions,
                     cycles);
    }
    if (options.serve) {
        std::fprintf(stderr, "zelvanor-sim: the CPU12 core ran %llu instructions (%llu bus cycles)\n",
                     instructions, cycles);
    }
}

// Serves the port for the command or until interrupted; *status is the exit status. False
// when no port could be opened (nothing ran).
bool serve(const Options& options, const PartProfile& profile, VirtualMcu& mcu, bool loaded,
           FILE* trace, LinkCounts* counts, int* status) {
    *status = kSimFailure;
    Pty pty;
    if (pty_open(&pty) != 0) {
        return false;
    }
    {
        Front front;
        if (set_up_front(options, mcu, loaded, pty, &front) == 0) {
            PortServer server(pty.master, *front.device, trace);
            server.pace(options.pacing, counts, pty.slave, options.pod);
            int served = 0;
            if (options.serve) {
                announce(options, profile, pty, front);
                served = serve_until_signal(server);
                *status = 0;
            } else {
                served = run_command(server, replace_port(options.command, pty.slave_path), status,
                                     front.environment);
            }
            log_core(options, front.core.get(), trace);
            if (served != 0) {
                *status = kSimFailure;
            }
        }
    }
    pty_close(&pty);
    return true;
}

// The TBDML on the virtual USB bus: no terminal; the command finds the stand-in libusb.so on
// its library path, and the stand-in brings its transfers here. Serves for the command or
// until interrupted; *status is the exit status. False when the bus could not be set up.
bool serve_usb(const Options& options, const PartProfile& profile, VirtualMcu& mcu, FILE* trace,
               LinkCounts* counts, int* status) {
    *status = kSimFailure;
    try {
        McuCore core(mcu, options.osc / 2);
        RamAgent agent(options.faults.agent);  // native code of the BDM: outlives it
        McuBdm bdm(mcu);
        bdm.add_native_code(&agent);
        bdm.attach_core(&core);
        TbdmlConfig config;
        config.board_osc = options.osc;
        config.check_speed = options.osc_set;
        TbdmlDevice pod(bdm, config, options.faults.usb);
        UsbServer server(pod, trace);
        server.pace(options.pacing, counts);
        const std::string base = usb_standin_base();
        std::vector<std::string> environment;
        if (base.empty() || server.listen() != 0 ||
            usb_child_environment(base, options.faults.usb, server.socket_path(), &environment) !=
                0) {
            return false;
        }
        int served = 0;
        if (options.serve) {
            std::string line;
            for (const std::string& entry : environment) {
                line += (line.empty() ? "" : " ") + entry;
            }
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            std::fprintf(stderr,
                         "zelvanor-sim: %s (part id 0x%04X) behind a tbdml pod on a virtual USB "
                         "bus; interrupt to stop\n"
                         "zelvanor-sim: run zelvanor with %s in its environment\n",
                         profile.mcu, profile.part_id, line.c_str());
            served = serve_until_signal(server);
            *status = 0;
        } else {
            served = run_command(server, options.command, status, environment);
        }
        log_core(options, &core, trace);
        if (served != 0) {
            *status = kSimFailure;
        }
        return true;
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return false;
    }
}

int run(const Options& options) {
    const PartProfile* profile = find_part_profile(options.part);
    if (profile == nullptr) {
        sim_error("unknown part %s (see --list-parts)\n", options.part);
        return kSimFailure;
    }
    McuLayout layout = profile->layout;
    if (options.target != nullptr && layout_from_description(options.target, &layout) != 0) {
        return kSimFailure;
    }
    McuConfig config;
    VirtualMcu mcu;
    if (part_config(*profile, layout, &config) != 0) {
        return kSimFailure;
    }
    if (options.lrae) {
        LraeBootLoader::place_eeprom(config.layout, &config.resets);
    }
    if (mcu.configure(config) != 0) {
        return kSimFailure;
    }
    for (const StuckByte& stuck : options.faults.stuck) {
        if (mcu.add_stuck_byte(stuck) != 0) {
            return kSimFailure;
        }
    }
    for (const uint32_t offset : options.faults.weak_flash) {
        if (mcu.add_weak_byte(Region::kFlash, offset) != 0) {
            return kSimFailure;
        }
    }
    for (const uint32_t offset : options.faults.weak_eeprom) {
        if (mcu.add_weak_byte(Region::kEeprom, offset) != 0) {
            return kSimFailure;
        }
    }
    mcu.set_nvm_faults(options.faults.nvm);
    bool loaded = false;
    if (options.state != nullptr && state_load(options.state, mcu, &loaded) != 0) {
        return kSimFailure;
    }
    FILE* trace = nullptr;
    if (options.trace != nullptr) {
        trace = std::fopen(options.trace, "w");
        if (trace == nullptr) {
            sim_error("cannot open trace file %s (%s)\n", options.trace, std::strerror(errno));
            return kSimFailure;
        }
    }
    int status = kSimFailure;
    LinkCounts counts;
    const bool served = options.usb ? serve_usb(options, *profile, mcu, trace, &counts, &status)
                                    : serve(options, *profile, mcu, loaded, trace, &counts, &status);
    if (served && options.stats != nullptr) {
        const bool to_stderr = std::strcmp(options.stats, "-") == 0;
        FILE* out = to_stderr ? stderr : std::fopen(options.stats, "w");
        if (out == nullptr) {
            sim_error("cannot write %s (%s)\n", options.stats, std::strerror(errno));
            status = kSimFailure;
        } else {
            link_stats_print(out, options.pacing, counts);
            if (!to_stderr) {
                std::fclose(out);
            }
        }
    }
    if (served && options.state != nullptr && state_save(options.state, profile->name, mcu) != 0) {
        status = kSimFailure;
    }
    if (trace != nullptr) {
        std::fclose(trace);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A CPU12 script on the bare core, no part and no device: the oracle's machine; with
    // --part, on that part's memory map.
    if (argc >= 2 && std::strcmp(argv[1], "--run") == 0) {
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--part") == 0 || std::strcmp(argv[i], "-P") == 0) {
                return run_on_part(argc - 1, argv + 1);
            }
        }
        return zelv::sim::cpu12::script_main(argc - 1, argv + 1);
    }
    Options options;
    const int parsed = parse_options(argc, argv, &options);
    if (parsed >= 0) {
        return parsed;
    }
    return run(options);
}
