// zelvanor-sim: the virtual target. Runs a command (normally zelvanor) against a virtual
// MCU behind a serial monitor on a pseudo-terminal, or serves the port until interrupted.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "faults.h"
#include "part_profiles.h"
#include "port_server.h"
#include "sim_log.h"
#include "sm_emulator.h"
#include "state_file.h"
#include "virtual_mcu.h"

namespace {

using namespace zelv::sim;

// The simulator's own failures end it with this status, apart from any the command uses.
constexpr int kSimFailure = 2;

void print_usage() {
    std::printf(
        "Usage: zelvanor-sim --part NAME [options] -- COMMAND [ARG...]\n"
        "       zelvanor-sim --part NAME [options] --serve\n"
        "       zelvanor-sim --list-parts\n"
        "\n"
        "Runs COMMAND against a virtual MCU with a serial monitor, reached through a\n"
        "pseudo-terminal; every @PORT@ in COMMAND's words becomes the terminal's path.\n"
        "The exit status is COMMAND's (128 + signal when a signal ended it, 127 when it\n"
        "could not be started), or 2 when the simulator itself fails.\n"
        "\n"
        "Options:\n"
        "  -P, --part NAME      part profile (see --list-parts)\n"
        "  -t, --target FILE    take the memory layout from this target description\n"
        "                       (a path, or a name in the data directory)\n"
        "  -s, --state FILE     load the virtual memory from FILE when it exists and save\n"
        "                       it there after the run\n"
        "  -f, --fault FAULT    inject a fault (repeatable, below)\n"
        "      --serve          print the port's path and serve it until interrupted\n"
        "      --trace FILE     log every byte on the port to FILE\n"
        "  -l, --list-parts     list the part profiles\n"
        "  -h, --help           show this text\n"
        "\n"
        "%s"
        "\n"
        "Example:\n"
        "  zelvanor-sim --part dp256 --state board.sim -- \\\n"
        "      zelvanor -i sm -p @PORT@ -t data/mc9s12dp256.dat -E -H app.s19\n",
        kFaultHelp);
}

void list_parts() {
    unsigned count = 0;
    const PartProfile* profiles = part_profiles(&count);
    std::printf("%-8s %-14s %-7s %-9s %-7s %-8s %s\n", "part", "MCU", "family", "FLASH", "EEPROM",
                "part id", "description");
    for (unsigned i = 0; i < count; ++i) {
        const PartProfile& p = profiles[i];
        std::printf("%-8s %-14s %-7s %-9s %-7s 0x%04X   %s\n", p.name, p.mcu,
                    p.layout.family_id == kSimFamilyHcs12x ? "HCS12X" : "HCS12", p.flash_module,
                    p.eeprom_module, p.part_id, p.description);
    }
}

struct Options {
    const char* part = nullptr;
    const char* target = nullptr;
    const char* state = nullptr;
    const char* trace = nullptr;
    bool serve = false;
    FaultSet faults;
    std::vector<std::string> command;
};

// Returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char** argv, Options* options) {
    enum { kServe = 256, kTrace };
    static const option kLong[] = {
        {"part", required_argument, nullptr, 'P'},
        {"target", required_argument, nullptr, 't'},
        {"state", required_argument, nullptr, 's'},
        {"fault", required_argument, nullptr, 'f'},
        {"serve", no_argument, nullptr, kServe},
        {"trace", required_argument, nullptr, kTrace},
        {"list-parts", no_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    while ((c = getopt_long(argc, argv, "+P:t:s:f:lh", kLong, nullptr)) != -1) {
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
    if (options->serve == !options->command.empty()) {
        sim_error("give either a command after -- or --serve\n");
        return kSimFailure;
    }
    return -1;
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
    if (part_config(*profile, layout, &config) != 0 || mcu.configure(config) != 0) {
        return kSimFailure;
    }
    for (const StuckByte& stuck : options.faults.stuck) {
        if (mcu.add_stuck_byte(stuck) != 0) {
            return kSimFailure;
        }
    }
    mcu.set_nvm_faults(options.faults.nvm);
    bool loaded = false;
    if (options.state != nullptr && state_load(options.state, mcu, &loaded) != 0) {
        return kSimFailure;
    }
    SmEmulator monitor(mcu, options.faults.sm);
    (void)monitor.install();

    FILE* trace = nullptr;
    if (options.trace != nullptr) {
        trace = std::fopen(options.trace, "w");
        if (trace == nullptr) {
            sim_error("cannot open trace file %s (%s)\n", options.trace, std::strerror(errno));
            return kSimFailure;
        }
    }
    Pty pty;
    int status = kSimFailure;
    if (pty_open(&pty) == 0) {
        PortServer server(pty.master, monitor, trace);
        int served = 0;
        if (options.serve) {
            std::printf("%s\n", pty.slave_path.c_str());
            std::fflush(stdout);
            std::fprintf(stderr, "zelvanor-sim: %s (part id 0x%04X) on %s; interrupt to stop\n",
                         profile->mcu, profile->part_id, pty.slave_path.c_str());
            served = serve_until_signal(server);
            status = 0;
        } else {
            served = run_command(server, replace_port(options.command, pty.slave_path), &status);
        }
        if (served != 0) {
            status = kSimFailure;
        }
        pty_close(&pty);
        if (options.state != nullptr && state_save(options.state, profile->name, mcu) != 0) {
            status = kSimFailure;
        }
    }
    if (trace != nullptr) {
        std::fclose(trace);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parse_options(argc, argv, &options);
    if (parsed >= 0) {
        return parsed;
    }
    return run(options);
}
