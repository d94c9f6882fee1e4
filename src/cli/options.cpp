#include "cli/options.h"

#include <getopt.h>

#include <strings.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "base/settings.h"
#include "memops/eeprom_frames.h"

namespace zelv {
namespace {

constexpr const char* kShortOptions = "hqdfi:p:b:c:t:o:j:a:es:vX:USAB:C:D:EFG:H:RZY";

// "srecord-size" is the name the usage text has always shown; it is a second name of
// "srec-size" with the same argument and value, so "--srec" stays an unambiguous prefix.
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"quiet", no_argument, nullptr, 'q'},
    {"debug", no_argument, nullptr, 'd'},
    {"force", no_argument, nullptr, 'f'},
    {"interface", required_argument, nullptr, 'i'},
    {"port", required_argument, nullptr, 'p'},
    {"baud", required_argument, nullptr, 'b'},
    {"chip", required_argument, nullptr, 'c'},
    {"target", required_argument, nullptr, 't'},
    {"osc", required_argument, nullptr, 'o'},
    {"start-address", required_argument, nullptr, 'j'},
    {"flash-address", required_argument, nullptr, 'a'},
    {"include-erased", no_argument, nullptr, 'e'},
    {"srec-size", required_argument, nullptr, 's'},
    {"srecord-size", required_argument, nullptr, 's'},
    {"verify", no_argument, nullptr, 'v'},
    {"reset", no_argument, nullptr, 'R'},
    {"ram-run", required_argument, nullptr, 'X'},
    {"unsecure", no_argument, nullptr, 'U'},
    {"secure", no_argument, nullptr, 'S'},
    {"eeprom-erase", no_argument, nullptr, 'A'},
    {"eeprom-read", required_argument, nullptr, 'B'},
    {"eeprom-write", required_argument, nullptr, 'C'},
    {"eeprom-protect", required_argument, nullptr, 'D'},
    {"flash-erase", no_argument, nullptr, 'E'},
    {"flash-erase-unsecure", no_argument, nullptr, 'F'},
    {"flash-read", required_argument, nullptr, 'G'},
    {"flash-write", required_argument, nullptr, 'H'},
    {"keep-lrae", no_argument, nullptr, 'Z'},
    {"tbdml-bulk", no_argument, nullptr, 'Y'},
    {"version", no_argument, nullptr, kOptionVersion},
    {"verify-flash", required_argument, nullptr, kOptionVerifyFlash},
    {"verify-eeprom", required_argument, nullptr, kOptionVerifyEeprom},
    {nullptr, 0, nullptr, 0},
};

constexpr const char* kUsage =
    "Usage: zelvanor [options]\n"
    "  -h, --help\n"
    "      show usage info\n"
    "  --version\n"
    "      show program version and build information\n"
    "  -q, --quiet\n"
    "      be quiet (no progress/status messages)\n"
    "  -d, --debug\n"
    "      print debug trace messages\n"
    "  -f, --force\n"
    "      force operation, if questionable\n"
    "  -i <interface>, --interface <interface>\n"
    "      use given interface for target connection, supported ones are:\n"
    "      tbdml     - Vestrand's Turbo BDM Light\n"
    "      bdm12pod  - original Quillon's BDM12 POD\n"
    "      podex     - PODEX with patched firmware\n"
    "      podex-bug - original Draskow's PODEX (with bugs)\n"
    "      podex-25  - special PODEX version dedicated for 25MHz target\n"
    "      lrae      - Freescale's serial LRAE bootloader (AN2546)\n"
    "      sm        - Freescale's serial monitor (AN2548)\n"
    "  -p <port>, --port <port>\n"
    "      use given port for target connection\n"
    "  -b <baud>, --baud <baud>\n"
    "      use given baud rate for serial port\n"
    "  -t <target>, --target <target>\n"
    "      target device definition\n"
    "  -o <freq>, --osc <freq>\n"
    "      target device oscillator frequency\n"
    "  -j <addr>, --start-address <addr>\n"
    "      start address for RAM image, if not supplied within S-record\n"
    "  -a <type>, --flash-address <type>\n"
    "      S-record type when reading/writing file:\n"
    "      non-banked    - FLASH linear area within 64kB, size depends on target\n"
    "      banked-linear - Freescale banked linear format\n"
    "      banked-ppage  - banked format with PPAGE value as MSB\n"
    "      (when not specified, default is non-banked)\n"
    "  -e, --include-erased\n"
    "      include erased areas of memory in written S-record file\n"
    "      (default is to skip 0xff blocks)\n"
    "  -s <size>, --srecord-size <size>\n"
    "      size of single S-record written to file, default: 16\n"
    "  -v, --verify\n"
    "      verify result of all erase/write operations\n"
    "Following options can be specified multiple times, any of them,\n"
    "processing is according to occurence order:\n"
    "  -R, --reset\n"
    "      reset target into normal mode\n"
    "  -U, --unsecure\n"
    "      unsecure secured microcontroller\n"
    "  -S, --secure\n"
    "      secure the microcontroller\n"
    "  -X <file>, --ram-run <file>\n"
    "      load S-record file into RAM and execute\n"
    "  -A, --eeprom-erase\n"
    "      erase EEPROM memory\n"
    "  -B <file>, --eeprom-read <file>\n"
    "      read EEPROM memory contents into S-record file\n"
    "  -C <file>, --eeprom-write <file>\n"
    "      write EEPROM memory contents from S-record file\n"
    "  -D <range>, --eeprom-protect <range>\n"
    "      write EEPROM protection byte, range can be:\n"
    "      <all|64B|128B|192B|256B|320B|384B|448B|512B>\n"
    "      all - protects whole EEPROM array\n"
    "      xxxB - protects last xxx bytes of EEPROM array\n"
    "  -E, --flash-erase\n"
    "      erase FLASH memory, leave security byte in secured state\n"
    "  -F, --flash-erase-unsecure\n"
    "      erase FLASH memory, program security byte to unsecured state\n"
    "  -G <file>, --flash-read <file>\n"
    "      read FLASH memory contents into S-record file\n"
    "  -H <file>, --flash-write <file>\n"
    "      write FLASH memory contents from S-record file\n"
    "  --verify-flash <file>\n"
    "      compare FLASH memory contents with S-record file\n"
    "  --verify-eeprom <file>\n"
    "      compare EEPROM memory contents with S-record file\n"
    "Special options for LRAE:\n"
    "  -Z, --keep-lrae\n"
    "      keep LRAE boot loader in FLASH memory when erasing FLASH\n"
    "      memory (default is to erase it)\n"
    "Special options for TBDML:\n"
    "  -Y, --tbdml-bulk\n"
    "      enable bulk USB transfers for TBDML (faster, but non-standard\n"
    "      according to USB specification)\n";

// For the hint after an unknown option: the usage text's options, in its order.
constexpr const char* kOptionList =
    "-h --version -q -d -f -i -p -b -t -o -j -a -e -s -v -R -U -S -X -A -B -C -D -E -F -G -H "
    "--verify-flash --verify-eeprom -Z -Y";

// For the hint after an unknown interface: the names -i takes, as the usage text lists them.
constexpr const char* kInterfaceList = "tbdml, bdm12pod, podex, podex-bug, podex-25, lrae, sm";

constexpr unsigned long kMaxFrequency = 0xFFFFFFFFUL;
constexpr unsigned long kMaxRecordSize = 250;
constexpr unsigned long kMaxStartAddress = 0xFFFF;

// strtoul would take a minus sign as "wrap around": "-1" must not become a huge number.
bool has_minus(const char* text) {
    return std::strchr(text, '-') != nullptr;
}

// Parses -o: a number (base 0) with an optional k/kHz or M/MHz suffix in any case.
// Returns false for a malformed value, one of 0 (no digits, such as "k", count as 0) or one
// beyond 32 bits.
bool parse_frequency(const char* text, unsigned long* hz) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (errno == ERANGE || has_minus(text) || value == 0) {
        return false;
    }
    unsigned long multiplier = 1;
    if (*end != '\0') {
        if (strcasecmp(end, "k") == 0 || strcasecmp(end, "kHz") == 0) {
            multiplier = 1000;
        } else if (strcasecmp(end, "M") == 0 || strcasecmp(end, "MHz") == 0) {
            multiplier = 1000000;
        } else {
            return false;
        }
    }
    if (value > kMaxFrequency / multiplier) {
        return false;
    }
    *hz = value * multiplier;
    return true;
}

// strtoul over the whole text; false when characters are left over, for a minus sign and
// for a value too large for the setting. An empty text is 0.
bool parse_whole(const char* text, int base, unsigned long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtoul(text, &end, base);
    return *end == '\0' && errno != ERANGE && !has_minus(text);
}

}  // namespace

void print_banner(FILE* stream) {
    std::fprintf(stream, "zelvanor: Freescale S12 MCU memory loader V%s\n\n", kVersion);
}

void print_usage(FILE* stream) {
    std::fputs(kUsage, stream);
}

void print_version(FILE* stream) {
    std::fprintf(stream,
                 "zelvanor %s\n"
                 "Freescale S12 MCU memory loader for HC12, HCS12 and HCS12X\n"
                 "build: %s, g++ %s, C++%ld, libusb 0.1 loaded at run time (tbdml)\n"
                 "data directory: %s\n",
                 kVersion, ZELV_BUILD_TYPE[0] != '\0' ? ZELV_BUILD_TYPE : "default", __VERSION__,
                 (__cplusplus / 100) % 100, settings().data_dir);
}

int options_first_pass(int argc, char** argv) {
    Settings& s = settings();
    optind = 0;  // a full restart of the scanner
    opterr = 1;  // unknown options and missing arguments are worded by getopt itself
    for (;;) {
        const int option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (option == -1) {
            break;
        }
        unsigned long value = 0;
        switch (option) {
            case 'h':
                std::fflush(stdout);
                print_banner(stderr);
                print_usage(stderr);
                return 0;
            case kOptionVersion:
                print_version(stdout);
                return 0;
            case 'q':
                s.verbose = 0;
                break;
            case 'd':
                s.debug = 1;
                break;
            case 'f':
                s.force = 1;
                break;
            case 'v':
                s.verify = 1;
                break;
            case 'e':
                s.include_erased = 1;
                break;
            case 'Z':
                s.keep_lrae = 1;
                break;
            case 'Y':
                s.tbdml_bulk = 1;
                break;
            case 'i':
                s.interface = optarg;
                break;
            case 'p':
                s.port = *optarg != '\0' ? optarg : nullptr;
                break;
            case 'c':
                s.chip = optarg;
                break;
            case 'b':
                if (!parse_whole(optarg, 10, &value)) {
                    report_error("invalid baud rate: %s\n", optarg);
                    return 1;
                }
                s.baud = value;
                break;
            case 'j':
                // The CPU's addresses are 16 bits: 0x13000 would start the program at 0x3000.
                if (!parse_whole(optarg, 0, &value) || value > kMaxStartAddress) {
                    report_error("invalid start address: %s\n", optarg);
                    return 1;
                }
                s.start_address = value;
                s.start_address_set = 1;
                break;
            case 's':
                // A record carries at most 250 data bytes with a 4-byte address, and a size
                // of 0 would never advance; refuse both here rather than mid-operation.
                if (!parse_whole(optarg, 0, &value) || value == 0 || value > kMaxRecordSize) {
                    report_error("invalid S-record size: %s\n", optarg);
                    return 1;
                }
                s.srec_size = value;
                break;
            case 'o':
                // A frequency of 0 used to end the run without a word; say what was wrong.
                if (!parse_frequency(optarg, &value)) {
                    report_error("invalid oscillator frequency: %s\n", optarg);
                    return 1;
                }
                s.osc = value;
                break;
            case 'a':
                if (std::strcmp(optarg, "non-banked") == 0) {
                    s.address_format = kNonBanked;
                } else if (std::strcmp(optarg, "banked-linear") == 0) {
                    s.address_format = kBankedLinear;
                } else if (std::strcmp(optarg, "banked-ppage") == 0) {
                    s.address_format = kBankedPpage;
                } else {
                    report_error("invalid address format: %s\n", optarg);
                    return 1;
                }
                break;
            case 't':
                if (s.target != nullptr) {
                    report_error("target already specified\n");
                    return 1;
                }
                s.target = optarg;
                break;
            case 'D':
                // Checked now, before anything is opened: found only when its turn came, a
                // bad range would stop the run after earlier operations had erased the FLASH.
                if (eeprom_protection_find(optarg) == nullptr) {
                    report_error("invalid EEPROM protection area: %s\n", optarg);
                    return 1;
                }
                break;
            case 'R':
            case 'X':
            case 'U':
            case 'S':
            case 'A':
            case 'B':
            case 'C':
            case 'E':
            case 'F':
            case 'G':
            case 'H':
            case kOptionVerifyFlash:
            case kOptionVerifyEeprom:
                break;  // operations run in the second pass
            default:
                // getopt has said what was wrong; say what would have been right.
                std::fprintf(stderr, "hint: the options are %s; zelvanor -h explains each\n",
                             kOptionList);
                return 1;
        }
    }
    return -1;
}

int options_check(int argc, char** argv, const InterfaceOps** entry) {
    Settings& s = settings();
    if (optind < argc) {
        report_error("extraneous command line item: %s\n", argv[optind]);
        return 1;
    }
    if (s.interface == nullptr) {
        report_error("missing target interface selection (-i option)\n");
        return 1;
    }
    if (s.target == nullptr) {
        report_error("target not specified (-t option)\n");
        return 1;
    }
    if (std::strcmp(s.interface, "podex") == 0) {
        s.interface = "bdm12pod";
    } else if (std::strcmp(s.interface, "podex-bug") == 0) {
        s.podex_bug = 1;
        s.interface = "bdm12pod";
    } else if (std::strcmp(s.interface, "podex-25") == 0) {
        s.podex_25 = 1;
        s.interface = "bdm12pod";
        if (s.osc != 0 && s.osc != 25000000) {
            report_error("this interface works with target oscillator = 25MHz only\n");
            return 1;
        }
        s.osc = 25000000;
    }
    *entry = interface_find(s.interface);
    if (*entry == nullptr) {
        report_error("invalid target interface: %s\nhint: the interfaces are %s (zelvanor -h)\n",
                     s.interface, kInterfaceList);
        return 1;
    }
    return 0;
}

void options_restart() {
    optind = 0;
    opterr = 0;  // the first pass has already reported every problem
}

bool options_next_operation(int argc, char** argv, Operation* operation) {
    for (;;) {
        const int option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (option == -1) {
            return false;
        }
        // Only letters go to strchr: the long-only values would wrap to other bytes.
        if (option == kOptionVerifyFlash || option == kOptionVerifyEeprom ||
            (option > 0 && option < 0x80 && std::strchr("RXUSABCDEFGH", option) != nullptr)) {
            operation->letter = option;
            operation->argument = optarg;
            return true;
        }
    }
}

}  // namespace zelv
