// The host side of the serial monitor protocol: one-byte commands, their argument and reply
// bytes, and the three-byte prompt (error code, status, '>') that closes every reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial.h"

namespace zelv {

// Commands the host sends.
enum SmCommand : uint8_t {
    kSmReadByte = 0xA1,
    kSmWriteByte = 0xA2,
    kSmReadWord = 0xA3,
    kSmWriteWord = 0xA4,
    kSmReadBlock = 0xA7,
    kSmWriteBlock = 0xA8,
    kSmReset = 0xB4,
    kSmEraseFlash = 0xB6,
    kSmDeviceInfo = 0xB7,
    kSmEraseEeprom = 0xB9,
};

inline constexpr uint8_t kSmPromptChar = '>';
inline constexpr uint8_t kSmOk = 0xE0;
inline constexpr uint8_t kSmDeviceCode = 0xDC;

// The serial port the sm interface owns for the run.
[[nodiscard]] SerialPort& sm_port();

// Reads exactly count bytes; a time-out reports "timeout - no connection with target".
[[nodiscard]] int sm_receive(uint8_t* buffer, std::size_t count, unsigned timeout_ms);

// Reads and judges the prompt. With sync, hunts byte by byte for '>' in third place (each
// byte within 100 ms, the whole hunt within the prompt's 5000 ms) and takes 0xE1 (command
// not recognized) as success.
[[nodiscard]] int sm_prompt(bool sync);

// Writes the command byte, then the argument bytes (if any), then receives reply_count
// reply bytes (if any). Does not read the prompt.
[[nodiscard]] int sm_command(uint8_t code, const uint8_t* arguments, std::size_t argument_count,
                             uint8_t* reply, std::size_t reply_count);

// Sends a carriage return and hunts for the first prompt.
[[nodiscard]] int sm_synchronise();

// Memory access, each one command and its prompt; these double as the target access
// callbacks of the sm interface.
[[nodiscard]] int sm_read_byte(uint16_t address, uint8_t* value);
[[nodiscard]] int sm_write_byte(uint16_t address, uint8_t value);
[[nodiscard]] int sm_read_word(uint16_t address, uint16_t* value);
[[nodiscard]] int sm_write_word(uint16_t address, uint16_t value);

// Block transfers of 1 to 256 bytes; other counts return EINVAL without traffic.
[[nodiscard]] int sm_read_block(uint16_t address, uint8_t* buffer, uint32_t count);
[[nodiscard]] int sm_write_block(uint16_t address, const uint8_t* data, uint32_t count);

}  // namespace zelv
