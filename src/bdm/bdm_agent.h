// The two ways the BDM engine programs FLASH and EEPROM, and the RAM agent behind the second.
//
// Each FLASH and EEPROM operation follows the method its description key names: "bdm" (or
// no key) drives the MCU's FLASH and EEPROM registers from the host, "agent" loads the
// description's `bdm_agent` file into target RAM and commands it there.
//
// The agent's parameter block is the lowest address its file loads (big-endian words):
//   +0 byte  command code, written by the host
//   +1 byte  status: the host writes 2 before each start, the agent its result
//   +2 byte or word, +3 byte, +4 word, +6 word: the command's parameters
// The agent runs from its file's entry address each time it is started and returns to
// active background mode when it is done; its data buffer lies in target RAM.
#pragma once

#include <cstdint>

namespace zelv {

enum class BdmMethod { kDirect, kAgent };

// Agent commands the engine sends.
namespace agent_cmd {
inline constexpr uint8_t kInitialise = 0;
inline constexpr uint8_t kEepromErase = 1;
inline constexpr uint8_t kEepromEraseVerify = 2;
inline constexpr uint8_t kEepromWrite = 5;
inline constexpr uint8_t kFlashBlockErase = 7;
inline constexpr uint8_t kFlashBlockEraseVerify = 8;
inline constexpr uint8_t kFlashRead = 10;
inline constexpr uint8_t kFlashWrite = 11;
}  // namespace agent_cmd

// Agent status codes.
namespace agent_status {
inline constexpr uint8_t kDone = 0;
inline constexpr uint8_t kOscillatorInvalid = 1;
inline constexpr uint8_t kNotSupported = 2;  // also what the host presets
inline constexpr uint8_t kNotClear = 3;      // the erase verify commands
// A word read back other than written: the agent leaves the word's address in place of the
// address parameter (+4 FLASH, +2 EEPROM).
inline constexpr uint8_t kVerifyFailed = 5;
inline constexpr uint8_t kRefused = 4;       // the parameters name what the part lacks
inline constexpr uint8_t kAccessError = 0x10;  // the module's ACCERR, PVIOL (or both) ...
inline constexpr uint8_t kViolation = 0x20;    // ... as the agent found them after a command
}  // namespace agent_status

// Offsets in the parameter block.
namespace agent_param {
inline constexpr uint16_t kCommand = 0;
inline constexpr uint16_t kStatus = 1;
inline constexpr uint16_t kFirst = 2;
inline constexpr uint16_t kSecond = 3;
inline constexpr uint16_t kWord4 = 4;
inline constexpr uint16_t kWord6 = 6;
}  // namespace agent_param

// The method a description key chooses: no key or "bdm" direct, "agent" the agent; any other
// value (letter case counts) "invalid %s method: %s" and EINVAL.
[[nodiscard]] int select_method(const char* key, BdmMethod* method);

// Loads and initialises the agent the `bdm_agent` key names (as it stands when readable or
// when it holds a '/', else in the data directory): the file into RAM, the oscillator in kHz
// at +2, command 0, and the data buffer's address and size from +2 and +4. A secured part
// keeps the BDM out of its RAM: EIO before anything is sent, -f or not. An agent whose
// file has no entry address, whose parameter block or buffer lies at an odd address or
// outside RAM, or whose buffer size the FLASH and EEPROM transfers cannot use (odd, below 2,
// not dividing 16 KB and the FLASH image, above the FLASH sector) is refused with EINVAL.
[[nodiscard]] int agent_load();

// agent_load unless the agent is loaded.
[[nodiscard]] int agent_require();

// Runs one agent command: the code and the status 2 into the parameter block, the PC to the
// agent's entry, GO, then BDMSTS until BDMACT shows again (at most 5 s: ETIMEDOUT). Status 1
// and 2 fail (EINVAL, EOPNOTSUPP); the module's error bits (0x10, 0x20, 0x30) fail as the
// register method does ("<module> protection violation (PVIOL bit set)", "... access error
// (ACCERR bit set)", EIO); 4 fails naming the parameters it refused (EINVAL). With a status
// place every other status is stored there and 0 returned; without one anything but 0 fails
// naming its value (EINVAL).
[[nodiscard]] int agent_command(uint8_t code, uint8_t* status);

}  // namespace zelv
