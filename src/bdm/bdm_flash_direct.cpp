#include "bdm/bdm_flash_direct.h"

#include <cerrno>

#include "bdm/bdm_nvm.h"
#include "bdm/bdm_state.h"
#include "base/bytes.h"
#include "base/console.h"
#include "memops/flash_layout.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint8_t kWrall = 0x10;

bool several_blocks() {
    return target().flash_block_count > 1;
}

int write(uint16_t address, uint8_t value) {
    return active_pod().write_byte(address, value);
}

int write_word(uint16_t address, uint16_t value) {
    return active_pod().write_word(address, value);
}

// One command to every block: WRALL in FTSTMOD opens the register writes to all banks (FSEC
// beside it is read-only, so the launch would otherwise reach block 0 alone), and is closed
// again right after the launch. Then each block's FSTAT is waited on in turn.
int launch_all_blocks(uint8_t command, bool open_protection) {
    int result = 0;
    if (several_blocks() && ((result = write(flash_reg::kFcnfg, 0)) != 0 ||
                             (result = write(flash_reg::kFtstmod, kWrall)) != 0)) {
        return result;
    }
    if ((open_protection && (result = write(flash_reg::kFprot, 0xFF)) != 0) ||
        (result = write(flash_reg::kFstat, nvm::kClearFlags)) != 0 ||
        (result = write_word(flash_reg::kFdata, 0)) != 0 ||
        (result = write_word(flash_reg::kFaddr, 0)) != 0 ||
        (result = write(flash_reg::kFcmd, command)) != 0 ||
        (result = write(flash_reg::kFstat, nvm::kCbeif)) != 0) {
        return result;
    }
    if (several_blocks()) {
        return write(flash_reg::kFtstmod, 0x00);
    }
    return 0;
}

// Before each block's FSTAT read on a part with several blocks, FCNFG selects its bank.
int select_bank(uint32_t block) {
    return several_blocks() ? write(flash_reg::kFcnfg, static_cast<uint8_t>(block)) : 0;
}

}  // namespace

int flash_check_module(const char* what) {
    const TargetModel& m = target();
    if (m.flash_size == 0) {
        report_error("%s not possible - no FLASH memory\n", what);
        return EINVAL;
    }
    if (m.flash_block_count == 0) {
        report_error("%s not possible - unknown FLASH module\n", what);
        return EINVAL;
    }
    return 0;
}

uint8_t flash_offset_select_block(uint32_t offset) {
    const TargetModel& m = target();
    const uint32_t page = flash_offset_page(offset);
    const uint32_t pages_per_block =
        m.flash_block_count != 0 ? m.ppage_count / m.flash_block_count : 0;
    if (pages_per_block == 0 || page < m.ppage_base || page >= m.ppage_base + m.ppage_count) {
        return flash_offset_block(offset);
    }
    return static_cast<uint8_t>(m.flash_block_count - 1 - (page - m.ppage_base) / pages_per_block);
}

int flash_select_page(uint32_t offset) {
    BdmEngineState& state = bdm_state();
    const uint8_t page = flash_offset_page(offset);
    const uint8_t block = flash_offset_select_block(offset);
    const auto selection = static_cast<uint16_t>(block << 8 | page);
    if (selection == state.cached_ppage) {
        return 0;
    }
    // Until both writes went through nothing is known about the selection.
    state.cached_ppage = kSelectionUnknown;
    int result = write(flash_reg::kFcnfg, block);
    if (result == 0) {
        result = write(flash_reg::kPpage, page);
    }
    if (result == 0) {
        state.cached_ppage = selection;
    }
    return result;
}

int flash_wait() {
    return nvm_wait(flash_reg::kFstat, "FLASH");
}

int flash_program_word(uint16_t address, uint16_t value) {
    int result = 0;
    if ((result = write_word(address, value)) != 0 ||
        (result = write(flash_reg::kFcmd, nvm::kWordProgram)) != 0 ||
        (result = write(flash_reg::kFstat, nvm::kCbeif)) != 0) {
        return result;
    }
    return flash_wait();
}

int flash_mass_erase(uint32_t* elapsed_ms) {
    if (const int result = launch_all_blocks(nvm::kMassErase, true); result != 0) {
        return result;
    }
    const uint64_t start = clock_ms();
    for (uint32_t block = 0; block < target().flash_block_count; ++block) {
        int result = select_bank(block);
        if (result == 0) {
            result = flash_wait();
        }
        if (result != 0) {
            return result;
        }
    }
    *elapsed_ms = static_cast<uint32_t>(clock_ms() - start);
    return 0;
}

int flash_erase_verify() {
    if (const int result = launch_all_blocks(nvm::kEraseVerify, false); result != 0) {
        return result;
    }
    for (uint32_t block = 0; block < target().flash_block_count; ++block) {
        int result = select_bank(block);
        uint8_t status = 0;
        if (result == 0) {
            result = flash_wait();
        }
        if (result == 0) {
            result = active_pod().read_byte(flash_reg::kFstat, &status);
        }
        if (result != 0) {
            return result;
        }
        if ((status & nvm::kBlank) == 0) {
            report_error("FLASH erase verify failed - memory not clear\n");
            return EIO;
        }
    }
    return 0;
}

int flash_select_security_block() {
    return several_blocks() ? write(flash_reg::kFcnfg, 0) : 0;
}

int bdm_flash_read_chunk(uint32_t offset, uint8_t* buffer, uint32_t length) {
    if (const int result = flash_select_page(offset); result != 0) {
        return result;
    }
    return active_pod().read_block(flash_window_address(offset), buffer, length);
}

int bdm_flash_write_chunk(uint32_t offset, const uint8_t* data, uint32_t length) {
    if (const int result = flash_select_page(offset); result != 0) {
        return result;
    }
    for (uint32_t i = 0; i + 1 < length; i += 2) {
        const int result = flash_program_word(flash_window_address(offset + i), be16_get(data + i));
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

}  // namespace zelv
