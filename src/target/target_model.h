// The target model: the one record that describes the MCU for the whole run.
//
// target_model_build fills it from the description list and the family, EEPROM and FLASH
// module tables; the interface's open completes it from the MCU's registers and installs
// the target access callbacks.
#pragma once

#include <cstdint>

namespace zelv {

enum FamilyId : int { kFamilyHc12 = 1, kFamilyHcs12 = 2, kFamilyHcs12x = 3 };

// Target access callbacks. Addresses are 16-bit addresses of the MCU's local map; words are
// big-endian on the target (high byte at the address). Each returns 0 or an errno value and
// reports its own failure.
using TargetReadByte = int (*)(uint16_t address, uint8_t* value);
using TargetReadWord = int (*)(uint16_t address, uint16_t* value);
using TargetWriteByte = int (*)(uint16_t address, uint8_t value);
using TargetWriteWord = int (*)(uint16_t address, uint16_t value);

struct TargetModel {
    const char* info = nullptr;
    const char* mcu = nullptr;
    const char* family = nullptr;
    int family_id = 0;
    uint32_t ram_size = 0;
    const char* eeprom_module = nullptr;
    int eeprom_module_id = 0;
    uint32_t eeprom_size = 0;
    const char* flash_module = nullptr;
    int flash_module_id = 0;
    uint32_t flash_block_count = 0;
    uint32_t backdoor_key_format = 0;  // 1: bit 7 set; 2: bit 7 set and bit 6 clear; 0: never
    uint32_t flash_size = 0;
    uint32_t flash_sector_size = 0;
    uint32_t flash_nb_base = 0;
    uint32_t flash_nb_size = 0;
    uint32_t ppage_linear_base = 0;
    uint32_t flash_block_size = 0;  // 0 for the modules "NONE" and "OTHER" (no blocks)
    uint32_t ppage_base = 0;
    uint32_t ppage_count = 0;
    uint32_t ppage_default = 0;
    uint32_t register_base = 0;
    uint32_t register_space = 0;
    uint32_t ram_base = 0;
    uint32_t ram_space = 0;
    uint32_t eeprom_base = 0;
    uint32_t eeprom_space = 0;
    // The status report read the memory map: the fields above describe the connected MCU,
    // and the window checks judge them. EEON as it found it: the EEPROM shows in the map at
    // all (the HCS12X's window always does).
    int memory_map_read = 0;
    int eeprom_enabled = 1;
    int security_erased = 0;
    int unsecured = 0;
    int secured = 0;
    TargetReadByte target_read_byte = nullptr;
    TargetReadWord target_read_word = nullptr;
    TargetWriteByte target_write_byte = nullptr;
    TargetWriteWord target_write_word = nullptr;
};

// The run's target model.
[[nodiscard]] TargetModel& target();

// Builds the model from the description list; prints the target info lines while
// `verbose` is set, the description's texts with their non-printable bytes replaced.
// Returns 0 or EINVAL (with the first failing check's message; among the checks,
// flash_size must be ppage_count pages of 16 KB unless it is 0), ENOMEM when a text cannot
// be copied for printing.
[[nodiscard]] int target_model_build();

}  // namespace zelv
