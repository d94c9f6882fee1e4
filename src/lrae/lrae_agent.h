// The LRAE agent's commands, as the host drives them once the agent runs in target RAM: the
// agent load with its oscillator handshake, FLASH pages streamed with their checksum, and
// programming through the write command.
#pragma once

#include <cstdint>

namespace zelv {

// Loads the agent named by the description's `lrae_agent` (once per connection) and hands
// it the oscillator frequency in kHz. Refuses an oscillator whose kHz do not fit 16 bits
// before anything is sent.
[[nodiscard]] int lrae_agent_load();

// FLASH operations need a FLASH and a known module layout; refuses with "FLASH <operation>
// not possible - ..." and EINVAL otherwise. operation is "read", "write" or "erase".
[[nodiscard]] int lrae_flash_available(const char* operation);

// A page read: open sends the read command for the page, take receives the next count
// bytes of its 16384, close receives what is left of the page and then the checksum byte,
// and fails with "invalid checksum received" (EIO) when the sum of all 16384 bytes differs.
[[nodiscard]] int lrae_page_open(uint8_t block, uint8_t page);
[[nodiscard]] int lrae_page_take(uint8_t* destination, uint32_t count);
[[nodiscard]] int lrae_page_close();

// The read_chunk of the FLASH read frame. Offsets come in order from 0; a page starts the
// page's read, its last byte, or the image's last byte, closes it. Any length that stays
// in one page works (the frame passes 1), so a reader that starts at each page start can
// drive it too.
[[nodiscard]] int lrae_read_byte(uint32_t offset, uint8_t* destination, uint32_t length);

// The program_block of the FLASH write frame: one write command at the block, page and
// window address of the image offset.
[[nodiscard]] int lrae_write_block(uint32_t offset, const uint8_t* data, uint32_t count);

// Programs one word at a CPU address with the page selected (block 0).
[[nodiscard]] int lrae_write_word(uint8_t page, uint16_t address, uint16_t value);

}  // namespace zelv
