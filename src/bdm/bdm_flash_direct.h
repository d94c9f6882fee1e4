// FLASH programming through the FLASH module's registers, one BDM access at a time (the
// direct method). The frames hand image offsets of the selected address format; an offset
// reaches the target as its page in PPAGE, its block in FCNFG and the address
// (offset & 0x3FFF) | 0x8000 in the page window.
#pragma once

#include <cstdint>

namespace zelv {

// FLASH module registers at their reset addresses.
namespace flash_reg {
inline constexpr uint16_t kPpage = 0x0030;
inline constexpr uint16_t kFtstmod = 0x0102;  // WRALL (0x10): writes reach every block
inline constexpr uint16_t kFcnfg = 0x0103;
inline constexpr uint16_t kFprot = 0x0104;
inline constexpr uint16_t kFstat = 0x0105;
inline constexpr uint16_t kFcmd = 0x0106;
inline constexpr uint16_t kFaddr = 0x0108;
inline constexpr uint16_t kFdata = 0x010A;
}  // namespace flash_reg

// The security word: its low byte (0xFF0F) is what the MCU loads into FSEC at reset.
inline constexpr uint16_t kSecurityWord = 0xFF0E;

// Refuses, before any target access, a FLASH operation on a model without FLASH ("<what>
// not possible - no FLASH memory") or with a FLASH module of no blocks, whose registers and
// layout are unknown ("<what> not possible - unknown FLASH module"): EINVAL. 0 otherwise.
[[nodiscard]] int flash_check_module(const char* what);

// The PPAGE window address of image offset o.
[[nodiscard]] constexpr uint16_t flash_window_address(uint32_t offset) {
    return static_cast<uint16_t>((offset & 0x3FFF) | 0x8000);
}

// The block that holds the page of image offset o: the page's own block, so that a page in
// PPAGE is always reached through the FCNFG bank that serves it (in the non-banked format
// the fixed pages lie in block 0 although their offsets are low).
[[nodiscard]] uint8_t flash_offset_select_block(uint32_t offset);

// Selects the block and page of the offset (FCNFG, then PPAGE) unless the pair is the one
// selected last (bdm_state().cached_ppage).
[[nodiscard]] int flash_select_page(uint32_t offset);

// Polls FSTAT back to back until CCIF, PVIOL or ACCERR (at most 1 s): PVIOL and ACCERR fail
// with EIO, no completion with ETIMEDOUT.
[[nodiscard]] int flash_wait();

// Word program at a CPU address in the block and page already selected.
[[nodiscard]] int flash_program_word(uint16_t address, uint16_t value);

// Mass erase of every block: one launch reaching every block through WRALL on parts with
// several, then a wait on each block's FSTAT. elapsed: milliseconds of the waits.
[[nodiscard]] int flash_mass_erase(uint32_t* elapsed_ms);

// Erase verify of every block the same way; a block without BLANK fails ("FLASH erase verify
// failed - memory not clear", EIO).
[[nodiscard]] int flash_erase_verify();

// FCNFG 0 on a part with several blocks: the security word lies in block 0.
[[nodiscard]] int flash_select_security_block();

// The frames' callbacks of the direct method (chunks of 512 for reading, 16 for writing).
[[nodiscard]] int bdm_flash_read_chunk(uint32_t offset, uint8_t* buffer, uint32_t length);
[[nodiscard]] int bdm_flash_write_chunk(uint32_t offset, const uint8_t* data, uint32_t length);

}  // namespace zelv
