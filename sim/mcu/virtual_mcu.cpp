#include "mcu/virtual_mcu.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "common/sim_log.h"

namespace zelv::sim {

namespace {

constexpr uint32_t kHc12RegisterSize = 0x200;
constexpr uint32_t kHcs12RegisterSize = 0x400;
constexpr uint32_t kHcs12xRegisterSize = 0x800;
constexpr uint32_t kRamPageSize = 0x1000;    // HCS12X RPAGE unit
constexpr uint32_t kEepromPageSize = 0x400;  // HCS12X EPAGE unit
constexpr uint16_t kModuleSize = 0x10;       // each module's register span

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
    if (layout.family_id == kSimFamilyHc12) {
        r.initrm = 0x08;  // RAM at 0x0800
        r.initee = 0x01;  // EEON, EEPROM at the top of 0x0000-0x0FFF
        r.misc = 0x01;    // ROMON
        *resets = r;
        return 0;
    }
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

RegisterResets derive_special_resets(const McuLayout& layout, const RegisterResets& resets) {
    RegisterResets r = resets;
    if (layout.family_id == kSimFamilyHcs12) {
        r.initrg = 0x00;
        r.initrm = 0x09;
        r.initee = 0x01;
    }
    return r;
}

int VirtualMcu::configure(const McuConfig& config) {
    const McuLayout& l = config.layout;
    if (l.family_id != kSimFamilyHc12 && l.family_id != kSimFamilyHcs12 &&
        l.family_id != kSimFamilyHcs12x) {
        sim_error("the virtual target models HC12, HCS12 and HCS12X parts only\n");
        return EINVAL;
    }
    if (l.family_id == kSimFamilyHc12 &&
        (l.flash_size != 2 * kPageSize || l.flash_block_count != 1 || l.ram_size > 0x800 ||
         l.eeprom_size > 0x1000)) {
        sim_error("the virtual HC12 has 32 KB of FLASH, at most 2 KB of RAM and 4 KB of EEPROM\n");
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
        uint32_t register_size = kHcs12RegisterSize;
        if (l.family_id == kSimFamilyHcs12x) {
            register_size = kHcs12xRegisterSize;
        } else if (l.family_id == kSimFamilyHc12) {
            register_size = kHc12RegisterSize;
        }
        registers_.assign(register_size, 0);
        ram_.assign(l.ram_size, 0x00);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    if (flash_module_.configure(l) != 0 || eeprom_module_.configure(l.eeprom_size) != 0) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    config_ = config;
    reset(false);
    return 0;
}

void VirtualMcu::reset(bool special_mode) {
    special_mode_ = special_mode;
    const RegisterResets& r = special_mode ? config_.special_resets : config_.resets;
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

    flash_module_.reset();
    eeprom_module_.reset();
    sci_.reset();
    // In special mode the part checks whether FLASH and EEPROM are blank; a blank part is
    // taken as unsecured whatever the erased security byte says.
    unsecured_blank_ = !hc12() && special_mode && flash_module_.fsec_secured() &&
                       flash_module_.erased() && eeprom_module_.erased();
    flash_module_.set_mode(special_mode, secured());
    eeprom_module_.set_mode(special_mode, secured());
}

bool VirtualMcu::secured() const {
    return !hc12() && flash_module_.fsec_secured() && !unsecured_blank_;
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
    uint32_t base = static_cast<uint32_t>(initee & 0xF8) << 8;
    if (hc12()) {
        base = (static_cast<uint32_t>(initee & 0xF0) << 8) + 0x1000 - size;
    }
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
    if (hc12()) {
        if (address < 0x8000) {
            return false;
        }
        *offset = address - 0x8000u;
        return true;
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

uint8_t VirtualMcu::peek_byte(uint16_t address) const {
    const Location location = locate(address);
    switch (location.region) {
        case Region::kRegisters:
            return peek_register(static_cast<uint16_t>(location.offset));
        case Region::kRam:
            return ram_[location.offset];
        case Region::kEeprom:
            return eeprom()[location.offset];
        case Region::kFlash:
            return flash()[location.offset];
        case Region::kNone:
            break;
    }
    return 0x00;
}

uint8_t VirtualMcu::read_byte(uint16_t address) {
    const Location location = locate(address);
    if (location.region == Region::kRegisters) {
        return read_register(static_cast<uint16_t>(location.offset));
    }
    return peek_byte(address);
}

uint16_t VirtualMcu::read_word(uint16_t address) {
    const uint8_t high = read_byte(address);
    return static_cast<uint16_t>((high << 8) | read_byte(static_cast<uint16_t>(address + 1)));
}

void VirtualMcu::write_byte(uint16_t address, uint8_t value) {
    const Location location = locate(address);
    switch (location.region) {
        case Region::kRegisters:
            write_register(static_cast<uint16_t>(location.offset), value);
            break;
        case Region::kRam:
            ram_[location.offset] = value;
            break;
        case Region::kFlash:
            flash_module_.array_write(location.offset, value, false);
            break;
        case Region::kEeprom:
            eeprom_module_.array_write(location.offset, value, false);
            break;
        case Region::kNone:
            break;
    }
}

void VirtualMcu::write_word(uint16_t address, uint16_t value) {
    // An aligned word reaches the arrays in one access; anything else is two byte accesses.
    const Location location = locate(address);
    const Location next = locate(static_cast<uint16_t>(address + 1));
    const bool one_access =
        (address & 1) == 0 && next.region == location.region && next.offset == location.offset + 1;
    if (one_access && location.region == Region::kFlash) {
        flash_module_.array_write(location.offset, value, true);
    } else if (one_access && location.region == Region::kEeprom) {
        eeprom_module_.array_write(location.offset, value, true);
    } else {
        write_byte(address, static_cast<uint8_t>(value >> 8));
        write_byte(static_cast<uint16_t>(address + 1), static_cast<uint8_t>(value));
    }
}

VirtualMcu::Block VirtualMcu::module_of(uint16_t offset, uint16_t* inside) const {
    if (hc12()) {
        return Block::kNone;  // the HC12's own FLASH and EEPROM registers are not modelled
    }
    if (offset >= reg::kFlashModule && offset < reg::kFlashModule + kModuleSize) {
        *inside = static_cast<uint16_t>(offset - reg::kFlashModule);
        return Block::kFlash;
    }
    if (offset >= reg::kEepromModule && offset < reg::kEepromModule + kModuleSize &&
        config_.layout.eeprom_size > 0) {
        *inside = static_cast<uint16_t>(offset - reg::kEepromModule);
        return Block::kEeprom;
    }
    return Block::kNone;
}

uint8_t VirtualMcu::peek_register(uint16_t offset) const {
    if (offset >= registers_.size()) {
        return 0x00;
    }
    if (sci_at(offset)) {
        return sci_.peek(offset);
    }
    uint16_t inside = 0;
    switch (module_of(offset, &inside)) {
        case Block::kFlash:
            return flash_module_.peek_register(inside);
        case Block::kEeprom:
            return eeprom_module_.peek_register(inside);
        case Block::kNone:
            break;
    }
    return registers_[offset];
}

uint8_t VirtualMcu::read_register(uint16_t offset) {
    uint16_t inside = 0;
    if (offset < registers_.size() && sci_at(offset)) {
        return sci_.read(offset);
    }
    if (offset < registers_.size()) {
        switch (module_of(offset, &inside)) {
            case Block::kFlash:
                return flash_module_.read_register(inside);
            case Block::kEeprom:
                return eeprom_module_.read_register(inside);
            case Block::kNone:
                break;
        }
    }
    return peek_register(offset);
}

void VirtualMcu::write_register(uint16_t offset, uint8_t value) {
    if (offset >= registers_.size()) {
        return;
    }
    if (sci_at(offset)) {
        sci_.write(offset, value);
        return;
    }
    uint16_t inside = 0;
    switch (module_of(offset, &inside)) {
        case Block::kFlash:
            flash_module_.write_register(inside, value);
            return;
        case Block::kEeprom:
            eeprom_module_.write_register(inside, value);
            return;
        case Block::kNone:
            break;
    }
    if (offset >= reg::kFlashModule && offset < reg::kEepromModule + kModuleSize) {
        return;  // the EEPROM module's registers on a part without EEPROM
    }
    switch (offset) {
        case reg::kPartId:
        case reg::kPartId + 1:
        case reg::kMemsiz:
        case reg::kMemsiz + 1:
            return;  // read-only
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
        default:
            registers_[offset] = value;
            return;
    }
}

void VirtualMcu::restore_register(uint16_t offset, uint8_t value) {
    if (offset >= registers_.size()) {
        return;
    }
    uint16_t inside = 0;
    switch (module_of(offset, &inside)) {
        case Block::kFlash:
            flash_module_.restore_register(inside, value);
            break;
        case Block::kEeprom:
            eeprom_module_.restore_register(inside, value);
            break;
        case Block::kNone:
            registers_[offset] = value;
            break;
    }
    // A restored FSEC decides what the modules accept.
    flash_module_.set_mode(special_mode_, secured());
    eeprom_module_.set_mode(special_mode_, secured());
}

bool VirtualMcu::page_offset(uint32_t page, uint32_t* offset) const {
    const McuLayout& l = config_.layout;
    if (page < l.ppage_base || page - l.ppage_base >= l.ppage_count) {
        return false;
    }
    *offset = (page - l.ppage_base) * kPageSize;
    return true;
}

uint32_t VirtualMcu::flash_block_of(uint32_t offset) const {
    return flash_module_.block_of(offset);
}

uint32_t VirtualMcu::selected_block() const {
    return flash_module_.selected_block();
}

bool VirtualMcu::flash_protected(uint32_t offset) const {
    return flash_module_.protected_at(offset);
}

bool VirtualMcu::eeprom_protected(uint32_t offset) const {
    return eeprom_module_.protected_at(offset);
}

NvmStatus VirtualMcu::program_flash_word(uint32_t offset, uint16_t value) {
    return flash_module_.program_word(offset, value);
}

NvmStatus VirtualMcu::erase_flash_sector(uint32_t offset) {
    return flash_module_.erase_sector(offset);
}

NvmStatus VirtualMcu::program_eeprom_word(uint32_t offset, uint16_t value) {
    return eeprom_module_.program_word(offset, value);
}

NvmStatus VirtualMcu::erase_eeprom() {
    return eeprom_module_.erase_all();
}

}  // namespace zelv::sim
