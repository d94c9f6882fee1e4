#include "program/sim_options.h"

#include <getopt.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/sim_log.h"
#include "faults/usb_faults.h"
#include "program/part_profiles.h"

namespace zelv::sim {

namespace {

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

}  // namespace

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

}  // namespace zelv::sim
