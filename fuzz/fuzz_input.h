// What every fuzz target shares: the input as a file (the readers take paths) and as the
// bytes a fake link hands out as replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelv::fuzz {

// Writes the input to a file of this process's own and returns its path.
std::string input_file(const uint8_t* data, std::size_t size, const char* suffix);

// The replies the fake serial port and the fake USB device read from: the input, in order.
// Once they run out every read times out at once, and writes always succeed.
void replies_set(const uint8_t* data, std::size_t size);

// Puts the settings, the description and the target model back to their defaults and
// silences standard output and error (the messages are not under test, their paths are).
void fresh_run();

}  // namespace zelv::fuzz
