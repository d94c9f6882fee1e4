#include "mcu/status_report.h"

#include <cerrno>
#include <cstdint>

#include "base/console.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint16_t kInitrm = 0x0010;
constexpr uint16_t kInitrg = 0x0011;
constexpr uint16_t kInitee = 0x0012;
constexpr uint16_t kMisc = 0x0013;
constexpr uint16_t kMemsiz = 0x001C;
constexpr uint16_t kFsec = 0x0101;
constexpr uint16_t kFcnfg = 0x0103;
constexpr uint16_t kFprot = 0x0104;
constexpr uint16_t kEprot = 0x0114;

constexpr uint32_t kRegisterSpaces[2] = {0x400, 0x800};
constexpr uint32_t kRamSpaces[8] = {0x800, 0x1000, 0x2000, 0x2000, 0x4000, 0x4000, 0x4000, 0x4000};
constexpr uint32_t kEepromSpaces[4] = {0, 0x800, 0x1000, 0x2000};
constexpr const char* kFlashSpaces[4] = {"0kB", "16kB", "48kB", "64kB"};
constexpr const char* kChipSpaces[4] = {"876kB/128kB", "768kB/256kB", "512kB/512kB", "0kB/1MB"};
constexpr const char* kProtectedAreas[4] = {"2kB", "4kB", "8kB", "off"};

// What the register reads tell beyond the model's fields, for the printed lines.
struct Registers {
    uint8_t initrm = 0;
    uint8_t initee = 0;
    uint8_t misc = 0;
    uint16_t memsiz = 0;
    bool backdoor_key = false;
};

const char* on_off(bool enabled) {
    return enabled ? "enabled" : "disabled";
}

int read_memory_map(TargetModel& m, Registers& r) {
    int result = 0;
    if (m.family_id == kFamilyHc12 || m.family_id == kFamilyHcs12) {
        uint8_t initrg = 0;
        if ((result = m.target_read_byte(kInitrg, &initrg)) != 0 ||
            (result = m.target_read_byte(kInitrm, &r.initrm)) != 0 ||
            (result = m.target_read_byte(kInitee, &r.initee)) != 0) {
            return result;
        }
        m.register_base = (static_cast<uint32_t>(initrg) << 8) & 0x7800;
        m.ram_base = (static_cast<uint32_t>(r.initrm) << 8) & 0xF800;
        m.eeprom_base = (static_cast<uint32_t>(r.initee) << 8) & 0xF800;
        m.eeprom_enabled = (r.initee & 1) != 0 ? 1 : 0;
    }
    if (m.family_id == kFamilyHcs12) {
        if ((result = m.target_read_word(kMemsiz, &r.memsiz)) != 0 ||
            (result = m.target_read_byte(kMisc, &r.misc)) != 0) {
            return result;
        }
        m.register_space = kRegisterSpaces[r.memsiz >> 15];
        m.ram_space = kRamSpaces[(r.memsiz >> 8) & 7];
        m.eeprom_space = kEepromSpaces[(r.memsiz >> 12) & 3];
        m.ram_base &= ~(m.ram_space - 1);
        if ((r.initrm & 1) != 0) {
            // RAMHAL: the RAM sits at the top of its space.
            m.ram_base += m.ram_space - m.ram_size;
        }
    } else if (m.family_id == kFamilyHc12) {
        m.register_space = 0x800;
        m.ram_space = 0x800;
        m.eeprom_space = 0x800;
    } else if (m.family_id == kFamilyHcs12x) {
        if ((result = m.target_read_byte(kMisc, &r.misc)) != 0) {
            return result;
        }
        m.register_base = 0x0000;
        m.register_space = 0x800;
        m.ram_base = 0x1000;
        m.ram_space = 0x3000;
        m.eeprom_base = 0x0800;
        m.eeprom_space = 0x800;
        m.eeprom_enabled = 1;
    }
    m.memory_map_read = 1;
    return 0;
}

bool overlap(uint32_t first, uint32_t size, uint32_t other, uint32_t other_size) {
    return size != 0 && other_size != 0 && first < other + other_size && other < first + size;
}

// The register that places an area, for the hint: at its offset in the register block.
uint32_t init_register(const TargetModel& m, uint16_t offset) {
    return m.register_base + offset;
}

int read_security(TargetModel& m, Registers& r) {
    if (m.family_id == kFamilyHc12) {
        m.unsecured = 1;
        m.secured = 0;
        r.backdoor_key = false;
        return 0;
    }
    uint8_t fsec = 0;
    const int result = m.target_read_byte(kFsec, &fsec);
    if (result != 0) {
        return result;
    }
    const bool key_bit = (fsec & 0x80) != 0;
    const bool key_off_bit = (fsec & 0x40) != 0;
    r.backdoor_key = (m.backdoor_key_format == 1 && key_bit) ||
                     (m.backdoor_key_format == 2 && key_bit && !key_off_bit);
    m.unsecured = (fsec & 3) == 2 ? 1 : 0;
    m.secured = !m.unsecured && !m.security_erased ? 1 : 0;
    return 0;
}

int print_flash_protection(const TargetModel& m, const char* prefix) {
    for (uint32_t block = 0; block < m.flash_block_count; ++block) {
        int result = 0;
        if (m.flash_block_count > 1 &&
            (result = m.target_write_byte(kFcnfg, static_cast<uint8_t>(block))) != 0) {
            return result;
        }
        uint8_t fprot = 0;
        if ((result = m.target_read_byte(kFprot, &fprot)) != 0) {
            return result;
        }
        const char* all = (fprot & 0x80) != 0 ? "off" : "on";
        const char* high = kProtectedAreas[(fprot >> 3) & 3];
        const char* low = kProtectedAreas[fprot & 3];
        if (m.flash_block_count == 1) {
            print_always("%s FLASH protection all <%s> high area <%s> low area <%s>\n", prefix, all,
                         high, low);
        } else {
            print_always("%s FLASH block <%u> protection all <%s> high area <%s> low area <%s>\n",
                         prefix, block, all, high, low);
        }
    }
    return 0;
}

void print_hc12(const TargetModel& m, const Registers& r) {
    print_always("HC12 register base <0x%04X>\n", m.register_base);
    print_always("HC12 RAM size <%ukB> address range <0x%04X-0x%04X>\n", m.ram_size / 1024,
                 m.ram_base, m.ram_base + m.ram_size - 1);
    if (m.eeprom_size != 0) {
        print_always("HC12 EEPROM size <%ukB> state <%s> address range <0x%04X-0x%04X>\n",
                     m.eeprom_size / 1024, on_off((r.initee & 1) != 0), m.eeprom_base,
                     m.eeprom_base + m.eeprom_size - 1);
    } else {
        print_always("HC12 EEPROM not present\n");
    }
}

void print_security(const TargetModel& m, const Registers& r, const char* prefix) {
    print_always("%s part security <%s%s> backdoor key <%s>\n", prefix,
                 m.unsecured ? "unsecured" : "secured", m.security_erased ? "/erased" : "",
                 on_off(r.backdoor_key));
    print_always("%s register space <%ukB> address range <0x%04X-0x%04X>\n", prefix,
                 m.register_space / 1024, m.register_base, m.register_base + m.register_space - 1);
}

int print_hcs12_eeprom(const TargetModel& m, const Registers& r) {
    if (m.eeprom_size == 0) {
        print_always("S12 EEPROM not present\n");
        return 0;
    }
    uint8_t eprot = 0;
    const int result = m.target_read_byte(kEprot, &eprot);
    if (result != 0) {
        return result;
    }
    print_always("S12 EEPROM module <%s> state <%s>\n", m.eeprom_module,
                 on_off((r.initee & 1) != 0));
    print_always("S12 EEPROM size <%ukB> space <%ukB> address range <0x%04X-0x%04X>\n",
                 m.eeprom_size / 1024, m.eeprom_space / 1024, m.eeprom_base,
                 m.eeprom_base + m.eeprom_size - 1);
    const char* all = (eprot & 0x80) != 0 ? "off" : "on";
    if ((eprot & 0x08) != 0) {
        print_always("S12 EEPROM protection all <%s> address range <off>\n", all);
    } else {
        const uint32_t size = 64U * ((eprot & 7U) + 1U);
        const uint32_t end = m.eeprom_base + m.eeprom_size;
        // With EPOPEN clear the whole array is protected and the range does not matter.
        print_always("S12 EEPROM protection all <%s> address range <0x%04X-0x%04X %uB%s>\n", all,
                     end - size, end - 1, size, (eprot & 0x80) == 0 ? " ignored" : "");
    }
    return 0;
}

int print_hcs12(const TargetModel& m, const Registers& r) {
    print_security(m, r, "S12");
    print_always("S12 RAM size <%ukB> space <%ukB> align <%s> address range <0x%04X-0x%04X>\n",
                 m.ram_size / 1024, m.ram_space / 1024, (r.initrm & 1) != 0 ? "high" : "low",
                 m.ram_base, m.ram_base + m.ram_size - 1);
    const int result = print_hcs12_eeprom(m, r);
    if (result != 0) {
        return result;
    }
    print_always("S12 FLASH module <%s> state <%s> ROMHM <%s>\n", m.flash_module,
                 on_off((r.misc & 1) != 0), (r.misc & 2) != 0 ? "yes" : "no");
    print_always("S12 FLASH size <%ukB> space <%s> off-chip/on-chip space <%s>\n",
                 m.flash_size / 1024, kFlashSpaces[(r.memsiz >> 6) & 3], kChipSpaces[r.memsiz & 3]);
    return print_flash_protection(m, "S12");
}

int print_hcs12x(const TargetModel& m, const Registers& r) {
    print_security(m, r, "S12X");
    print_always("S12X RAM size <%ukB> space <%ukB> address range <0x%04X-0x%04X>\n",
                 m.ram_size / 1024, m.ram_space / 1024, m.ram_base, m.ram_base + m.ram_space - 1);
    print_always("S12X FLASH module <%s> size <%ukB> state <%s> ROMHM <%s>\n", m.flash_module,
                 m.flash_size / 1024, on_off((r.misc & 1) != 0), (r.misc & 2) != 0 ? "yes" : "no");
    return print_flash_protection(m, "S12X");
}

int print_report(const TargetModel& m, const Registers& registers) {
    switch (m.family_id) {
        case kFamilyHc12:
            print_hc12(m, registers);
            return 0;
        case kFamilyHcs12:
            return print_hcs12(m, registers);
        case kFamilyHcs12x:
            return print_hcs12x(m, registers);
        default:
            return 0;
    }
}

// An HCS12X reaches its RAM and EEPROM through fixed windows of the local map; a part with
// more of either (a description giving the whole array) is used as far as its window goes,
// so that images stay inside what the CPU sees and the EEPROM's protection field lies at
// the window's end, where the CPU sees the array's last bytes.
void bound_to_windows(TargetModel& m) {
    if (m.family_id != kFamilyHcs12x) {
        return;
    }
    if (m.ram_size > m.ram_space) {
        m.ram_size = m.ram_space;
    }
    if (m.eeprom_size > m.eeprom_space) {
        m.eeprom_size = m.eeprom_space;
    }
}

}  // namespace

int eeprom_window_check(const char* what) {
    const TargetModel& m = target();
    if (m.memory_map_read == 0 || m.eeprom_size == 0) {
        return 0;
    }
    const uint32_t initee = init_register(m, kInitee);
    if (m.eeprom_enabled == 0) {
        report_error(
            "%s not possible - EEPROM disabled (INITEE EEON clear)\n"
            "hint: a bdm_init_byte line for INITEE (0x%04X) in the target description "
            "switches the EEPROM on and places it (bit 0 EEON, bits 7-3 the address)\n",
            what, initee);
        return EINVAL;
    }
    const uint32_t last = m.eeprom_base + m.eeprom_size - 1;
    if (overlap(m.eeprom_base, m.eeprom_size, m.register_base, m.register_space)) {
        report_error(
            "%s not possible - EEPROM at 0x%04X-0x%04X overlaps the register block at "
            "0x%04X-0x%04X\nhint: move the EEPROM with a bdm_init_byte line for INITEE "
            "(0x%04X) in the target description\n",
            what, m.eeprom_base, last, m.register_base, m.register_base + m.register_space - 1,
            initee);
        return EINVAL;
    }
    if (overlap(m.eeprom_base, m.eeprom_size, m.ram_base, m.ram_size)) {
        report_error(
            "%s not possible - EEPROM at 0x%04X-0x%04X overlaps RAM at 0x%04X-0x%04X\n"
            "hint: move the EEPROM or the RAM with a bdm_init_byte line for INITEE "
            "(0x%04X) or INITRM (0x%04X) in the target description\n",
            what, m.eeprom_base, last, m.ram_base, m.ram_base + m.ram_size - 1, initee,
            init_register(m, kInitrm));
        return EINVAL;
    }
    return 0;
}

int ram_window_check(const char* what) {
    const TargetModel& m = target();
    if (m.memory_map_read == 0 ||
        !overlap(m.ram_base, m.ram_size, m.register_base, m.register_space)) {
        return 0;
    }
    report_error(
        "%s not possible - RAM at 0x%04X-0x%04X overlaps the register block at "
        "0x%04X-0x%04X\nhint: move the RAM with a bdm_init_byte line for INITRM "
        "(0x%04X) in the target description\n",
        what, m.ram_base, m.ram_base + m.ram_size - 1, m.register_base,
        m.register_base + m.register_space - 1, init_register(m, kInitrm));
    return EINVAL;
}

int status_report(bool verbose) {
    TargetModel& m = target();
    Registers registers;
    int result = read_memory_map(m, registers);
    if (result == 0) {
        result = read_security(m, registers);
    }
    if (result == 0 && verbose) {
        // The report shows the sizes the description gives.
        result = print_report(m, registers);
    }
    if (result == 0) {
        bound_to_windows(m);
    }
    return result;
}

}  // namespace zelv
