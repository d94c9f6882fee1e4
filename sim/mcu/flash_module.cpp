#include "mcu/flash_module.h"

#include "mcu/virtual_mcu.h"

namespace zelv::sim {

namespace {

// The FLASH configuration field 0xFF00-0xFF0F, from the start of the last page.
constexpr uint32_t kConfigField = 0x3F00;
constexpr uint32_t kSecurityByte = 0x0F;
constexpr uint32_t kBlock0ProtectionByte = 0x0D;  // block b's byte lies b lower

constexpr uint8_t kFcnfgBits = 0xE3;       // CBEIE, CCIE, KEYACC, BKSEL
constexpr uint8_t kWholeBlockOpen = 0xA4;  // FPOPEN, FPHDIS, FPLDIS

}  // namespace

int FlashModule::configure(const McuLayout& layout) {
    blocks_ = layout.flash_block_count;
    sector_ = layout.flash_sector_size;
    return configure_array(layout.flash_size, blocks_);
}

void FlashModule::reset() {
    reset_sequences();
    ftstmod_ = 0;
    fcnfg_ = 0;
    const uint32_t field = static_cast<uint32_t>(memory_.size()) - kPageSize + kConfigField;
    fsec_ = memory_[field + kSecurityByte];
    fprot_.fill(0xFF);
    for (uint32_t block = 0; block < blocks_; ++block) {
        fprot_[block] = memory_[field + kBlock0ProtectionByte - block];
    }
}

uint32_t FlashModule::block_size() const {
    return static_cast<uint32_t>(memory_.size()) / blocks_;
}

uint32_t FlashModule::block_start(uint32_t block) const {
    return (blocks_ - 1 - block) * block_size();
}

uint32_t FlashModule::block_of(uint32_t offset) const {
    return blocks_ - 1 - offset / block_size();
}

uint32_t FlashModule::word_offset(unsigned block, uint32_t word_index) const {
    return block_start(block) + (2 * word_index) % block_size();
}

unsigned FlashModule::reached_banks() const {
    if (special_mode() && (ftstmod_ & flash_reg::kWrall) != 0) {
        return all_banks();
    }
    return 1u << selected_block();
}

uint8_t FlashModule::peek_register(uint16_t offset) const {
    uint8_t value = 0;
    if (peek_common(selected_block(), offset, &value)) {
        return value;
    }
    switch (offset) {
        case flash_reg::kFsec:
            return fsec_;
        case flash_reg::kFtstmod:
            return special_mode() ? ftstmod_ : 0;
        case flash_reg::kFcnfg:
            return fcnfg_;
        case flash_reg::kFprot:
            return fprot_[selected_block()];
        default:
            return 0;
    }
}

uint8_t FlashModule::read_register(uint16_t offset) {
    uint8_t value = 0;
    return read_common(selected_block(), offset, &value) ? value : peek_register(offset);
}

void FlashModule::write_register(uint16_t offset, uint8_t value) {
    const unsigned banks = reached_banks();
    if (write_common(banks, offset, value)) {
        return;
    }
    switch (offset) {
        case flash_reg::kFtstmod:
            if (special_mode()) {
                other_register_written(banks);
                ftstmod_ = value & flash_reg::kWrall;
            }
            return;
        case flash_reg::kFcnfg:
            other_register_written(banks);
            fcnfg_ = value & kFcnfgBits;
            return;
        case flash_reg::kFprot:
            other_register_written(banks);
            for (uint32_t block = 0; block < blocks_; ++block) {
                if ((banks & (1u << block)) != 0) {
                    uint8_t& fprot = fprot_[block];
                    fprot = special_mode() ? value : static_cast<uint8_t>(fprot & value);
                }
            }
            return;
        default:
            return;  // FSEC is read-only; the rest is reserved
    }
}

void FlashModule::restore_register(uint16_t offset, uint8_t value) {
    switch (offset) {
        case nvm::kClkdivRegister:
            restore_divider(value);
            return;
        case flash_reg::kFsec:
            fsec_ = value;
            return;
        case flash_reg::kFtstmod:
            ftstmod_ = value & flash_reg::kWrall;
            return;
        case flash_reg::kFcnfg:
            fcnfg_ = value & kFcnfgBits;
            return;
        default:
            return;
    }
}

void FlashModule::array_write(uint32_t offset, uint16_t value, bool word_access) {
    const uint32_t selected = selected_block();
    const uint32_t block = block_of(offset);
    latch_word(selected, word_access && (offset & 1) == 0, block == selected,
               (offset - block_start(block)) / 2, value);
}

bool FlashModule::protected_at(uint32_t offset) const {
    // FPOPEN clear protects the whole block (FTX parts would leave the FPHDIS/FPLDIS areas
    // open then; no host here relies on that).
    const uint8_t fprot = fprot_[block_of(offset)];
    if ((fprot & 0x80) == 0) {
        return true;
    }
    const uint32_t size = block_size();
    const uint32_t in_block = offset % size;
    if ((fprot & 0x20) == 0 && in_block >= size - (0x800u << ((fprot >> 3) & 3))) {
        return true;
    }
    const uint32_t low_start = size >= 2 * kPageSize ? size - 2 * kPageSize : 0;
    return (fprot & 0x04) == 0 && in_block >= low_start &&
           in_block - low_start < (0x200u << (fprot & 3));
}

NvmStatus FlashModule::check_word(uint32_t offset, uint32_t block) const {
    if ((offset & 1) != 0 || offset >= memory_.size() || block_of(offset) != block) {
        return NvmStatus::kAccessError;
    }
    return protected_at(offset) ? NvmStatus::kProtectionViolation : NvmStatus::kOk;
}

NvmStatus FlashModule::check_sector(uint32_t offset, uint32_t block) const {
    if (offset >= memory_.size() || block_of(offset) != block) {
        return NvmStatus::kAccessError;
    }
    const uint32_t start = sector_start(offset);
    for (uint32_t o = start; o < start + sector_; o += 2) {
        if (protected_at(o)) {
            return NvmStatus::kProtectionViolation;
        }
    }
    return NvmStatus::kOk;
}

NvmStatus FlashModule::program_word(uint32_t offset, uint16_t value) {
    return flagged(selected_block(),
                   program_if_erased(check_word(offset, selected_block()), offset, value));
}

NvmStatus FlashModule::erase_sector(uint32_t offset) {
    const NvmStatus status = check_sector(offset, selected_block());
    if (status == NvmStatus::kOk) {
        erase_range(sector_start(offset), sector_start(offset) + sector_);
    }
    return flagged(selected_block(), status);
}

bool FlashModule::command_known(uint8_t command) const {
    return command == nvm::kEraseVerify || command == nvm::kWordProgram ||
           command == nvm::kSectorErase || command == nvm::kMassErase;
}

NvmStatus FlashModule::command_check(unsigned index, const NvmBank& b) const {
    const uint32_t offset = word_offset(index, b.index);
    switch (b.command) {
        case nvm::kWordProgram:
            return check_word(offset, index);
        case nvm::kSectorErase:
            return check_sector(offset, index);
        case nvm::kMassErase:
            return (fprot_[index] & kWholeBlockOpen) == kWholeBlockOpen
                       ? NvmStatus::kOk
                       : NvmStatus::kProtectionViolation;
        default:
            return NvmStatus::kOk;  // erase verify reads only
    }
}

bool FlashModule::command_run(unsigned index, const NvmBank& b) {
    const uint32_t offset = word_offset(index, b.index);
    const uint32_t start = block_start(index);
    switch (b.command) {
        case nvm::kWordProgram:
            clear_bits(offset, b.data);  // over a programmed word only more bits clear
            return false;
        case nvm::kSectorErase:
            erase_range(sector_start(offset), sector_start(offset) + sector_);
            return false;
        case nvm::kMassErase:
            erase_range(start, start + block_size());
            return false;
        default:
            return blank(start, start + block_size());
    }
}

}  // namespace zelv::sim
