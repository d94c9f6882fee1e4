#include "bdm/bdm_connect.h"

#include <cerrno>
#include <cstdlib>

#include "bdm/bdm_state.h"
#include "mcu/identify.h"
#include "mcu/status_report.h"
#include "base/console.h"
#include "base/settings.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint16_t kBdmsts = 0xFF01;
constexpr uint8_t kEnbdm = 0x80;
constexpr uint8_t kBdmact = 0x40;
constexpr uint8_t kClksw = 0x04;
constexpr uint8_t kUnsec = 0x02;
constexpr uint16_t kPartId = 0x001A;
constexpr uint16_t kFclkdiv = 0x0100;
constexpr uint16_t kEclkdiv = 0x0110;

constexpr unsigned long kMinimumOsc = 2000000;
constexpr unsigned long kPrescaleFrom = 12800000;
constexpr unsigned long kFclkMaximum = 200000;
constexpr unsigned long kFclkMinimum = 150000;
constexpr unsigned long kFdivMaximum = 63;  // six bits
constexpr uint8_t kPrdiv8 = 0x40;

bool has_flash_module(const TargetModel& m) {
    return m.family_id == kFamilyHcs12 || m.family_id == kFamilyHcs12x;
}

unsigned long fdiv_for(unsigned long prescaled) {
    return (prescaled + kFclkMaximum - 1) / kFclkMaximum + 1;
}

int write_init_bytes() {
    (void)description_get(nullptr, true);
    for (const char* value = description_get("bdm_init_byte", false); value != nullptr;
         value = description_get("bdm_init_byte", false)) {
        uint16_t address = 0;
        uint8_t byte = 0;
        if (!bdm_parse_init_byte(value, &address, &byte)) {
            report_error("invalid target bdm_init_byte parameter\n");
            return EINVAL;
        }
        const int result = active_pod().write_byte(address, byte);
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

int write_clock_divider() {
    uint8_t divider = 0;
    unsigned long fclk = 0;
    int result = bdm_clock_divider(settings().osc, &divider, &fclk);
    if (result != 0) {
        return result;
    }
    print_debug("FCLK = %lu\n", fclk);
    if ((result = active_pod().write_byte(kFclkdiv, divider)) != 0) {
        return result;
    }
    return active_pod().write_byte(kEclkdiv, divider);
}

}  // namespace

int bdm_clock_divider(unsigned long osc, uint8_t* divider, unsigned long* fclk) {
    if (osc < kMinimumOsc) {
        report_error("FLASH/EEPROM routines cannot work with oscillator below 2MHz\n");
        return EINVAL;
    }
    bool prescale = osc >= kPrescaleFrom;
    unsigned long prescaled = prescale ? osc >> 3 : osc;
    unsigned long fdiv = fdiv_for(prescaled);
    // Just below 12.8 MHz the divider no longer fits its six bits without the prescaler.
    if (fdiv > kFdivMaximum && !prescale) {
        prescale = true;
        prescaled = osc >> 3;
        fdiv = fdiv_for(prescaled);
    }
    const unsigned long clock = fdiv <= kFdivMaximum ? prescaled / (fdiv + 1) : 0;
    if (clock < kFclkMinimum) {
        report_error("unable to determine proper clock divider for FLASH/EEPROM programming\n");
        return EINVAL;
    }
    *divider = static_cast<uint8_t>(fdiv | (prescale ? kPrdiv8 : 0));
    *fclk = clock;
    return 0;
}

bool bdm_parse_init_byte(const char* text, uint16_t* address, uint8_t* value) {
    char* end = nullptr;
    const unsigned long first = std::strtoul(text, &end, 0);
    if (end == text || *end != ' ') {
        return false;
    }
    const char* rest = end + 1;
    const unsigned long second = std::strtoul(rest, &end, 0);
    // strtoul takes a text without digits as 0; a value that ends in its blank has no byte.
    if (end == rest || *end != '\0') {
        return false;
    }
    *address = static_cast<uint16_t>(first & 0xFFFF);
    *value = static_cast<uint8_t>(second & 0xFF);
    return true;
}

int bdm_connect(bool verbose) {
    const BdmPod& pod = active_pod();
    TargetModel& m = target();
    // Whatever the reset below achieves, an agent in RAM can no longer be counted on.
    bdm_state().agent_loaded = false;
    int result = pod.reset_special();
    if (result != 0) {
        return result;
    }
    uint32_t delay = 0;
    if (description_number("bdm_startup_delay", &delay, 0) != 0) {
        return EINVAL;
    }
    sleep_ms(delay);

    uint8_t status = 0;
    if ((result = pod.read_bd_byte(kBdmsts, &status)) != 0) {
        return result;
    }
    m.security_erased = (status & kUnsec) != 0 ? 1 : 0;
    const bool s12 = has_flash_module(m);
    if (verbose) {
        const char* security = "";
        if (s12) {
            security = (status & kUnsec) != 0 ? ",unsecured" : ",secured";
        }
        print_always("BDM status <%s,%s%s> clock <%s>\n",
                     (status & kEnbdm) != 0 ? "enabled" : "disabled",
                     (status & kBdmact) != 0 ? "active" : "inactive", security,
                     (status & kClksw) != 0 ? "pll" : "bus");
    }

    if (s12) {
        uint16_t part_id = 0;
        if ((result = pod.read_word(kPartId, &part_id)) != 0) {
            return result;
        }
        if (!identify_part(part_id, verbose)) {
            return EINVAL;
        }
    }
    if ((result = write_init_bytes()) != 0) {
        return result;
    }
    if (s12 && (result = write_clock_divider()) != 0) {
        return result;
    }
    // The report learns the security state and the RAM and EEPROM positions that every
    // later operation relies on, so a report cut short fails the connection.
    if ((result = status_report(verbose)) != 0) {
        return result;
    }
    if (verbose) {
        print_always("\n");
    }
    return 0;
}

int bdm_open() {
    const BdmPod& pod = active_pod();
    int result = pod.pod_open();
    if (result != 0) {
        return result;
    }
    TargetModel& m = target();
    m.target_read_byte = pod.read_byte;
    m.target_read_word = pod.read_word;
    m.target_write_byte = pod.write_byte;
    m.target_write_word = pod.write_word;
    result = bdm_connect(settings().verbose != 0);
    if (result != 0) {
        (void)pod.pod_close();
        return result;
    }
    return 0;
}

}  // namespace zelv
