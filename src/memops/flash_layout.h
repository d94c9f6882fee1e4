// FLASH address formats and page/block arithmetic, pure functions of the target model and
// the `address_format` setting.
//
// Image layout by format:
//   non-banked     image of flash_nb_size bytes; offset o is CPU address flash_nb_base + o
//   banked-linear  image of flash_size bytes, lowest page first; linear ppage_linear_base + o
//   banked-ppage   same image; record address (page << 16) | (0x8000 + o % 0x4000); on
//                  reading, plain 0x4000-0x7FFF and 0xC000-0xFFFF are the fixed pages
//                  (HCS12: 0x3E, 0x3F; HCS12X: 0xFD, 0xFF)
// The non-banked image shows the CPU's view after reset: HCS12 pages last - 1, ppage_default
// and last; HCS12X pages last - 2 (0xFD), ppage_default (last - 1 unless the description
// says otherwise) and last.
#pragma once

#include <cstdint>

namespace zelv {

// Image size of the selected address format (flash_nb_size or flash_size).
[[nodiscard]] uint32_t flash_image_size();

// Image offset -> S-record address, one per format (for writing files).
[[nodiscard]] uint32_t nb_offset_to_address(uint32_t offset);
[[nodiscard]] uint32_t linear_offset_to_address(uint32_t offset);
[[nodiscard]] uint32_t ppage_offset_to_address(uint32_t offset);

// S-record address -> image offset, one per format (for reading files); a result at or
// above the image size lies outside the image.
[[nodiscard]] uint32_t nb_address_to_offset(uint32_t address);
[[nodiscard]] uint32_t linear_address_to_offset(uint32_t address);
[[nodiscard]] uint32_t ppage_address_to_offset(uint32_t address);

// The maps of the selected address format.
using FlashMap = uint32_t (*)(uint32_t);
[[nodiscard]] FlashMap flash_write_map();  // offset -> address
[[nodiscard]] FlashMap flash_read_map();   // address -> offset

// The PPAGE value that holds image offset o in the selected format.
[[nodiscard]] uint8_t flash_offset_page(uint32_t offset);

// The FLASH block (numbered from the top: block 0 holds the highest pages) of offset o.
// Needs flash_block_count > 0.
[[nodiscard]] uint8_t flash_offset_block(uint32_t offset);

// The lowest PPAGE value of block b. Needs flash_block_count > 0.
[[nodiscard]] uint8_t flash_block_page(uint32_t block);

// Finds the data (bytes other than 0xFF) of an image in the selected format that falls in
// page `page` at offsets [from, to) of the page. False when there is none; else *first and
// *last are the lowest and highest such bytes as addresses of the selected format.
[[nodiscard]] bool flash_image_data_in(const uint8_t* image, uint32_t size, uint32_t page,
                                       uint32_t from, uint32_t to, uint32_t* first,
                                       uint32_t* last);

}  // namespace zelv
