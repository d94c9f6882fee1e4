// FLASH programming through the RAM agent (the agent method): the frames' callbacks, the
// per-block erase and erase verify, and the security word.
#pragma once

#include <cstdint>

namespace zelv {

// Block, page, page-window address and length of the offset into the parameter block (+2,
// +3, +4, +6), then the command (with a status place when status is given).
[[nodiscard]] int agent_flash_command(uint8_t code, uint32_t offset, uint32_t length,
                                      uint8_t* status = nullptr);

// The frames' callbacks: chunks of agent_buffer_size through the agent's data buffer.
[[nodiscard]] int agent_flash_read_chunk(uint32_t offset, uint8_t* buffer, uint32_t length);
[[nodiscard]] int agent_flash_write_chunk(uint32_t offset, const uint8_t* data, uint32_t length);

// Bulk erase of every block, one command per block, each printed.
[[nodiscard]] int agent_flash_erase();

// Erase verify of every block, each printed; after the last, "FLASH erase verify failed -
// memory not clear" (EIO) when one was not blank, "- unknown response" (EINVAL) at once for
// a status that is neither.
[[nodiscard]] int agent_flash_erase_verify();

// Programs the security word (0xFF0E, the highest page, block 0) with value.
[[nodiscard]] int agent_flash_security_word(uint16_t value);

}  // namespace zelv
