// The host buffer that mirrors a FLASH or EEPROM range for one frame call.
#pragma once

#include <cstdint>
#include <vector>

namespace zelv {

// Sizes `image` to `size` bytes preset to 0xFF (erased); ENOMEM, reported, when the memory
// is not there.
[[nodiscard]] int allocate_image(std::vector<uint8_t>* image, uint32_t size);

// Judges what a read frame read before its file is written: 0 lets the file be written; an
// errno value (reported, naming the operation `what`) leaves no file.
using ReadImageCheck = int (*)(const char* what, const uint8_t* image, uint32_t size);

}  // namespace zelv
