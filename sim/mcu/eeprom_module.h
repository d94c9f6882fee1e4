// The EEPROM module of an HCS12 part (EETS) or, as far as a host sees it, of an HCS12X part
// (EETX): the EEPROM array and its registers at 0x0110-0x011F of the register block, one
// register bank.
//
//   0x0110 ECLKDIV  clock divider; bits 6-0 write-once after reset, EDIVLD (bit 7) shows the
//                   write; no command runs before it
//   0x0113 ECNFG    interrupt enables (bits 7-6)
//   0x0114 EPROT    loaded at reset from the protection byte (the array's size - 3); in
//                   normal modes writes can only protect more
//   0x0115 ESTAT    CBEIF, CCIF, PVIOL, ACCERR, BLANK (see nvm_module.h)
//   0x0116 ECMD     0x05 erase verify, 0x20 word program, 0x40 sector erase (the aligned 4
//                   bytes of the word), 0x41 mass erase, 0x60 sector modify (erase the
//                   sector, then program the word)
//   0x0118 EADDR    special modes: the latched word's index in the array
//   0x011A EDATA    special modes: the latched data
//
// Protection: EPOPEN (bit 7) clear protects the whole array; otherwise EPDIS (bit 3) clear
// protects the last 64 x (EP + 1) bytes (EP: bits 2-0). A mass erase needs the whole array
// open.
#pragma once

#include <cstdint>

#include "mcu/nvm_module.h"

namespace zelv::sim {

namespace eeprom_reg {  // the EEPROM module's own registers, offsets from 0x0110
inline constexpr uint16_t kEcnfg = 0x3;
inline constexpr uint16_t kEprot = 0x4;
}  // namespace eeprom_reg

inline constexpr uint32_t kEepromSectorSize = 4;

class EepromModule final : public NvmModule {
public:
    // An erased array of size bytes (0: the part has none). Returns 0 or ENOMEM.
    [[nodiscard]] int configure(uint32_t size) { return configure_array(size, 1); }

    // Registers to their reset values, EPROT from the protection byte.
    void reset();

    // Register accesses by offset from 0x0110; a read of ESTAT counts as a poll of a busy
    // command, peek_register reads without that.
    [[nodiscard]] uint8_t read_register(uint16_t offset);
    [[nodiscard]] uint8_t peek_register(uint16_t offset) const;
    void write_register(uint16_t offset, uint8_t value);
    // Puts back a register that the state file kept (ECLKDIV, ECNFG, EPROT).
    void restore_register(uint16_t offset, uint8_t value);

    // The CPU's write at an array offset: word_access for a word access, else a byte.
    void array_write(uint32_t offset, uint16_t value, bool word_access);

    // The resident firmware's own programming: the commands' checks, and an already
    // programmed word refused rather than programmed over.
    [[nodiscard]] NvmStatus program_word(uint32_t offset, uint16_t value);
    [[nodiscard]] NvmStatus erase_all();

    [[nodiscard]] bool protected_at(uint32_t offset) const;
    [[nodiscard]] bool erased() const { return blank(0, static_cast<uint32_t>(memory_.size())); }

private:
    [[nodiscard]] NvmStatus check_word(uint32_t offset) const;
    [[nodiscard]] NvmStatus check_sector(uint32_t offset) const;
    [[nodiscard]] NvmStatus check_mass_erase() const;

    [[nodiscard]] bool command_known(uint8_t command) const override;
    [[nodiscard]] NvmStatus command_check(unsigned index, const NvmBank& b) const override;
    [[nodiscard]] bool command_run(unsigned index, const NvmBank& b) override;

    uint8_t ecnfg_ = 0;
    uint8_t eprot_ = 0xFF;
};

}  // namespace zelv::sim
