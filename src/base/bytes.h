// The MCU stores 16-bit words high byte first, and the pods and monitors send them that
// way; these convert between that order and host values.
#pragma once

#include <cstdint>

namespace zelv {

[[nodiscard]] constexpr uint16_t be16_swap(uint16_t value) {
    return static_cast<uint16_t>((value << 8) | (value >> 8));
}

[[nodiscard]] constexpr uint16_t be16_get(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

constexpr void be16_put(uint16_t value, uint8_t* bytes) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value & 0xFF);
}

}  // namespace zelv
