// The FLASH module of an HCS12 part (FTS) or, as far as a host sees it, of an HCS12X part
// (FTX): the paged FLASH array in one, two or four blocks and its registers at 0x0100-0x010F
// of the register block.
//
//   0x0100 FCLKDIV  clock divider; bits 6-0 write-once after reset, FDIVLD (bit 7) shows the
//                   write; no command runs before it
//   0x0101 FSEC     loaded from the security byte 0xFF0F at reset; read-only. SEC (bits 1-0)
//                   10 is unsecured, any other value secured
//   0x0102 FTSTMOD  WRALL (bit 4, special modes only): register writes reach every bank
//   0x0103 FCNFG    bits 1-0 select the bank of FPROT, FSTAT, FCMD, FADDR and FDATA (and the
//                   block an array write must address)
//   0x0104 FPROT    per block, loaded at reset from 0xFF0D (block 0), 0xFF0C (1), 0xFF0B (2),
//                   0xFF0A (3); in normal modes writes can only protect more
//   0x0105 FSTAT    per block: CBEIF, CCIF, PVIOL, ACCERR, BLANK (see nvm_module.h)
//   0x0106 FCMD     per block
//   0x0108 FADDR    per block, special modes: the latched word's index in its block
//   0x010A FDATA    per block, special modes: the latched data
//
// Storage is lowest page first; block 0 holds the highest pages. Protection: FPOPEN (bit 7)
// clear protects the whole block; otherwise FPHDIS (bit 5) clear protects the high area at
// the block's end (2, 4, 8 or 16 KB by FPHS, bits 4-3) and FPLDIS (bit 2) clear the low area
// from the start of the block's second highest page (512 B, 1, 2 or 4 KB by FPLS, bits 1-0).
// A mass erase needs the whole block open.
#pragma once

#include <array>
#include <cstdint>

#include "mcu/nvm_module.h"

namespace zelv::sim {

struct McuLayout;

namespace flash_reg {  // the FLASH module's own registers, offsets from 0x0100
inline constexpr uint16_t kFsec = 0x1;
inline constexpr uint16_t kFtstmod = 0x2;
inline constexpr uint16_t kFcnfg = 0x3;
inline constexpr uint16_t kFprot = 0x4;
inline constexpr uint8_t kWrall = 0x10;
}  // namespace flash_reg

class FlashModule final : public NvmModule {
public:
    // An erased array with the layout's size, blocks and sector size. Returns 0 or ENOMEM.
    [[nodiscard]] int configure(const McuLayout& layout);

    // Registers to their reset values, FSEC and FPROT from the FLASH configuration field.
    void reset();

    // Register accesses by offset from 0x0100. A read of FSTAT counts as a poll of a busy
    // command; peek_register reads without that.
    [[nodiscard]] uint8_t read_register(uint16_t offset);
    [[nodiscard]] uint8_t peek_register(uint16_t offset) const;
    void write_register(uint16_t offset, uint8_t value);
    // Puts back a register that the state file kept (FCLKDIV, FSEC, FTSTMOD, FCNFG).
    void restore_register(uint16_t offset, uint8_t value);

    // The CPU's write at a storage offset: word_access for a word access, else a byte.
    void array_write(uint32_t offset, uint16_t value, bool word_access);

    // The resident firmware's own programming: the same checks as the commands (a word in
    // the block FCNFG selects, outside the protected areas), and an already programmed word
    // refused rather than programmed over.
    [[nodiscard]] NvmStatus program_word(uint32_t offset, uint16_t value);
    [[nodiscard]] NvmStatus erase_sector(uint32_t offset);

    [[nodiscard]] uint32_t block_of(uint32_t offset) const;
    [[nodiscard]] uint32_t selected_block() const { return fcnfg_ & (blocks_ - 1); }
    [[nodiscard]] bool protected_at(uint32_t offset) const;
    [[nodiscard]] bool fsec_secured() const { return (fsec_ & 0x03) != 0x02; }
    [[nodiscard]] bool erased() const { return blank(0, static_cast<uint32_t>(memory_.size())); }
    [[nodiscard]] std::array<uint8_t, 4>& fprot_banks() { return fprot_; }

private:
    [[nodiscard]] uint32_t block_size() const;
    [[nodiscard]] uint32_t block_start(uint32_t block) const;
    [[nodiscard]] uint32_t word_offset(unsigned block, uint32_t word_index) const;
    [[nodiscard]] unsigned reached_banks() const;
    [[nodiscard]] NvmStatus check_word(uint32_t offset, uint32_t block) const;
    [[nodiscard]] NvmStatus check_sector(uint32_t offset, uint32_t block) const;
    [[nodiscard]] uint32_t sector_start(uint32_t offset) const { return offset - offset % sector_; }

    [[nodiscard]] bool command_known(uint8_t command) const override;
    [[nodiscard]] NvmStatus command_check(unsigned index, const NvmBank& b) const override;
    [[nodiscard]] bool command_run(unsigned index, const NvmBank& b) override;

    uint32_t blocks_ = 1;
    uint32_t sector_ = 0x200;
    uint8_t fsec_ = 0xFF;
    uint8_t ftstmod_ = 0;
    uint8_t fcnfg_ = 0;
    std::array<uint8_t, 4> fprot_{0xFF, 0xFF, 0xFF, 0xFF};
};

}  // namespace zelv::sim
