// The sm entry of the interface operations table.
#pragma once

#include <cstdint>

#include "base/interface_ops.h"

namespace zelv {

extern const InterfaceOps sm_interface;

[[nodiscard]] int sm_open();
[[nodiscard]] int sm_close();
[[nodiscard]] int sm_reset();
[[nodiscard]] int sm_eeprom_erase();
[[nodiscard]] int sm_flash_erase(int unsecure);

// Transfer callbacks the FLASH frames drive.
[[nodiscard]] int sm_flash_read_chunk(uint32_t offset, uint8_t* buffer, uint32_t length);
[[nodiscard]] int sm_flash_write_block(uint32_t offset, const uint8_t* data, uint32_t length);
// The write's read back: what sm_flash_write_block programmed at the offset. The same as
// sm_flash_read_chunk, except that the CPU vectors of the last page (0xFF80-0xFFFF), which
// the monitor keeps for itself, are read from its user vector table at 0xF780-0xF7FF, where
// it programs the vectors written to them. The piece must not cross a 16 KB page.
[[nodiscard]] int sm_flash_verify_chunk(uint32_t offset, uint8_t* buffer, uint32_t length);

}  // namespace zelv
