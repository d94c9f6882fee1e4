// sim/mcu: the virtual MCU along the silicon: memory map and paging (this file), the FLASH
// and EEPROM modules, the BDM. It models the part alone: it must not know which device front,
// pseudo-terminal or host is talking to it.
//
// The virtual MCU: register block, RAM, EEPROM and paged FLASH of one HCS12 or HCS12X part
// (or of an HC12 part, as far as its memory map goes), seen through the CPU's local 64 KB
// map. The device emulators (serial monitor, BDM pods, LRAE boot loader) all sit in front of
// one of these. This file and virtual_mcu.cpp hold the
// memory map and paging; the FLASH and EEPROM modules (flash_module.h, eeprom_module.h) hold
// the arrays, their registers and their command state machines.
//
// Local map, highest priority first:
//   registers  HCS12: 1 KB at INITRG; HCS12X: 2 KB fixed at 0x0000; HC12: 512 bytes at INITRG
//   RAM        HCS12: ram_size bytes at INITRM (aligned in its MEMSIZ space, RAMHAL puts it
//              at the top); HCS12X: 0x1000-0x1FFF RPAGE window, 0x2000-0x3FFF pages 0xFE-0xFF;
//              HC12: at INITRM
//   EEPROM     HCS12: eeprom_size bytes at INITEE while EEON is set; HCS12X: 0x0800-0x0BFF
//              EPAGE window, 0x0C00-0x0FFF page 0xFF; HC12: the top eeprom_size bytes of the
//              4 KB space INITEE bits 7-4 select, while EEON is set
//   FLASH      0x4000-0x7FFF fixed page (0x3E; HCS12X 0xFD) unless ROMHM, 0x8000-0xBFFF the
//              page in PPAGE, 0xC000-0xFFFF fixed page (0x3F; HCS12X 0xFF); nothing while
//              ROMON is clear. HC12: 32 KB at 0x8000-0xFFFF, no paging (stored as the pages
//              0x3E and 0x3F); it has no security and its FLASH and EEPROM modules are not
//              modelled (the arrays only change through the storage-level operations)
// Anything else is unimplemented: it reads 0x00 and ignores writes. Pages outside the part are
// unimplemented too (a real part would alias them), so a host that selects a wrong page sees
// zeros rather than another page's bytes.
//
// FLASH is stored lowest page first (offset 0 = page ppage_base), split into blocks of equal
// size with block 0 the highest pages. Nonvolatile memory only changes through the modules'
// command sequences (CPU writes into the arrays and to the module registers) or through the
// storage-level operations below, which stand for a resident program's own programming and
// make the same checks: programming only clears bits, FLASH programming addresses the block
// selected in FCNFG, protected areas refuse, erase sets 0xFF.
//
// Security: the part is secured when FSEC's SEC bits (loaded from 0xFF0F at reset) are not
// 10, unless a reset into special mode found FLASH and EEPROM blank: such a part is
// unsecured until the next reset, so that a host can program the security byte.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "mcu/eeprom_module.h"
#include "mcu/flash_module.h"
#include "mcu/nvm_module.h"
#include "mcu/sci.h"

namespace zelv::sim {

inline constexpr int kSimFamilyHc12 = 1;
inline constexpr int kSimFamilyHcs12 = 2;
inline constexpr int kSimFamilyHcs12x = 3;

inline constexpr uint32_t kPageSize = 0x4000;

// Register offsets in the register block (at its reset position these are the addresses).
namespace reg {
inline constexpr uint16_t kInitrm = 0x0010;
inline constexpr uint16_t kInitrg = 0x0011;
inline constexpr uint16_t kInitee = 0x0012;
inline constexpr uint16_t kMisc = 0x0013;   // MMCCTL1 on HCS12X: ROMON bit 0, ROMHM bit 1
inline constexpr uint16_t kRpage = 0x0016;  // HCS12X
inline constexpr uint16_t kEpage = 0x0017;  // HCS12X
inline constexpr uint16_t kPartId = 0x001A;
inline constexpr uint16_t kMemsiz = 0x001C;
inline constexpr uint16_t kPpage = 0x0030;
inline constexpr uint16_t kFlashModule = 0x0100;  // FLASH module registers, 16 bytes
inline constexpr uint16_t kFclkdiv = 0x0100;
inline constexpr uint16_t kFsec = 0x0101;
inline constexpr uint16_t kFtstmod = 0x0102;
inline constexpr uint16_t kFcnfg = 0x0103;
inline constexpr uint16_t kFprot = 0x0104;
inline constexpr uint16_t kFstat = 0x0105;
inline constexpr uint16_t kFcmd = 0x0106;
inline constexpr uint16_t kFaddr = 0x0108;
inline constexpr uint16_t kFdata = 0x010A;
inline constexpr uint16_t kEepromModule = 0x0110;  // EEPROM module registers, 16 bytes
inline constexpr uint16_t kEclkdiv = 0x0110;
inline constexpr uint16_t kEprot = 0x0114;
inline constexpr uint16_t kEstat = 0x0115;
inline constexpr uint16_t kEcmd = 0x0116;
inline constexpr uint16_t kEaddr = 0x0118;
inline constexpr uint16_t kEdata = 0x011A;
}  // namespace reg

// The memory layout, as a target description gives it.
struct McuLayout {
    int family_id = kSimFamilyHcs12;
    uint32_t ram_size = 0;
    uint32_t eeprom_size = 0;
    uint32_t flash_size = 0;
    uint32_t flash_block_count = 1;
    uint32_t flash_sector_size = 0x200;
    uint32_t ppage_base = 0;
    uint32_t ppage_count = 0;
};

// The values the part's registers take at reset (for HCS12 parts: after the resident
// start-up code has placed RAM and EEPROM, see derive_register_resets).
struct RegisterResets {
    uint8_t initrm = 0;
    uint8_t initrg = 0;
    uint8_t initee = 0;
    uint8_t misc = 0;  // MISC, or MMCCTL1 on HCS12X
    uint16_t memsiz = 0;
    uint8_t ppage = 0;
    uint8_t rpage = 0;
    uint8_t epage = 0;
};

struct McuConfig {
    McuLayout layout;
    uint16_t part_id = 0;
    RegisterResets resets;
    // After a reset into special single-chip mode no start-up code runs: the hardware's own
    // reset values (see derive_special_resets).
    RegisterResets special_resets;
};

// Places registers at 0x0000, RAM at the top of 0x0000-0x3FFF (INITRM 0x39: where the LRAE
// and RAM agents expect it) and EEPROM at the lowest boundary of its size where it hides
// neither registers nor RAM (at 0x4000, over the fixed FLASH page's first bytes, when the
// low 16 KB are full: that page stays reachable through PPAGE), and computes MEMSIZ to
// match. HCS12X parts have a fixed map. Returns 0, or EINVAL with a message for a layout
// the virtual MCU cannot hold.
[[nodiscard]] int derive_register_resets(const McuLayout& layout, RegisterResets* resets);

// The hardware's reset values, which a reset into special single-chip mode leaves: HCS12
// INITRG 0x00, INITRM 0x09 (RAM aligned high in 0x0000-0x3FFF's space from 0x0800),
// INITEE 0x01 (EEPROM at 0x0000, partly under registers and RAM); the rest as the start-up
// values of `resets`. HCS12X and HC12 parts reset to the same values either way.
[[nodiscard]] RegisterResets derive_special_resets(const McuLayout& layout,
                                                   const RegisterResets& resets);

enum class Region { kNone, kRegisters, kRam, kEeprom, kFlash };

// Where a local address lands: the region and the offset in that region's storage (register
// offset, RAM offset, EEPROM offset, FLASH offset lowest page first).
struct Location {
    Region region = Region::kNone;
    uint32_t offset = 0;
};

// A byte that an erase leaves at `value` instead of 0xFF (a worn cell).
struct StuckByte {
    Region region = Region::kFlash;  // kFlash or kEeprom
    uint32_t offset = 0;
    uint8_t value = 0;
};

class VirtualMcu {
public:
    // Checks the configuration and allocates the memories (RAM 0x00, nonvolatile memory
    // erased), then resets. Returns 0, EINVAL (with a message) or ENOMEM.
    [[nodiscard]] int configure(const McuConfig& config);

    // Reset: registers to their reset values; FSEC, FPROT of every block and EPROT loaded
    // from the security byte (0xFF0F), the FLASH protection bytes (0xFF0D down to 0xFF0A
    // for blocks 0 to 3) and the EEPROM protection byte (eeprom_size - 3); commands in
    // progress are lost. In normal mode INITRM, INITRG, INITEE and MISC are write-once and
    // the start-up code has written them; in special mode they stay writable.
    void reset(bool special_mode);

    [[nodiscard]] const McuConfig& config() const { return config_; }
    [[nodiscard]] const McuLayout& layout() const { return config_.layout; }
    [[nodiscard]] bool special_mode() const { return special_mode_; }

    // Whether the part is secured (see the top of this file), and whether the last reset
    // unsecured it because FLASH and EEPROM were blank.
    [[nodiscard]] bool secured() const;
    [[nodiscard]] bool unsecured_blank() const { return unsecured_blank_; }

    [[nodiscard]] Location locate(uint16_t address) const;

    // CPU accesses of the local map. A read of FSTAT or ESTAT counts as a poll of a command
    // in progress; peek_byte reads without that. Writes into FLASH or EEPROM are the array
    // writes of the command sequences: only an aligned word write (write_word) can start
    // one, a byte write sets ACCERR.
    [[nodiscard]] uint8_t read_byte(uint16_t address);
    [[nodiscard]] uint8_t peek_byte(uint16_t address) const;
    [[nodiscard]] uint16_t read_word(uint16_t address);
    void write_byte(uint16_t address, uint8_t value);
    void write_word(uint16_t address, uint16_t value);

    // Register block accesses by register offset, wherever INITRG put the block.
    [[nodiscard]] uint8_t read_register(uint16_t offset);
    [[nodiscard]] uint8_t peek_register(uint16_t offset) const;
    void write_register(uint16_t offset, uint8_t value);
    // Puts a register back as the state file kept it (no command sequence involved).
    void restore_register(uint16_t offset, uint8_t value);

    // Nonvolatile operations by storage offset. FLASH words must be even and lie in the
    // block that FCNFG selects; protection comes from the FPROT bank of that block and from
    // EPROT.
    [[nodiscard]] NvmStatus program_flash_word(uint32_t offset, uint16_t value);
    [[nodiscard]] NvmStatus erase_flash_sector(uint32_t offset);
    [[nodiscard]] NvmStatus program_eeprom_word(uint32_t offset, uint16_t value);
    [[nodiscard]] NvmStatus erase_eeprom();

    // FLASH arithmetic: the storage offset of a page's first byte (false when the part has
    // no such page), the block that holds an offset, the block FCNFG selects.
    [[nodiscard]] bool page_offset(uint32_t page, uint32_t* offset) const;
    [[nodiscard]] uint32_t flash_block_of(uint32_t offset) const;
    [[nodiscard]] uint32_t selected_block() const;
    [[nodiscard]] bool flash_protected(uint32_t offset) const;
    [[nodiscard]] bool eeprom_protected(uint32_t offset) const;

    // Faults: bytes that no erase brings back to 0xFF; FLASH or EEPROM bytes (storage offset)
    // that no programming changes, though the command reports success; FLASH and EEPROM
    // commands that hang or fail, and how long commands stay busy.
    [[nodiscard]] int add_stuck_byte(const StuckByte& stuck);
    [[nodiscard]] int add_weak_byte(Region region, uint32_t offset);
    void set_nvm_faults(const NvmFaults& faults);

    // The storage itself, for the state file and the emulators' own set-up.
    std::vector<uint8_t>& registers() { return registers_; }
    std::vector<uint8_t>& ram() { return ram_; }
    std::vector<uint8_t>& eeprom() { return eeprom_module_.memory(); }
    std::vector<uint8_t>& flash() { return flash_module_.memory(); }
    std::array<uint8_t, 4>& fprot_banks() { return flash_module_.fprot_banks(); }
    [[nodiscard]] const std::vector<uint8_t>& flash() const { return flash_module_.memory(); }
    [[nodiscard]] const std::vector<uint8_t>& eeprom() const { return eeprom_module_.memory(); }
    [[nodiscard]] const std::vector<uint8_t>& ram() const { return ram_; }
    FlashModule& flash_module() { return flash_module_; }
    EepromModule& eeprom_module() { return eeprom_module_; }
    // SCI0, at offsets 0x00C8-0x00CF of the register block (HCS12 and HCS12X); its line side
    // belongs to whatever sits on the part's serial line.
    Sci& sci() { return sci_; }

private:
    enum class Block { kNone, kFlash, kEeprom };

    [[nodiscard]] bool hcs12x() const { return config_.layout.family_id == kSimFamilyHcs12x; }
    [[nodiscard]] bool hc12() const { return config_.layout.family_id == kSimFamilyHc12; }
    [[nodiscard]] bool sci_at(uint16_t offset) const { return !hc12() && Sci::owns(offset); }
    [[nodiscard]] uint32_t register_base() const;
    [[nodiscard]] bool locate_ram(uint16_t address, uint32_t* offset) const;
    [[nodiscard]] bool locate_eeprom(uint16_t address, uint32_t* offset) const;
    [[nodiscard]] bool locate_flash(uint16_t address, uint32_t* offset) const;
    // Which module's registers an offset falls on (none for the EEPROM's when there is no
    // EEPROM), and the offset inside them.
    [[nodiscard]] Block module_of(uint16_t offset, uint16_t* inside) const;

    McuConfig config_;
    std::vector<uint8_t> registers_;  // the module registers live in the modules
    std::vector<uint8_t> ram_;
    FlashModule flash_module_;
    EepromModule eeprom_module_;
    Sci sci_;
    bool special_mode_ = false;
    bool unsecured_blank_ = false;
};

}  // namespace zelv::sim
