// zelvanor-sim: the virtual target. Runs a command (normally zelvanor) against a virtual
// MCU behind its resident serial monitor or LRAE boot loader, or behind a BDM pod, on a
// pseudo-terminal, or serves the port until interrupted.
#include <getopt.h>
#include <strings.h>

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
#include "program/state_file.h"
#include "fronts/tbdml_device.h"
#include "usb/usb_front.h"
#include "usb/usb_server.h"
#include "mcu/virtual_mcu.h"
#include "mcu/cpu12/script_runner.h"

namespace {

using namespace zelv::sim;

// The simulator's own failures end it with this status, apart from any the command uses.
constexpr int kSimFailure = 2;

void print_usage() {
    std::printf(
        "Usage: zelvanor-sim --part NAME [options] -- COMMAND [ARG...]\n"
        "       zelvanor-sim --part NAME [options] --serve\n"
        "       zelvanor-sim --list-parts\n"
        "       zelvanor-sim --run SCRIPT|- [--trace]   (a CPU12 script on flat memory)\n"
        "       zelvanor-sim --run SCRIPT|- --part NAME [--trace]   (on the part's memory map)\n"
        "\n"
        "Runs COMMAND against a virtual MCU with a serial monitor or an LRAE boot loader\n"
        "(or, with --pod, a BDM pod), reached through a pseudo-terminal; every @PORT@ in\n"
        "COMMAND's words becomes the terminal's path. The TBDML USB pod (--pod tbdml) sits\n"
        "on a virtual USB bus instead: COMMAND finds it through the stand-in libusb.so put\n"
        "first on its LD_LIBRARY_PATH. The exit status is COMMAND's (128 + signal when a\n"
        "signal ended it, 127 when it could not be started), or 2 when the simulator itself\n"
        "fails.\n"
        "\n"
        "Options:\n"
        "  -P, --part NAME      part profile (see --list-parts)\n"
        "  -b, --boot PROGRAM   the part's resident program: sm (the serial monitor, the\n"
        "                       default) or lrae (the LRAE boot loader, programmed into a\n"
        "                       fresh part with its 2 KB at 0x4000 protected)\n"
        "      --unprotected    with --boot lrae: leave the boot loader's FLASH unprotected\n"
        "      --pod POD        a BDM pod in place of the serial monitor: bdm12pod, podex,\n"
        "                       podex-bug (old PODEX firmware, broken block commands) or\n"
        "                       podex-25 (PODEX for a 25 MHz target), the command run\n"
        "                       with the pod's RTS/CTS lines supplied by a preloaded\n"
        "                       library; or tbdml (the Turbo BDM Light on a virtual USB bus)\n"
        "      --pod-version V  the BDM12POD's firmware version: 4.5, 4.6 or 4.7 (default)\n"
        "      --pod-modab      the BDM12POD has MODA/MODB lines (bit 7 of its version byte)\n"
        "  -o, --osc FREQ       the board's oscillator, e.g. 16M, 4915200, 8000k: the LRAE\n"
        "                       boot loader's baud rates follow from it (default 16 MHz);\n"
        "                       a BDM12POD's speed must match half of it, a TBDML's speed\n"
        "                       must match it (without --osc any speed does; the TBDML\n"
        "                       measures 16 MHz)\n"
        "  -t, --target FILE    take the memory layout from this target description\n"
        "                       (a path, or a name in the data directory)\n"
        "  -s, --state FILE     load the virtual memory from FILE when it exists and save\n"
        "                       it there after the run\n"
        "  -f, --fault FAULT    inject a fault (repeatable, below)\n"
        "      --serve          print the port's path (for tbdml: the environment to run\n"
        "                       zelvanor with) and serve it until interrupted\n"
        "      --trace FILE     log every byte on the port (every USB transfer) to FILE\n"
        "      --pace           links as fast as hardware: serial bytes at the line's rate\n"
        "                       (10 bits a byte), each answer after --turnaround-us, pod\n"
        "                       modem lines after --modem-latency-us, USB transfers after\n"
        "                       --usb-latency-us (each 1000 by default)\n"
        "      --modem-no-wait  the pod's port driver refuses TIOCMIWAIT (hosts then poll)\n"
        "      --stats FILE     after the run, write what crossed the link and the least\n"
        "                       time it allows (paced) to FILE ('-': standard error)\n"
        "  -l, --list-parts     list the part profiles\n"
        "  -h, --help           show this text\n"
        "\n"
        "%s"
        "%s"
        "\n"
        "Examples:\n"
        "  zelvanor-sim --part dp256 --state board.sim -- \\\n"
        "      zelvanor -i sm -p @PORT@ -t data/mc9s12dp256.dat -E -H app.s19\n"
        "  zelvanor-sim --part dp256 --pod bdm12pod --osc 16M -- \\\n"
        "      zelvanor -i bdm12pod -p @PORT@ -o 16M -t data/mc9s12dp256.dat\n"
        "  zelvanor-sim --part dp256 --pod tbdml -- \\\n"
        "      zelvanor -i tbdml -t data/mc9s12dp256.dat -Y -G flash.s19\n"
        "  zelvanor-sim --part dg128 --boot lrae -- \\\n"
        "      zelvanor -i lrae -p @PORT@ -o 16M -t examples/dg128-lrae.dat -G flash.s19\n",
        kFaultHelp, kUsbFaultHelp);
}

void list_parts() {
    unsigned count = 0;
    const PartProfile* profiles = part_profiles(&count);
    std::printf("%-8s %-14s %-7s %-9s %-7s %-8s %s\n", "part", "MCU", "family", "FLASH", "EEPROM",
                "part id", "description");
    for (unsigned i = 0; i < count; ++i) {
        const PartProfile& p = profiles[i];
        const char* family = "HCS12";
        if (p.layout.family_id == kSimFamilyHcs12x) {
            family = "HCS12X";
        } else if (p.layout.family_id == kSimFamilyHc12) {
            family = "HC12";
        }
        std::printf("%-8s %-14s %-7s %-9s %-7s 0x%04X   %s\n", p.name, p.mcu, family,
                    p.flash_module, p.eeprom_module, p.part_id, p.description);
    }
}

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

// A whole number of microseconds, at most 10 s.
bool parse_microseconds(const char* text, uint32_t* value) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || number > 10000000) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

// "4.7" -> 0x47: major version 0-7, minor 0-15.
bool parse_pod_version(const char* text, uint8_t* version) {
    char* end = nullptr;
    const unsigned long major = std::strtoul(text, &end, 10);
    if (end == text || *end != '.' || major > 7) {
        return false;
    }
    const char* rest = end + 1;
    const unsigned long minor = std::strtoul(rest, &end, 10);
    if (end == rest || *end != '\0' || minor > 15 || *text == '-' || *rest == '-') {
        return false;
    }
    *version = static_cast<uint8_t>(major << 4 | minor);
    return true;
}

// A frequency as zelvanor's -o takes it: a number (0x for hexadecimal) and an optional
// k, kHz, M or MHz in any case; not 0.
bool parse_frequency(const char* text, uint64_t* hz) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 0);
    uint64_t scale = 1;
    if (strcasecmp(end, "k") == 0 || strcasecmp(end, "kHz") == 0) {
        scale = 1000;
    } else if (strcasecmp(end, "M") == 0 || strcasecmp(end, "MHz") == 0) {
        scale = 1000000;
    } else if (*end != '\0') {
        return false;
    }
    if (errno != 0 || number == 0 || number > UINT64_MAX / scale) {
        return false;
    }
    *hz = number * scale;
    return true;
}

// Returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char** argv, Options* options) {
    enum {
        kServe = 256,
        kTrace,
        kPod,
        kPodVersion,
        kPodModab,
        kUnprotected,
        kPace,
        kTurnaround,
        kModemLatency,
        kUsbLatency,
        kModemNoWait,
        kStats
    };
    static const option kLong[] = {
        {"part", required_argument, nullptr, 'P'},
        {"pod", required_argument, nullptr, kPod},
        {"pod-version", required_argument, nullptr, kPodVersion},
        {"pod-modab", no_argument, nullptr, kPodModab},
        {"osc", required_argument, nullptr, 'o'},
        {"boot", required_argument, nullptr, 'b'},
        {"unprotected", no_argument, nullptr, kUnprotected},
        {"target", required_argument, nullptr, 't'},
        {"state", required_argument, nullptr, 's'},
        {"fault", required_argument, nullptr, 'f'},
        {"serve", no_argument, nullptr, kServe},
        {"trace", required_argument, nullptr, kTrace},
        {"pace", no_argument, nullptr, kPace},
        {"turnaround-us", required_argument, nullptr, kTurnaround},
        {"modem-latency-us", required_argument, nullptr, kModemLatency},
        {"usb-latency-us", required_argument, nullptr, kUsbLatency},
        {"modem-no-wait", no_argument, nullptr, kModemNoWait},
        {"stats", required_argument, nullptr, kStats},
        {"list-parts", no_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    while ((c = getopt_long(argc, argv, "+P:t:s:f:b:o:lh", kLong, nullptr)) != -1) {
        switch (c) {
            case 'P':
                options->part = optarg;
                break;
            case 't':
                options->target = optarg;
                break;
            case 's':
                options->state = optarg;
                break;
            case 'f':
                if (parse_fault(optarg, &options->faults) != 0) {
                    return kSimFailure;
                }
                break;
            case kServe:
                options->serve = true;
                break;
            case kTrace:
                options->trace = optarg;
                break;
            case kPod:
                options->usb = std::strcmp(optarg, "tbdml") == 0;
                if (!options->usb && !parse_pod_kind(optarg, &options->pod_config.kind)) {
                    sim_error("unknown pod %s (bdm12pod, podex, podex-bug, podex-25, tbdml)\n",
                              optarg);
                    return kSimFailure;
                }
                options->pod = true;
                options->pod_name = optarg;
                break;
            case kPodVersion:
                if (!parse_pod_version(optarg, &options->pod_config.version)) {
                    sim_error("invalid pod version %s (major.minor, e.g. 4.6)\n", optarg);
                    return kSimFailure;
                }
                break;
            case kPodModab:
                options->pod_config.moda_modb = true;
                break;
            case 'b':
                if (std::strcmp(optarg, "sm") != 0 && std::strcmp(optarg, "lrae") != 0) {
                    sim_error("unknown resident program %s (sm or lrae)\n", optarg);
                    return kSimFailure;
                }
                options->lrae = std::strcmp(optarg, "lrae") == 0;
                break;
            case 'o':
                if (!parse_frequency(optarg, &options->osc)) {
                    sim_error("invalid oscillator frequency: %s\n", optarg);
                    return kSimFailure;
                }
                options->osc_set = true;
                break;
            case kUnprotected:
                options->unprotected = true;
                break;
            case kPace:
                options->pacing.paced = true;
                break;
            case kTurnaround:
            case kModemLatency:
            case kUsbLatency: {
                uint32_t* value = c == kTurnaround     ? &options->pacing.turnaround_us
                                  : c == kModemLatency ? &options->pacing.modem_latency_us
                                                       : &options->pacing.usb_latency_us;
                if (!parse_microseconds(optarg, value)) {
                    sim_error("invalid latency %s (microseconds, at most 10000000)\n", optarg);
                    return kSimFailure;
                }
                break;
            }
            case kModemNoWait:
                options->modem_no_wait = true;
                break;
            case kStats:
                options->stats = optarg;
                break;
            case 'l':
                list_parts();
                return 0;
            case 'h':
                print_usage();
                return 0;
            default:
                sim_error("see zelvanor-sim --help\n");
                return kSimFailure;
        }
    }
    for (int i = optind; i < argc; ++i) {
        options->command.emplace_back(argv[i]);
    }
    if (options->part == nullptr) {
        sim_error("no part given (--part, see --list-parts)\n");
        return kSimFailure;
    }
    if (options->pod && options->lrae) {
        sim_error("a BDM pod and a resident boot loader exclude each other (--pod, --boot)\n");
        return kSimFailure;
    }
    if (options->pod) {
        options->pod_config.board_osc = options->osc_set ? options->osc : 0;
    }
    if (options->serve == !options->command.empty()) {
        sim_error("give either a command after -- or --serve\n");
        return kSimFailure;
    }
    return -1;
}

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
