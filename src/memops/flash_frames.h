// The interface-independent FLASH read and write procedures. An interface supplies one
// callback that moves a piece of FLASH at a given image offset; the frames own the image,
// the S-record file, the address format and the progress bar.
#pragma once

#include <cstdint>

#include "memops/memory_image.h"

namespace zelv {

// Reads `length` bytes of FLASH at image offset `offset` into `destination`. Maps the offset
// to pages and addresses with the helpers of flash_layout.h. Returns 0 or an errno value
// (reported).
using FlashReadChunk = int (*)(uint32_t offset, uint8_t* destination, uint32_t length);

// Programs `length` bytes (a multiple of 4, at most the chunk, never crossing a
// flash_sector_size boundary, never containing an erased word) at image offset `offset`.
using FlashProgramBlock = int (*)(uint32_t offset, const uint8_t* data, uint32_t length);

// Reads the whole image in `chunk` pieces and writes it to `path`. chunk must divide the
// image size (else "invalid chunk size for FLASH read: %u" and EINVAL before any read).
// `check`, when given, judges the image before the file is written.
[[nodiscard]] int flash_read_frame(const char* path, uint32_t chunk, FlashReadChunk read_chunk,
                                   ReadImageCheck check = nullptr);

// Loads `path` into a 0xFF image, prints the ranges and programs every data word in blocks
// of at most `chunk` bytes. chunk must be a multiple of 4 (blocks are whole words), divide
// the image and not exceed flash_sector_size; otherwise "invalid chunk size for FLASH write"
// and EINVAL before the file is read.
//
// With -v (`verify`), once the last block is programmed, the frame reads back every 16 KB
// page of the image that holds data, each from its first byte to its end, in pieces of
// `read_size` bytes through `read_chunk`: the interface's own FLASH read, called as the read
// frame calls it, except that a page's last piece is cut at the page end (or the image
// end), so a piece never crosses a page and every page is read from its start. Every byte
// of a data word is compared with the file; erased words are not. The first difference
// ends the write with "FLASH data verify error at address <..> value <..> expected <..>"
// naming the byte by its address in the selected address format, and EIO. Without -v
// read_chunk is never called. With -v a read_size of 0 is refused ("invalid chunk size for
// FLASH verify", EINVAL) before the file is read.
//
// Every interface passes all five: its block programming and write chunk, its FLASH read
// and the read chunk it uses for -G.
[[nodiscard]] int flash_write_frame(const char* path, uint32_t chunk,
                                    FlashProgramBlock program_block, FlashReadChunk read_chunk,
                                    uint32_t read_size);

// --verify-flash: loads `path` as the write frame does ("FLASH verify: image file <..>", its
// info and ranges) and compares it with the FLASH by the write frame's -v read-back, with
// the same `read_chunk` and `read_size`, whatever -v says; nothing is programmed. The first
// difference ends it with the -v message and EIO; a match prints "FLASH verify: ok".
[[nodiscard]] int flash_verify_frame(const char* path, FlashReadChunk read_chunk,
                                     uint32_t read_size);

}  // namespace zelv
