// The Turbo BDM Light (TBDML), a USB BDM pod.
//
// Every BDM primitive is one pod command: a command byte and a few parameter bytes, carried
// as a vendor control transfer on the default pipe (the command is the request, the first
// four parameter bytes are wValue and wIndex, the rest the data stage), answered by a status
// byte and, for reads, the data. With -Y the block transfers go over the pod's bulk
// endpoints instead. Addresses, words and the speed value travel low byte first. The status
// is the command byte for done, 2 for a command the pod refused and 3 for one it does not
// know. The pod measures the target's speed when no oscillator is given, and the measured
// frequency becomes `osc` for the rest of the run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pod/pod_table.h"

namespace zelv {

extern const BdmPod tbdml_pod;

inline constexpr uint16_t kTbdmlVendorId = 0x0425;
inline constexpr uint16_t kTbdmlProductId = 0x1000;

// What a command gets back.
enum class TbdmlReply {
    kNone,        // nothing: the transfer's own result is all there is
    kStatus,      // the status byte alone
    kStatusData,  // the status byte and n data bytes
};

// One command over the default pipe. params: count parameter bytes; reply: n data bytes
// (kStatusData). Returns 0; -1 without a message when the pod refused the command (status
// 2); EIO with a message for an unknown command, an unknown status, an empty reply or a
// reply of another length; or the transfer's error.
[[nodiscard]] int tbdml_command(uint8_t command, const uint8_t* params, std::size_t count,
                                uint8_t* reply, TbdmlReply kind, std::size_t n);

// One command over the bulk endpoints: always a status and n data bytes back (n may be 0).
// The results are tbdml_command's; a reply that is empty or shorter than n + 1 is EIO.
[[nodiscard]] int tbdml_bulk_command(uint8_t command, const uint8_t* params, std::size_t count,
                                     uint8_t* reply, std::size_t n);

// The speed value the pod takes for an oscillator of osc Hz (rounded to whole kHz first).
// EINVAL without a message below 500 Hz (0 kHz) or when the value falls outside 1 to 65535.
[[nodiscard]] int tbdml_speed_value(unsigned long osc, uint16_t* value);

// The oscillator frequency in Hz, in whole kHz, that a measured speed value stands for; 0
// for a value of 0.
[[nodiscard]] unsigned long tbdml_frequency(uint16_t value);

}  // namespace zelv
