// Securing, unsecuring and resetting over BDM (-S, -U, -R). Securing and unsecuring always
// drive the FLASH and EEPROM registers directly, whatever the method keys say, and reconnect
// so that the target model's security flags describe the new state.
#include <cerrno>

#include "base/console.h"
#include "base/settings.h"
#include "bdm/bdm_connect.h"
#include "bdm/bdm_eeprom.h"
#include "bdm/bdm_flash_direct.h"
#include "bdm/bdm_operations.h"
#include "bdm/bdm_state.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint16_t kSecuredWord = 0xFFFD;    // SEC 01
constexpr uint16_t kUnsecuredWord = 0xFF7E;  // KEYEN 01 (backdoor key off), SEC 10

// The security word lies in block 0, which FCNFG must select for the array write.
int program_security_word(uint16_t value) {
    const int result = flash_select_security_block();
    bdm_state().cached_ppage = kSelectionUnknown;
    return result != 0 ? result : flash_program_word(kSecurityWord, value);
}

}  // namespace

int bdm_secure() {
    const TargetModel& m = target();
    if (m.family_id == kFamilyHc12) {
        report_error("securing procedure not available for this family\n");
        return EINVAL;
    }
    if (m.secured != 0 && settings().force == 0) {
        print_always("secure: MCU already secured (-f option forces securing procedure)\n");
        return 0;
    }
    int result = flash_check_module("secure");
    if (result == 0) {
        result = program_security_word(kSecuredWord);
        // A secured part's FLASH refuses the program command (ACCERR) until it is erased.
        if (result == EIO && m.secured != 0) {
            report_hint("the security byte can only be programmed after an erase (-E)\n");
        }
    }
    if (result == 0) {
        result = bdm_connect(false);
    }
    if (result != 0) {
        return result;
    }
    print_info("secure: MCU secured\n");
    return 0;
}

int bdm_unsecure() {
    const TargetModel& m = target();
    if (m.family_id == kFamilyHc12) {
        report_error("unsecuring procedure not available for this MCU family\n");
        return EINVAL;
    }
    if (m.unsecured != 0 && settings().force == 0) {
        print_always("unsecure: MCU not secured (-f option forces unsecuring procedure)\n");
        return 0;
    }
    int result = flash_check_module("unsecure");
    if (result != 0) {
        return result;
    }
    if (m.eeprom_size != 0) {
        if ((result = eeprom_mass_erase()) != 0) {
            return result;
        }
        print_info("unsecure: EEPROM erased\n");
    }
    uint32_t elapsed = 0;
    if ((result = flash_mass_erase(&elapsed)) != 0) {
        return result;
    }
    print_info("unsecure: FLASH erased, time <%u ms>\n", elapsed);
    // The reset lets the BDM find the part blank, which unsecures it until the next reset:
    // long enough to program the security byte.
    if ((result = bdm_connect(false)) != 0 ||
        (result = program_security_word(kUnsecuredWord)) != 0 ||
        (result = bdm_connect(false)) != 0) {
        return result;
    }
    print_info("unsecure: MCU unsecured\n");
    return 0;
}

int bdm_reset() {
    print_info("reset: normal mode\n");
    return active_pod().reset_normal();
}

}  // namespace zelv
