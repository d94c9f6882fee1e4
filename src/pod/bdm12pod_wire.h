// The BDM12POD's own serial commands, beside the BDM opcodes it forwards (bdm_commands.h):
// the single-byte sync and reset commands, and the pod command 0x04 with its sub-codes. The
// pod driver and the virtual pod share them.
#pragma once

#include <cstdint>

namespace zelv::bdm12pod_wire {

inline constexpr uint8_t kSync = 0x00;
inline constexpr uint8_t kResetSpecial = 0x01;
inline constexpr uint8_t kResetLow = 0x02;
inline constexpr uint8_t kResetHigh = 0x03;
inline constexpr uint8_t kPodCommand = 0x04;  // then one of the sub-codes below

inline constexpr uint8_t kGetVersion = 0x00;
inline constexpr uint8_t kMemDump = 0x03;
inline constexpr uint8_t kSetSpeed = 0x04;
inline constexpr uint8_t kMemPut = 0x06;
inline constexpr uint8_t kSetCustomSpeed = 0x07;

}  // namespace zelv::bdm12pod_wire
