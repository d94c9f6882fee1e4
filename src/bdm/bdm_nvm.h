// What the FLASH and EEPROM modules' command registers share: the status bits of FSTAT and
// ESTAT, the commands, and the wait for a command to complete.
#pragma once

#include <cstdint>

namespace zelv {

namespace nvm {
inline constexpr uint8_t kCbeif = 0x80;  // writing it launches the command
inline constexpr uint8_t kCcif = 0x40;   // command complete
inline constexpr uint8_t kPviol = 0x20;
inline constexpr uint8_t kAccerr = 0x10;
inline constexpr uint8_t kBlank = 0x04;  // erase verify found the array erased
inline constexpr uint8_t kClearFlags = kPviol | kAccerr;
inline constexpr uint8_t kEraseVerify = 0x05;
inline constexpr uint8_t kWordProgram = 0x20;
inline constexpr uint8_t kMassErase = 0x41;
}  // namespace nvm

// Reads the status register back to back until CCIF, PVIOL or ACCERR shows, for at most a
// second. PVIOL: "<module> protection violation (PVIOL bit set)", ACCERR: "<module> access
// error (ACCERR bit set)", both EIO; neither and no CCIF: "<module> operation timed out",
// ETIMEDOUT. module is "FLASH" or "EEPROM".
[[nodiscard]] int nvm_wait(uint16_t status_register, const char* module);

}  // namespace zelv
