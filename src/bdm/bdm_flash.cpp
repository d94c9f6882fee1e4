// The FLASH operations of the BDM interfaces: -G, -H, -E and -F, by the method the target
// description chooses for each.
#include <cerrno>

#include "base/console.h"
#include "base/settings.h"
#include "bdm/bdm_agent.h"
#include "bdm/bdm_connect.h"
#include "bdm/bdm_flash_agent.h"
#include "bdm/bdm_flash_direct.h"
#include "bdm/bdm_operations.h"
#include "bdm/bdm_state.h"
#include "memops/flash_frames.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kDirectReadChunk = 512;
constexpr uint32_t kDirectWriteChunk = 16;
constexpr uint16_t kUnsecuredWord = 0xFFFE;  // security byte 0xFE: SEC 10

// The checks every FLASH read and write makes before it touches the target.
int prepare(const char* key, const char* what, BdmMethod* method) {
    int result = select_method(key, method);
    if (result == 0) {
        result = flash_check_module(what);
    }
    if (result != 0) {
        return result;
    }
    if (target().secured != 0 && settings().force == 0) {
        report_error("%s not possible - MCU secured (-f option forces the operation)\n%s", what,
                     kSecuredHint);
        return EIO;
    }
    if (*method == BdmMethod::kAgent) {
        return agent_require();
    }
    bdm_state().cached_ppage = kSelectionUnknown;
    return 0;
}

int direct_security_word(uint16_t value) {
    const TargetModel& m = target();
    const auto top_page = static_cast<uint8_t>((m.ppage_base + m.ppage_count - 1) & 0xFF);
    const BdmPod& pod = active_pod();
    int result = pod.write_byte(flash_reg::kFcnfg, 0);
    if (result == 0) {
        result = pod.write_byte(flash_reg::kPpage, top_page);
    }
    // The selection the read and write paths remember is no longer what the part has.
    bdm_state().cached_ppage = kSelectionUnknown;
    return result != 0 ? result : flash_program_word(kSecurityWord, value);
}

}  // namespace

int bdm_flash_read(const char* path) {
    BdmMethod method = BdmMethod::kDirect;
    if (const int result = prepare("bdm_flash_read", "FLASH read", &method); result != 0) {
        return result;
    }
    if (method == BdmMethod::kAgent) {
        return flash_read_frame(path, bdm_state().agent_buffer_size, agent_flash_read_chunk,
                                secured_read_check);
    }
    return flash_read_frame(path, kDirectReadChunk, bdm_flash_read_chunk, secured_read_check);
}

int bdm_flash_write(const char* path) {
    BdmMethod method = BdmMethod::kDirect;
    if (const int result = prepare("bdm_flash_write", "FLASH write", &method); result != 0) {
        return result;
    }
    // -v reads the pages back through the method's own FLASH read, in its -G pieces.
    if (method == BdmMethod::kAgent) {
        const uint32_t size = bdm_state().agent_buffer_size;
        return flash_write_frame(path, size, agent_flash_write_chunk, agent_flash_read_chunk, size);
    }
    return flash_write_frame(path, kDirectWriteChunk, bdm_flash_write_chunk, bdm_flash_read_chunk,
                             kDirectReadChunk);
}

int bdm_flash_verify(const char* path) {
    BdmMethod method = BdmMethod::kDirect;
    if (const int result = prepare("bdm_flash_read", "FLASH verify", &method); result != 0) {
        return result;
    }
    // The read-back -v does after -H with the same method, in its -G pieces.
    if (method == BdmMethod::kAgent) {
        return flash_verify_frame(path, agent_flash_read_chunk, bdm_state().agent_buffer_size);
    }
    return flash_verify_frame(path, bdm_flash_read_chunk, kDirectReadChunk);
}

int bdm_flash_erase(int unsecure) {
    BdmMethod method = BdmMethod::kDirect;
    int result = select_method("bdm_flash_erase", &method);
    if (result == 0) {
        result = flash_check_module("FLASH erase");
    }
    // A secured part is erased without -f: erasing is how it is brought back. Its BDM runs
    // no code, so the registers erase it whatever the method keys say.
    const bool secured = target().secured != 0;
    const bool agent = method == BdmMethod::kAgent && !secured;
    if (result == 0 && agent) {
        result = agent_require();
    }
    if (result != 0) {
        return result;
    }
    if (agent) {
        if ((result = agent_flash_erase()) != 0) {
            return result;
        }
        print_info("FLASH erase: memory erased\n");
    } else {
        uint32_t elapsed = 0;
        if ((result = flash_mass_erase(&elapsed)) != 0) {
            return result;
        }
        print_info("FLASH erase: memory erased, time <%u ms>\n", elapsed);
    }
    if (settings().verify != 0) {
        if ((result = agent ? agent_flash_erase_verify() : flash_erase_verify()) != 0) {
            return result;
        }
        print_info("FLASH erase: verify ok\n");
    }
    // The erase changed what a reset finds: connect again, as unsecuring does, so that the
    // operations after this one see the part as it is now.
    if (secured && (result = bdm_connect(false)) != 0) {
        return result;
    }
    if (unsecure != 0) {
        // Only a part found blank at the reset takes the security word; an EEPROM that still
        // holds data keeps it secured.
        if (target().secured != 0) {
            report_error(
                "FLASH erase: security byte not programmed - the EEPROM still holds data, which "
                "keeps the part secured\nhint: -U erases FLASH and EEPROM and unsecures the "
                "part\n");
            return EIO;
        }
        result = agent ? agent_flash_security_word(kUnsecuredWord)
                       : direct_security_word(kUnsecuredWord);
        if (result == 0 && secured) {
            result = bdm_connect(false);
        }
        if (result != 0) {
            return result;
        }
        print_info("FLASH erase: security byte set to unsecure state\n");
    }
    return 0;
}

}  // namespace zelv
