// The BDM12POD serial pod, and the PODEX boards driven through the same table.
//
// The host drives the pod byte by byte with an RTS/CTS handshake and sends HCS12 BDM commands
// in their standard encoding with big-endian operands; a few pod commands (sync, version,
// resets, speed, block transfers) begin with a byte of 0x00 to 0x04. The PODEX variants are
// the settings podex_bug (old firmware: its block commands are not used) and podex_25
// (25 MHz target: always speed code 3).
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial.h"
#include "pod/pod_table.h"

namespace zelv {

extern const BdmPod bdm12pod_pod;

// The pod's serial line; closed while the pod is.
[[nodiscard]] SerialPort& bdm12pod_port();

// The version byte read at open with bit 7 cleared: major version in bits 4-6, minor in
// bits 0-3 (0x46 is version 4.6).
[[nodiscard]] uint8_t bdm12pod_version();

// The custom E-clock timing value for an oscillator of osc Hz (the pod's E-clock code 4).
// Returns 0 with *word set, or EINVAL without a message when osc is below 2000 Hz or the
// value falls outside 1 to 65535.
[[nodiscard]] int bdm12pod_eclock_word(unsigned long osc, uint16_t* word);

// Sends bytes one at a time, each with the handshake. Returns 0 or an error number.
[[nodiscard]] int bdm12pod_send(const uint8_t* bytes, std::size_t count);

// bdm12pod_send, then exactly reply_length bytes within 2000 ms ("connection timed out",
// ETIMEDOUT). Returns 0 or an error number.
[[nodiscard]] int bdm12pod_command(const uint8_t* bytes, std::size_t count, uint8_t* reply,
                                   std::size_t reply_length);

}  // namespace zelv
