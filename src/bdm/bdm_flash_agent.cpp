#include "bdm/bdm_flash_agent.h"

#include <cerrno>

#include "bdm/bdm_agent.h"
#include "bdm/bdm_flash_direct.h"
#include "bdm/bdm_state.h"
#include "base/console.h"
#include "memops/flash_layout.h"
#include "target/target_model.h"

namespace zelv {
namespace {

uint16_t param(uint16_t offset) {
    return static_cast<uint16_t>(bdm_state().agent_params + offset);
}

// Block number and its lowest page at +2 and +3, as the block commands take them.
int write_block_params(uint32_t block) {
    const BdmPod& pod = active_pod();
    int result = pod.write_byte(param(agent_param::kFirst), static_cast<uint8_t>(block));
    if (result == 0) {
        result = pod.write_byte(param(agent_param::kSecond), flash_block_page(block));
    }
    return result;
}

// Status 5: the agent left the address of the word that read back wrong; the first byte of
// it that differs is named as the read-back verify names it.
int report_write_verify(uint32_t offset, const uint8_t* data, uint32_t length) {
    const BdmPod& pod = active_pod();
    uint16_t address = 0;
    uint16_t value = 0;
    int result = pod.read_word(param(agent_param::kWord4), &address);
    if (result == 0) {
        result = pod.read_word(address, &value);  // PPAGE as the agent left it
    }
    if (result != 0) {
        return result;
    }
    const uint32_t at = static_cast<uint16_t>(address - flash_window_address(offset));
    if (at + 1 >= length) {
        report_error("unable to proceed - unknown response (status 0x%02X)\n",
                     agent_status::kVerifyFailed);
        return EINVAL;
    }
    const bool high = static_cast<uint8_t>(value >> 8) != data[at];
    const uint32_t i = high ? at : at + 1;
    report_error("FLASH data verify error at address <0x%X> value <0x%02X> expected <0x%02X>\n",
                 flash_write_map()(offset + i),
                 high ? static_cast<unsigned>(value >> 8) : static_cast<unsigned>(value & 0xFF),
                 data[i]);
    return EIO;
}

}  // namespace

int agent_flash_command(uint8_t code, uint32_t offset, uint32_t length, uint8_t* status) {
    const BdmPod& pod = active_pod();
    int result = 0;
    if ((result = pod.write_byte(param(agent_param::kFirst), flash_offset_select_block(offset))) !=
            0 ||
        (result = pod.write_byte(param(agent_param::kSecond), flash_offset_page(offset))) != 0 ||
        (result = pod.write_word(param(agent_param::kWord4), flash_window_address(offset))) != 0 ||
        (result = pod.write_word(param(agent_param::kWord6), static_cast<uint16_t>(length))) != 0) {
        return result;
    }
    return agent_command(code, status);
}

int agent_flash_read_chunk(uint32_t offset, uint8_t* buffer, uint32_t length) {
    if (const int result = agent_flash_command(agent_cmd::kFlashRead, offset, length);
        result != 0) {
        return result;
    }
    return active_pod().read_block(bdm_state().agent_buffer, buffer, length);
}

int agent_flash_write_chunk(uint32_t offset, const uint8_t* data, uint32_t length) {
    if (const int result = active_pod().write_block(bdm_state().agent_buffer, data, length);
        result != 0) {
        return result;
    }
    uint8_t status = 0;
    if (const int result = agent_flash_command(agent_cmd::kFlashWrite, offset, length, &status);
        result != 0) {
        return result;
    }
    if (status == agent_status::kVerifyFailed) {
        return report_write_verify(offset, data, length);
    }
    if (status != agent_status::kDone) {
        report_error("unable to proceed - unknown response (status 0x%02X)\n", status);
        return EINVAL;
    }
    return 0;
}

int agent_flash_erase() {
    for (uint32_t block = 0; block < target().flash_block_count; ++block) {
        int result = write_block_params(block);
        if (result == 0) {
            result = agent_command(agent_cmd::kFlashBlockErase, nullptr);
        }
        if (result != 0) {
            return result;
        }
        print_info("FLASH erase: block #%u bulk erased\n", block);
    }
    return 0;
}

int agent_flash_erase_verify() {
    bool not_clear = false;
    for (uint32_t block = 0; block < target().flash_block_count; ++block) {
        uint8_t status = 0;
        int result = write_block_params(block);
        if (result == 0) {
            result = agent_command(agent_cmd::kFlashBlockEraseVerify, &status);
        }
        if (result != 0) {
            return result;
        }
        if (status == agent_status::kNotClear) {
            not_clear = true;
        } else if (status != agent_status::kDone) {
            report_error("FLASH erase verify failed - unknown response (status 0x%02X)\n", status);
            return EINVAL;
        }
        print_info("FLASH erase: block #%u verified\n", block);
    }
    if (not_clear) {
        report_error("FLASH erase verify failed - memory not clear\n");
        return EIO;
    }
    return 0;
}

int agent_flash_security_word(uint16_t value) {
    const TargetModel& m = target();
    const BdmPod& pod = active_pod();
    const auto top_page = static_cast<uint8_t>((m.ppage_base + m.ppage_count - 1) & 0xFF);
    int result = 0;
    if ((result = pod.write_word(bdm_state().agent_buffer, value)) != 0 ||
        (result = pod.write_byte(param(agent_param::kFirst), 0)) != 0 ||
        (result = pod.write_byte(param(agent_param::kSecond), top_page)) != 0 ||
        (result = pod.write_word(param(agent_param::kWord4), kSecurityWord)) != 0 ||
        (result = pod.write_word(param(agent_param::kWord6), 2)) != 0) {
        return result;
    }
    return agent_command(agent_cmd::kFlashWrite, nullptr);
}

}  // namespace zelv
