// Part identification from the PARTID register, shared by the BDM engine and the serial
// monitor client.
#pragma once

#include <cstdint>

namespace zelv {

// Accepts any id but 0x0000 and 0xFFFF (reported with a hint). With verbose, prints the
// part id line decoded from the family letter and memory size tables.
[[nodiscard]] bool identify_part(uint16_t part_id, bool verbose);

}  // namespace zelv
