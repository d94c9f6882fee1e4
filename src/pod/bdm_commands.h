// The BDM command set as it travels on the BKGD line: the opcode of each hardware and firmware
// command, and what the target does with it. The BDM12POD forwards these opcodes as they
// stand; the virtual BDM and the virtual pods decode the same table, so the host and the
// simulator cannot drift apart.
//
// Hardware commands work whether the CPU runs or not; firmware commands only while the CPU is
// in active background mode (BDMACT). Write commands carry a 16-bit word after their address
// (byte writes too: the byte rides in the half of the word its address selects), read
// commands answer with one. READ/WRITE of the CPU registers add the register's place in the
// order PC, D, X, Y, SP to the PC opcode.
#pragma once

#include <cstdint>

namespace zelv::bdm_command {

// Firmware commands: need active background mode.
inline constexpr uint8_t kGo = 0x08;
inline constexpr uint8_t kGoUntil = 0x0C;
inline constexpr uint8_t kTrace1 = 0x10;
inline constexpr uint8_t kTaggo = 0x18;
inline constexpr uint8_t kWriteNext = 0x42;
inline constexpr uint8_t kWritePc = 0x43;  // then D, X, Y, SP
inline constexpr uint8_t kWriteSp = 0x47;
inline constexpr uint8_t kReadNext = 0x62;
inline constexpr uint8_t kReadPc = 0x63;  // then D, X, Y, SP
inline constexpr uint8_t kReadSp = 0x67;

// Hardware commands.
inline constexpr uint8_t kBackground = 0x90;
inline constexpr uint8_t kWriteByte = 0xC0;
inline constexpr uint8_t kWriteBdByte = 0xC4;
inline constexpr uint8_t kWriteWord = 0xC8;
inline constexpr uint8_t kWriteBdWord = 0xCC;
inline constexpr uint8_t kAckEnable = 0xD5;
inline constexpr uint8_t kAckDisable = 0xD6;
inline constexpr uint8_t kReadByte = 0xE0;
inline constexpr uint8_t kReadBdByte = 0xE4;
inline constexpr uint8_t kReadWord = 0xE8;
inline constexpr uint8_t kReadBdWord = 0xEC;

// Whether the command only works in active background mode.
[[nodiscard]] constexpr bool needs_background(uint8_t opcode) {
    return opcode < kBackground;
}

// Whether the host sends a data word after the command (and its address, if any).
[[nodiscard]] constexpr bool carries_word(uint8_t opcode) {
    return opcode == kWriteNext || (opcode >= kWritePc && opcode <= kWriteSp) ||
           opcode == kWriteByte || opcode == kWriteBdByte || opcode == kWriteWord ||
           opcode == kWriteBdWord;
}

// Whether the target answers with a data word.
[[nodiscard]] constexpr bool answers_word(uint8_t opcode) {
    return opcode == kReadNext || (opcode >= kReadPc && opcode <= kReadSp) ||
           opcode == kReadByte || opcode == kReadBdByte || opcode == kReadWord ||
           opcode == kReadBdWord;
}

// Whether the command carries a 16-bit target address after its opcode.
[[nodiscard]] constexpr bool carries_address(uint8_t opcode) {
    return opcode >= kWriteByte && opcode != kAckEnable && opcode != kAckDisable;
}

}  // namespace zelv::bdm_command
