// The TBDML's USB command codes and reply statuses, shared by the pod driver and the virtual
// pod. Each command is a vendor control transfer (or, with bulk transfers on, a bulk block)
// whose request byte is the code below; the reply's first byte is the status.
#pragma once

#include <cstdint>

namespace zelv::tbdml_wire {

inline constexpr uint8_t kRefused = 2;         // the pod did not carry the command out
inline constexpr uint8_t kUnknownCommand = 3;  // the pod does not know the command

inline constexpr uint8_t kGetVersion = 0x0C;
inline constexpr uint8_t kSetTargetType = 0x1E;
inline constexpr uint8_t kConnect = 0x1F;
inline constexpr uint8_t kReset = 0x21;
inline constexpr uint8_t kReadBdByte = 0x23;
inline constexpr uint8_t kWriteBdByte = 0x24;
inline constexpr uint8_t kBackground = 0x27;
inline constexpr uint8_t kGetSpeed = 0x29;
inline constexpr uint8_t kGo = 0x2A;
inline constexpr uint8_t kTrace1 = 0x2C;
inline constexpr uint8_t kSetSpeed = 0x2E;
inline constexpr uint8_t kReadByte = 0x32;
inline constexpr uint8_t kReadWord = 0x33;
inline constexpr uint8_t kReadRegisters = 0x35;
inline constexpr uint8_t kReadBlock = 0x37;
inline constexpr uint8_t kWriteByte = 0x3C;
inline constexpr uint8_t kWriteWord = 0x3D;
inline constexpr uint8_t kWriteBlock = 0x41;
inline constexpr uint8_t kWritePc = 0x50;  // + the register's place in the order PC, SP, X, Y, D, CCR
inline constexpr uint8_t kWriteCcr = 0x55;

}  // namespace zelv::tbdml_wire
