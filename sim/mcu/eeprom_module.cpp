#include "mcu/eeprom_module.h"

#include <cstddef>

namespace zelv::sim {

namespace {

constexpr uint32_t kProtectionByteFromEnd = 3;
constexpr uint8_t kEcnfgBits = 0xC0;       // CBEIE, CCIE
constexpr uint8_t kWholeArrayOpen = 0x88;  // EPOPEN, EPDIS

uint32_t sector_of(uint32_t offset) {
    return offset & ~(kEepromSectorSize - 1);
}

}  // namespace

void EepromModule::reset() {
    reset_sequences();
    ecnfg_ = 0;
    const std::size_t size = memory_.size();
    eprot_ = size >= kProtectionByteFromEnd ? memory_[size - kProtectionByteFromEnd] : 0xFF;
}

uint8_t EepromModule::peek_register(uint16_t offset) const {
    uint8_t value = 0;
    if (peek_common(0, offset, &value)) {
        return value;
    }
    switch (offset) {
        case eeprom_reg::kEcnfg:
            return ecnfg_;
        case eeprom_reg::kEprot:
            return eprot_;
        default:
            return 0;
    }
}

uint8_t EepromModule::read_register(uint16_t offset) {
    uint8_t value = 0;
    return read_common(0, offset, &value) ? value : peek_register(offset);
}

void EepromModule::write_register(uint16_t offset, uint8_t value) {
    constexpr unsigned kBank = 1;
    if (write_common(kBank, offset, value)) {
        return;
    }
    switch (offset) {
        case eeprom_reg::kEcnfg:
            other_register_written(kBank);
            ecnfg_ = value & kEcnfgBits;
            return;
        case eeprom_reg::kEprot:
            other_register_written(kBank);
            eprot_ = special_mode() ? value : static_cast<uint8_t>(eprot_ & value);
            return;
        default:
            return;
    }
}

void EepromModule::restore_register(uint16_t offset, uint8_t value) {
    switch (offset) {
        case nvm::kClkdivRegister:
            restore_divider(value);
            return;
        case eeprom_reg::kEcnfg:
            ecnfg_ = value & kEcnfgBits;
            return;
        case eeprom_reg::kEprot:
            eprot_ = value;
            return;
        default:
            return;
    }
}

void EepromModule::array_write(uint32_t offset, uint16_t value, bool word_access) {
    latch_word(0, word_access && (offset & 1) == 0, offset < memory_.size(), offset / 2, value);
}

bool EepromModule::protected_at(uint32_t offset) const {
    if ((eprot_ & 0x80) == 0) {
        return true;  // EPOPEN clear: the whole array
    }
    const auto size = static_cast<uint32_t>(memory_.size());
    const uint32_t area = 64u * ((eprot_ & 0x07) + 1u);
    return (eprot_ & 0x08) == 0 && offset + area >= size;
}

NvmStatus EepromModule::check_word(uint32_t offset) const {
    if ((offset & 1) != 0 || offset + 2 > memory_.size()) {
        return NvmStatus::kAccessError;
    }
    return protected_at(offset) || protected_at(offset + 1) ? NvmStatus::kProtectionViolation
                                                            : NvmStatus::kOk;
}

NvmStatus EepromModule::check_sector(uint32_t offset) const {
    const uint32_t start = sector_of(offset);
    if (start + kEepromSectorSize > memory_.size()) {
        return NvmStatus::kAccessError;
    }
    for (uint32_t o = start; o < start + kEepromSectorSize; ++o) {
        if (protected_at(o)) {
            return NvmStatus::kProtectionViolation;
        }
    }
    return NvmStatus::kOk;
}

NvmStatus EepromModule::check_mass_erase() const {
    if (memory_.empty()) {
        return NvmStatus::kAccessError;
    }
    return (eprot_ & kWholeArrayOpen) == kWholeArrayOpen ? NvmStatus::kOk
                                                         : NvmStatus::kProtectionViolation;
}

NvmStatus EepromModule::program_word(uint32_t offset, uint16_t value) {
    return flagged(0, program_if_erased(check_word(offset), offset, value));
}

NvmStatus EepromModule::erase_all() {
    const NvmStatus status = check_mass_erase();
    if (status == NvmStatus::kOk) {
        erase_range(0, static_cast<uint32_t>(memory_.size()));
    }
    return flagged(0, status);
}

bool EepromModule::command_known(uint8_t command) const {
    return command == nvm::kEraseVerify || command == nvm::kWordProgram ||
           command == nvm::kSectorErase || command == nvm::kMassErase ||
           command == nvm::kSectorModify;
}

NvmStatus EepromModule::command_check(unsigned /*index*/, const NvmBank& b) const {
    const uint32_t offset = 2 * b.index;
    switch (b.command) {
        case nvm::kWordProgram:
            return check_word(offset);
        case nvm::kSectorErase:
        case nvm::kSectorModify:
            return check_sector(offset);
        case nvm::kMassErase:
            return check_mass_erase();
        default:
            return NvmStatus::kOk;
    }
}

bool EepromModule::command_run(unsigned /*index*/, const NvmBank& b) {
    const uint32_t offset = 2 * b.index;
    const auto size = static_cast<uint32_t>(memory_.size());
    switch (b.command) {
        case nvm::kWordProgram:
            clear_bits(offset, b.data);
            return false;
        case nvm::kSectorErase:
            erase_range(sector_of(offset), sector_of(offset) + kEepromSectorSize);
            return false;
        case nvm::kSectorModify:
            erase_range(sector_of(offset), sector_of(offset) + kEepromSectorSize);
            clear_bits(offset, b.data);
            return false;
        case nvm::kMassErase:
            erase_range(0, size);
            return false;
        default:
            return blank(0, size);
    }
}

}  // namespace zelv::sim
