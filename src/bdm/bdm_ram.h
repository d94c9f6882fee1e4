// S-record files into target RAM through the pod: the RAM agents and the programs of -X.
#pragma once

#include <cstdint>

namespace zelv {

enum class RamLoadKind { kImage, kAgent };

// S-record address -> RAM image offset: address - ram_base inside RAM, ram_size outside.
[[nodiscard]] uint32_t ram_address_to_offset(uint32_t address);

// Reads the file into a RAM image and writes its data to the target in 256-byte blocks.
// Sets ram_entry from the termination record; an entry outside RAM (an S9 with address 0,
// say) counts as none. A file without entry is refused ("entry address not specified",
// EINVAL) unless it is an image and -j was given. A file without data records writes
// nothing. For the agent kind the parameter block (the lowest address loaded) must be even
// and there; an image clears agent_loaded first, since it may overwrite the agent.
[[nodiscard]] int ram_load(const char* path, RamLoadKind kind);

}  // namespace zelv
