// EEPROM programming through the EEPROM module's registers over BDM (the direct method); the
// EEPROM operations themselves are slots of the BDM interfaces (bdm_operations.h).
#pragma once

#include <cstdint>

namespace zelv {

// EEPROM module registers at their reset addresses.
namespace eeprom_reg {
inline constexpr uint16_t kEprot = 0x0114;
inline constexpr uint16_t kEstat = 0x0115;
inline constexpr uint16_t kEcmd = 0x0116;
inline constexpr uint16_t kEaddr = 0x0118;
inline constexpr uint16_t kEdata = 0x011A;
}  // namespace eeprom_reg

// ECMD and the launch, then ESTAT back to back until CCIF, PVIOL or ACCERR (at most 1 s):
// PVIOL and ACCERR fail with EIO, no completion with ETIMEDOUT.
[[nodiscard]] int eeprom_command(uint8_t command);

// Word program at an even EEPROM address.
[[nodiscard]] int eeprom_program_word(uint16_t address, uint16_t value);

// Mass erase of the whole EEPROM, its protection opened first.
[[nodiscard]] int eeprom_mass_erase();

}  // namespace zelv
