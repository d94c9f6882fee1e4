// The interface-independent EEPROM read, write and protect procedures. The EEPROM is one
// window of CPU addresses (eeprom_base + offset, cut to 16 bits); callbacks get target
// addresses.
#pragma once

#include <cstdint>

#include "memops/memory_image.h"

namespace zelv {

// Reads `length` bytes of EEPROM from target address `address` into `destination`.
using EepromReadChunk = int (*)(uint16_t address, uint8_t* destination, uint32_t length);

// Programs `length` bytes from `data` at target address `address`.
using EepromWriteChunk = int (*)(uint16_t address, const uint8_t* data, uint32_t length);

// Programs the 16-bit value at the even target address.
using EepromProgramWord = int (*)(uint16_t address, uint16_t value);

// S-record address -> EEPROM image offset; eeprom_size when outside the EEPROM.
[[nodiscard]] uint32_t eeprom_address_to_offset(uint32_t address);

// One row of the protection range table.
struct EepromProtection {
    const char* name;     // "all", "64B" ... "512B"
    uint8_t value;        // the protection byte
    uint32_t block_size;  // bytes protected at the top; 0 for "all" (the whole EEPROM)
};

// Looks a -D argument up: "all" exactly, the sized names without regard to case.
[[nodiscard]] const EepromProtection* eeprom_protection_find(const char* range);

// Reads the whole EEPROM in `chunk` pieces into `path`. A chunk that does not divide
// eeprom_size is refused ("invalid chunk size for EEPROM read", EINVAL) before any read.
// `check`, when given, judges the image before the file is written.
[[nodiscard]] int eeprom_read_frame(const char* path, uint32_t chunk, EepromReadChunk read_chunk,
                                    ReadImageCheck check = nullptr);

// Writes `path` into the EEPROM in whole chunks (even, dividing eeprom_size) aligned to the
// EEPROM start, skipping chunks that are all 0xFF; refuses data in the protection field
// (last 16 bytes) without -f. A file without data records writes nothing and returns 0.
// Under -v, when `read_chunk` is given, every chunk written is read back through it and each
// word the image holds (not 0xFFFF) must match ("EEPROM data verify error ...", EIO).
[[nodiscard]] int eeprom_write_frame(const char* path, uint32_t chunk, EepromWriteChunk write_chunk,
                                     EepromReadChunk read_chunk = nullptr);

// --verify-eeprom: loads `path` as the write frame does ("EEPROM verify: image file <..>",
// its info and range) and compares it with the EEPROM by the write frame's -v read-back, in
// the same `chunk` pieces through `read_chunk`, whatever -v says; nothing is written. The
// first difference ends it with the -v message and EIO; a file without data passes.
[[nodiscard]] int eeprom_verify_frame(const char* path, uint32_t chunk, EepromReadChunk read_chunk);

// Programs the protection byte for `range`; reads the protection register through the target
// model's target_read_byte, and reads it back under -v.
[[nodiscard]] int eeprom_protect_frame(const char* range, EepromProgramWord program_word);

}  // namespace zelv
