#include "virtual_mcu.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "sim_log.h"

namespace zelv::sim {

namespace {

constexpr uint32_t kHcs12RegisterSize = 0x400;
constexpr uint32_t kHcs12xRegisterSize = 0x800;
constexpr uint32_t kRamPageSize = 0x1000;     // HCS12X RPAGE unit
constexpr uint32_t kEepromPageSize = 0x400;   // HCS12X EPAGE unit
constexpr uint32_t kSecurityByte = 0x3F0F;    // 0xFF0F in the last page
constexpr uint32_t kProtectionByte = 0x3F0D;  // 0xFF0D in the last page
constexpr uint8_t kStatusIdle = 0xC0;         // CBEIF and CCIF: no command pending

// MEMSIZ RAM space by bits 10-8, as the status report decodes it.
constexpr uint32_t kRamSpace[8] = {0x800, 0x1000, 0x2000, 0x2000, 0x4000, 0x4000, 0x4000, 0x4000};

uint8_t fixed_low_page(int family_id) {
    return family_id == kSimFamilyHcs12x ? 0xFD : 0x3E;
}
uint8_t fixed_high_page(int family_id) {
    return family_id == kSimFamilyHcs12x ? 0xFF : 0x3F;
}

bool overlaps(uint32_t a, uint32_t a_size, uint32_t b, uint32_t b_size) {
    return a < b + b_size && b < a + a_size;
}

}  // namespace

int derive_register_resets(const McuLayout& layout, RegisterResets* resets) {
    RegisterResets r;
    if (layout.family_id == kSimFamilyHcs12x) {
        r.misc = 0x01;  // ROMON
        r.ppage = 0xFE;
        r.rpage = 0xFD;
        r.epage = 0xFE;
        *resets = r;
        return 0;
    }
    if (layout.ram_size == 0 || layout.ram_size > 0x4000) {
        sim_error("RAM size 0x%X does not fit the HCS12 map\n", layout.ram_size);
        return EINVAL;
    }
    uint32_t ram_code = 0;
    while (kRamSpace[ram_code] < layout.ram_size) {
        ++ram_code;
    }
    // RAM at the top of 0x0000-0x3FFF, aligned high in its space.
    r.initrm = 0x39;
    const uint32_t ram_base = 0x4000 - layout.ram_size;

    uint32_t eeprom_code = 0;
    if (layout.eeprom_size > 0) {
        if (layout.eeprom_size > 0x2000) {
            sim_error("EEPROM size 0x%X does not fit the HCS12 map\n", layout.eeprom_size);
            return EINVAL;
        }
        uint32_t space = 0x800;
        eeprom_code = 1;
        while (space < layout.eeprom_size) {
            space <<= 1;
            ++eeprom_code;
        }
        uint32_t base = 0;
        while (overlaps(base, layout.eeprom_size, 0, kHcs12RegisterSize) ||
               overlaps(base, layout.eeprom_size, ram_base, layout.ram_size)) {
            base += space;
        }
        r.initee = static_cast<uint8_t>((base >> 8) | 0x01);  // EEON
    }

    uint32_t flash_code = 0;  // fixed FLASH the CPU sees without paging
    const uint32_t last = layout.ppage_base + layout.ppage_count - 1;
    if (layout.ppage_count > 0 && last == 0x3F) {
        flash_code = layout.ppage_count >= 2 ? 2 : 1;  // 48 KB with page 0x3E, else 16 KB
    }
    uint32_t chip_code = 0;  // off-chip/on-chip split
    if (layout.flash_size > 0x80000) {
        chip_code = 3;
    } else if (layout.flash_size > 0x40000) {
        chip_code = 2;
    } else if (layout.flash_size > 0x20000) {
        chip_code = 1;
    }
    r.memsiz = static_cast<uint16_t>((eeprom_code << 12) | (ram_code << 8) | (flash_code << 6) |
                                     chip_code);
    r.misc = 0x0D;  // EXSTR1:0 = 3, ROMON
    r.ppage = 0x00;
    *resets = r;
    return 0;
}

int VirtualMcu::configure(const McuConfig& config) {
    const McuLayout& l = config.layout;
    if (l.family_id != kSimFamilyHcs12 && l.family_id != kSimFamilyHcs12x) {
        sim_error("the virtual target models HCS12 and HCS12X parts only\n");
        return EINVAL;
    }
    const uint32_t blocks = l.flash_block_count;
    if (l.flash_size == 0 || l.flash_size != l.ppage_count * kPageSize) {
        sim_error("FLASH size 0x%X does not match %u pages of 16 KB\n", l.flash_size,
                  l.ppage_count);
        return EINVAL;
    }
    if ((blocks != 1 && blocks != 2 && blocks != 4) || l.ppage_count % blocks != 0) {
        sim_error("%u FLASH blocks cannot share %u pages\n", blocks, l.ppage_count);
        return EINVAL;
    }
    if (l.ppage_base + l.ppage_count - 1 != fixed_high_page(l.family_id)) {
        sim_error("the last FLASH page must be 0x%02X (the page at 0xC000)\n",
                  fixed_high_page(l.family_id));
        return EINVAL;
    }
    if (l.flash_sector_size < 4 || kPageSize % l.flash_sector_size != 0) {
        sim_error("FLASH sector size 0x%X does not divide a page\n", l.flash_sector_size);
        return EINVAL;
    }
    if (l.family_id == kSimFamilyHcs12x) {
        if (l.ram_size == 0 || l.ram_size % kRamPageSize != 0 || l.ram_size > 0x100000) {
            sim_error("HCS12X RAM size 0x%X is not a number of 4 KB pages\n", l.ram_size);
            return EINVAL;
        }
        if (l.eeprom_size % kEepromPageSize != 0 || l.eeprom_size > 0x40000) {
            sim_error("HCS12X EEPROM size 0x%X is not a number of 1 KB pages\n", l.eeprom_size);
            return EINVAL;
        }
    } else if (l.ram_size == 0 || l.ram_size > 0x4000 || l.eeprom_size > 0x2000 ||
               l.eeprom_size % 2 != 0) {
        sim_error("RAM size 0x%X or EEPROM size 0x%X does not fit the HCS12 map\n", l.ram_size,
                  l.eeprom_size);
        return EINVAL;
    }
    try {
        registers_.assign(
            l.family_id == kSimFamilyHcs12x ? kHcs12xRegisterSize : kHcs12RegisterSize, 0);
        ram_.assign(l.ram_size, 0x00);
        eeprom_.assign(l.eeprom_size, 0xFF);
        flash_.assign(l.flash_size, 0xFF);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    config_ = config;
    stuck_.clear();
    reset(false);
    return 0;
}

void VirtualMcu::reset(bool special_mode) {
    special_mode_ = special_mode;
    const RegisterResets& r = config_.resets;
    std::fill(registers_.begin(), registers_.end(), 0);
    if (!hcs12x()) {
        registers_[reg::kInitrm] = r.initrm;
        registers_[reg::kInitrg] = r.initrg;
        registers_[reg::kInitee] = r.initee;
        registers_[reg::kMemsiz] = static_cast<uint8_t>(r.memsiz >> 8);
        registers_[reg::kMemsiz + 1] = static_cast<uint8_t>(r.memsiz);
    } else {
        registers_[reg::kRpage] = r.rpage;
        registers_[reg::kEpage] = r.epage;
    }
    registers_[reg::kMisc] = r.misc;
    registers_[reg::kPartId] = static_cast<uint8_t>(config_.part_id >> 8);
    registers_[reg::kPartId + 1] = static_cast<uint8_t>(config_.part_id);
    registers_[reg::kPpage] = r.ppage;
    registers_[reg::kFstat] = kStatusIdle;
    registers_[reg::kEstat] = kStatusIdle;

    const uint32_t last_page = (config_.layout.ppage_count - 1) * kPageSize;
    registers_[reg::kFsec] = flash_[last_page + kSecurityByte];
    fprot_.fill(0xFF);
    fprot_[0] = flash_[last_page + kProtectionByte];
    registers_[reg::kEprot] = eeprom_.size() >= 3 ? eeprom_[eeprom_.size() - 3] : 0xFF;
}

uint32_t VirtualMcu::register_base() const {
    if (hcs12x()) {
        return 0;
    }
    return static_cast<uint32_t>(registers_[reg::kInitrg] & 0x78) << 8;
}

bool VirtualMcu::locate_ram(uint16_t address, uint32_t* offset) const {
    const uint32_t size = config_.layout.ram_size;
    if (hcs12x()) {
        if (address < 0x1000 || address >= 0x4000) {
            return false;
        }
        uint32_t page = 0xFF;
        if (address < 0x2000) {
            page = registers_[reg::kRpage];
        } else if (address < 0x3000) {
            page = 0xFE;
        }
        const uint32_t from_top = (0x100 - page) * kRamPageSize;
        if (from_top > size) {
            return false;
        }
        *offset = size - from_top + (address & (kRamPageSize - 1));
        return true;
    }
    const uint8_t initrm = registers_[reg::kInitrm];
    const uint32_t space = kRamSpace[(registers_[reg::kMemsiz] & 0x07)];
    const uint32_t visible = size < space ? size : space;
    uint32_t base = (static_cast<uint32_t>(initrm & 0xF8) << 8) & ~(space - 1);
    if ((initrm & 0x01) != 0) {
        base += space - visible;
    }
    if (address < base || address - base >= visible) {
        return false;
    }
    *offset = address - base;
    return true;
}

bool VirtualMcu::locate_eeprom(uint16_t address, uint32_t* offset) const {
    const uint32_t size = config_.layout.eeprom_size;
    if (size == 0) {
        return false;
    }
    if (hcs12x()) {
        if (address < 0x0800 || address >= 0x1000) {
            return false;
        }
        const uint32_t page = address < 0x0C00 ? registers_[reg::kEpage] : 0xFF;
        const uint32_t from_top = (0x100 - page) * kEepromPageSize;
        if (from_top > size) {
            return false;
        }
        *offset = size - from_top + (address & (kEepromPageSize - 1));
        return true;
    }
    const uint8_t initee = registers_[reg::kInitee];
    if ((initee & 0x01) == 0) {
        return false;  // EEON clear
    }
    const uint32_t base = static_cast<uint32_t>(initee & 0xF8) << 8;
    if (address < base || address - base >= size) {
        return false;
    }
    *offset = address - base;
    return true;
}

bool VirtualMcu::locate_flash(uint16_t address, uint32_t* offset) const {
    const uint8_t misc = registers_[reg::kMisc];
    if ((misc & 0x01) == 0 || address < 0x4000) {
        return false;  // ROMON clear
    }
    uint32_t page = 0;
    if (address < 0x8000) {
        if ((misc & 0x02) != 0) {
            return false;  // ROMHM: the low fixed page is not shown
        }
        page = fixed_low_page(config_.layout.family_id);
    } else if (address < 0xC000) {
        page = registers_[reg::kPpage];
    } else {
        page = fixed_high_page(config_.layout.family_id);
    }
    uint32_t page_start = 0;
    if (!page_offset(page, &page_start)) {
        return false;
    }
    *offset = page_start + (address & (kPageSize - 1));
    return true;
}

Location VirtualMcu::locate(uint16_t address) const {
    Location location;
    const uint32_t base = register_base();
    if (address >= base && address - base < registers_.size()) {
        location.region = Region::kRegisters;
        location.offset = address - base;
    } else if (locate_ram(address, &location.offset)) {
        location.region = Region::kRam;
    } else if (locate_eeprom(address, &location.offset)) {
        location.region = Region::kEeprom;
    } else if (locate_flash(address, &location.offset)) {
        location.region = Region::kFlash;
    }
    return location;
}

uint8_t VirtualMcu::read_byte(uint16_t address) const {
    const Location location = locate(address);
    switch (location.region) {
        case Region::kRegisters:
            return read_register(static_cast<uint16_t>(location.offset));
        case Region::kRam:
            return ram_[location.offset];
        case Region::kEeprom:
            return eeprom_[location.offset];
        case Region::kFlash:
            return flash_[location.offset];
        case Region::kNone:
            break;
    }
    return 0x00;
}

void VirtualMcu::write_byte(uint16_t address, uint8_t value) {
    const Location location = locate(address);
    if (location.region == Region::kRegisters) {
        write_register(static_cast<uint16_t>(location.offset), value);
    } else if (location.region == Region::kRam) {
        ram_[location.offset] = value;
    }
}

uint8_t VirtualMcu::read_register(uint16_t offset) const {
    if (offset >= registers_.size()) {
        return 0x00;
    }
    if (offset == reg::kFprot) {
        return fprot_[selected_block()];
    }
    return registers_[offset];
}

void VirtualMcu::write_register(uint16_t offset, uint8_t value) {
    if (offset >= registers_.size()) {
        return;
    }
    switch (offset) {
        case reg::kPartId:
        case reg::kPartId + 1:
        case reg::kMemsiz:
        case reg::kMemsiz + 1:
        case reg::kFsec:
        case reg::kFstat:
        case reg::kEstat:
            return;  // read-only here; the command flags arrive with the command sequences
        case reg::kInitrm:
        case reg::kInitrg:
        case reg::kInitee:
        case reg::kMisc: {
            // Write-once in normal modes, and the start-up code has had its write. On
            // HCS12X only MMCCTL1 (at MISC's address) is one of them.
            if (hcs12x() && offset != reg::kMisc) {
                registers_[offset] = value;
            } else if (special_mode_) {
                uint8_t mask = 0xF9;  // INITRM, INITEE: position and RAMHAL/EEON
                if (hcs12x()) {
                    mask = 0xFF;
                } else if (offset == reg::kInitrg) {
                    mask = 0x78;
                } else if (offset == reg::kMisc) {
                    mask = 0x0F;
                }
                registers_[offset] = static_cast<uint8_t>(value & mask);
            }
            return;
        }
        case reg::kFprot: {
            // Outside special mode protection can only grow.
            uint8_t& bank = fprot_[selected_block()];
            bank = special_mode_ ? value : static_cast<uint8_t>(bank & value);
            return;
        }
        case reg::kEprot: {
            uint8_t& eprot = registers_[reg::kEprot];
            eprot = special_mode_ ? value : static_cast<uint8_t>(eprot & value);
            return;
        }
        case reg::kFclkdiv:
        case reg::kEclkdiv:
            registers_[offset] = static_cast<uint8_t>((value & 0x7F) | 0x80);  // FDIVLD
            return;
        default:
            registers_[offset] = value;
            return;
    }
}

bool VirtualMcu::page_offset(uint32_t page, uint32_t* offset) const {
    const McuLayout& l = config_.layout;
    if (page < l.ppage_base || page - l.ppage_base >= l.ppage_count) {
        return false;
    }
    *offset = (page - l.ppage_base) * kPageSize;
    return true;
}

uint32_t VirtualMcu::block_size() const {
    return config_.layout.flash_size / config_.layout.flash_block_count;
}

uint32_t VirtualMcu::flash_block_of(uint32_t offset) const {
    return config_.layout.flash_block_count - 1 - offset / block_size();
}

uint32_t VirtualMcu::selected_block() const {
    return registers_[reg::kFcnfg] & (config_.layout.flash_block_count - 1);
}

bool VirtualMcu::flash_protected(uint32_t offset) const {
    // FPOPEN clear protects the whole block (the part would leave the FPHDIS/FPLDIS areas
    // open then; nothing here needs that). The high area ends the block, the low area
    // starts the block's second highest page (0x4000 for block 0).
    const uint32_t block = flash_block_of(offset);
    const uint8_t fprot = fprot_[block];
    if ((fprot & 0x80) == 0) {
        return true;
    }
    const uint32_t size = block_size();
    const uint32_t in_block = offset % size;
    if ((fprot & 0x20) == 0 && in_block >= size - (0x800u << ((fprot >> 3) & 3))) {
        return true;
    }
    const uint32_t low_start = size >= 2 * kPageSize ? size - 2 * kPageSize : 0;
    return (fprot & 0x04) == 0 && in_block >= low_start &&
           in_block - low_start < (0x200u << (fprot & 3));
}

bool VirtualMcu::eeprom_protected(uint32_t offset) const {
    const uint8_t eprot = registers_[reg::kEprot];
    if ((eprot & 0x80) == 0) {
        return true;  // EPOPEN clear: the whole array
    }
    const uint32_t size = static_cast<uint32_t>(eeprom_.size());
    const uint32_t area = 64u * ((eprot & 0x07) + 1u);
    return (eprot & 0x08) == 0 && offset + area >= size;
}

NvmStatus VirtualMcu::program_flash_word(uint32_t offset, uint16_t value) {
    if ((offset & 1) != 0 || offset >= flash_.size() ||
        flash_block_of(offset) != selected_block()) {
        return NvmStatus::kAccessError;
    }
    if (flash_protected(offset)) {
        return NvmStatus::kProtectionViolation;
    }
    if (flash_[offset] != 0xFF || flash_[offset + 1] != 0xFF) {
        return NvmStatus::kNotErased;
    }
    flash_[offset] = static_cast<uint8_t>(value >> 8);
    flash_[offset + 1] = static_cast<uint8_t>(value);
    return NvmStatus::kOk;
}

NvmStatus VirtualMcu::erase_flash_sector(uint32_t offset) {
    if (offset >= flash_.size() || flash_block_of(offset) != selected_block()) {
        return NvmStatus::kAccessError;
    }
    const uint32_t sector = config_.layout.flash_sector_size;
    const uint32_t start = offset - offset % sector;
    for (uint32_t o = start; o < start + sector; o += 2) {
        if (flash_protected(o)) {
            return NvmStatus::kProtectionViolation;
        }
    }
    std::fill(flash_.begin() + start, flash_.begin() + start + sector, 0xFF);
    apply_stuck(Region::kFlash, flash_, start, start + sector);
    return NvmStatus::kOk;
}

NvmStatus VirtualMcu::program_eeprom_word(uint32_t offset, uint16_t value) {
    if ((offset & 1) != 0 || offset >= eeprom_.size()) {
        return NvmStatus::kAccessError;
    }
    if (eeprom_protected(offset) || eeprom_protected(offset + 1)) {
        return NvmStatus::kProtectionViolation;
    }
    if (eeprom_[offset] != 0xFF || eeprom_[offset + 1] != 0xFF) {
        return NvmStatus::kNotErased;
    }
    eeprom_[offset] = static_cast<uint8_t>(value >> 8);
    eeprom_[offset + 1] = static_cast<uint8_t>(value);
    return NvmStatus::kOk;
}

NvmStatus VirtualMcu::erase_eeprom() {
    if (eeprom_.empty()) {
        return NvmStatus::kAccessError;
    }
    const uint8_t eprot = registers_[reg::kEprot];
    if ((eprot & 0x88) != 0x88) {
        return NvmStatus::kProtectionViolation;  // a mass erase needs the array unprotected
    }
    std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
    apply_stuck(Region::kEeprom, eeprom_, 0, static_cast<uint32_t>(eeprom_.size()));
    return NvmStatus::kOk;
}

int VirtualMcu::add_stuck_byte(const StuckByte& stuck) {
    const std::vector<uint8_t>& memory = stuck.region == Region::kFlash ? flash_ : eeprom_;
    if ((stuck.region != Region::kFlash && stuck.region != Region::kEeprom) ||
        stuck.offset >= memory.size()) {
        sim_error("stuck byte at offset 0x%X lies outside the %s\n", stuck.offset,
                  stuck.region == Region::kFlash ? "FLASH" : "EEPROM");
        return EINVAL;
    }
    try {
        stuck_.push_back(stuck);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    return 0;
}

void VirtualMcu::apply_stuck(Region region, std::vector<uint8_t>& memory, uint32_t from,
                             uint32_t to) {
    for (const StuckByte& stuck : stuck_) {
        if (stuck.region == region && stuck.offset >= from && stuck.offset < to) {
            memory[stuck.offset] = stuck.value;
        }
    }
}

}  // namespace zelv::sim
