#include "target/target_model.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "base/console.h"
#include "base/settings.h"
#include "target/description.h"

namespace zelv {
namespace {

TargetModel the_model;

struct FamilyRow {
    const char* name;
    int id;
};

constexpr FamilyRow kFamilies[] = {
    {"HC12", kFamilyHc12}, {"HCS12", kFamilyHcs12}, {"HCS12X", kFamilyHcs12x},
    {"S12", kFamilyHcs12}, {"S12X", kFamilyHcs12x},
};

struct EepromRow {
    const char* name;
    int id;
    uint32_t size;
};

constexpr int kModuleNone = 1;
constexpr uint32_t kPageSize = 0x4000;  // one PPAGE page
constexpr int kModuleOther = 2;

constexpr EepromRow kEepromModules[] = {
    {"NONE", kModuleNone, 0}, {"OTHER", kModuleOther, 0}, {"EETS1K", 3, 0x400},
    {"EETS2K", 4, 0x800},     {"EETS4K", 5, 0x1000},      {"EETX2K", 6, 0x800},
    {"EETX4K", 7, 0x1000},
};

struct FlashRow {
    const char* name;
    int id;
    uint32_t block_count;
    uint32_t backdoor_key_format;
    uint32_t size;
    uint32_t sector_size;
    uint32_t nb_size;
    uint32_t nb_base;
    uint32_t ppage_base;
    uint32_t ppage_count;
};

// FTX256K2 holds 256 KB in 16 pages from 0xF0 (pages 0xF0 to 0xFF).
constexpr FlashRow kFlashModules[] = {
    {"NONE", kModuleNone, 0, 0, 0, 0, 0, 0, 0x00, 0},
    {"OTHER", kModuleOther, 0, 0, 0, 0, 0, 0, 0x00, 0},
    {"FTS16K", 3, 1, 2, 0x4000, 0x200, 0x4000, 0xC000, 0x3F, 1},
    {"FTS32K", 4, 1, 2, 0x8000, 0x200, 0x8000, 0x8000, 0x3E, 2},
    {"FTS64K", 5, 1, 1, 0x10000, 0x200, 0xC000, 0x4000, 0x3C, 4},
    {"FTS64KV4", 5, 1, 2, 0x10000, 0x200, 0xC000, 0x4000, 0x3C, 4},
    {"FTS128K", 6, 2, 2, 0x20000, 0x200, 0xC000, 0x4000, 0x38, 8},
    {"FTS128K1", 7, 1, 2, 0x20000, 0x400, 0xC000, 0x4000, 0x38, 8},
    {"FTS256K", 8, 4, 1, 0x40000, 0x200, 0xC000, 0x4000, 0x30, 16},
    {"FTS512K4", 9, 4, 2, 0x80000, 0x400, 0xC000, 0x4000, 0x20, 32},
    {"FTX128K1", 10, 1, 2, 0x20000, 0x400, 0xC000, 0x4000, 0xF8, 8},
    {"FTX256K2", 11, 2, 2, 0x40000, 0x400, 0xC000, 0x4000, 0xF0, 16},
    {"FTX512K4", 12, 4, 2, 0x80000, 0x400, 0xC000, 0x4000, 0xE0, 32},
};

template <typename Row, std::size_t N>
const Row* find_row(const Row (&rows)[N], const char* name) {
    for (const Row& row : rows) {
        if (std::strcmp(row.name, name) == 0) {
            return &row;
        }
    }
    return nullptr;
}

// Every failure of the build is reported once and returns EINVAL, whatever the lookup gave.
int fail(const char* message) {
    report_error("%s", message);
    return EINVAL;
}

int build_identity(TargetModel& m) {
    m.info = description_get("info", true);
    if (m.info == nullptr) {
        return fail("missing target info string\n");
    }
    m.mcu = description_get("mcu", true);
    if (m.mcu == nullptr) {
        return fail("missing target MCU type\n");
    }
    m.family = description_get("family", true);
    if (m.family == nullptr) {
        return fail("MCU family not specified in target description\n");
    }
    const FamilyRow* family = find_row(kFamilies, m.family);
    if (family == nullptr) {
        report_error("MCU family unknown: %s\n", printable(m.family).c_str());
        return EINVAL;
    }
    m.family_id = family->id;

    // The texts come from a file and go to the user's terminal.
    const std::string info = printable(m.info);
    const std::string mcu = printable(m.mcu);
    const unsigned long osc = settings().osc;
    if (osc != 0) {
        print_info("target info <%s>\ntarget mcu <%s> family <%s> osc <%lu.%06lu MHz>\n",
                   info.c_str(), mcu.c_str(), m.family, osc / 1000000, osc % 1000000);
    } else {
        print_info("target info <%s>\ntarget mcu <%s> family <%s>\n", info.c_str(), mcu.c_str(),
                   m.family);
    }
    return 0;
}

int build_eeprom(TargetModel& m) {
    m.eeprom_module = description_get("eeprom_module", true);
    if (m.eeprom_module == nullptr) {
        return fail("EEPROM module type not specified in target description\n");
    }
    const EepromRow* row = find_row(kEepromModules, m.eeprom_module);
    if (row == nullptr) {
        report_error("EEPROM module type unknown: %s\n", printable(m.eeprom_module).c_str());
        return EINVAL;
    }
    m.eeprom_base = 0;
    m.eeprom_module_id = row->id;
    m.eeprom_space = row->size;
    if (description_number("eeprom_size", &m.eeprom_size, row->size) != 0) {
        return EINVAL;
    }
    if ((row->id == kModuleNone && m.eeprom_size != 0) ||
        (row->id == kModuleOther && m.eeprom_size == 0)) {
        return fail("invalid EEPROM size\n");
    }
    return 0;
}

int build_flash(TargetModel& m) {
    m.flash_module = description_get("flash_module", true);
    if (m.flash_module == nullptr) {
        return fail("FLASH module type not specified in target description\n");
    }
    const FlashRow* row = find_row(kFlashModules, m.flash_module);
    if (row == nullptr) {
        report_error("FLASH module type unknown: %s\n", printable(m.flash_module).c_str());
        return EINVAL;
    }
    m.flash_module_id = row->id;
    m.backdoor_key_format = row->backdoor_key_format;
    m.flash_block_count = row->block_count;
    m.flash_sector_size = row->sector_size;
    m.flash_nb_size = row->nb_size;
    m.flash_nb_base = row->nb_base;
    m.ppage_base = row->ppage_base;
    m.ppage_count = row->ppage_count;

    if (description_number("flash_size", &m.flash_size, row->size) != 0) {
        return EINVAL;
    }
    if (row->id == kModuleOther && m.flash_size == 0) {
        return fail("invalid FLASH size\n");
    }
    if (description_number("flash_nb_size", &m.flash_nb_size, m.flash_nb_size) != 0 ||
        description_number("flash_nb_base", &m.flash_nb_base, m.flash_nb_base) != 0 ||
        description_number("ppage_base", &m.ppage_base, m.ppage_base) != 0 ||
        description_number("ppage_count", &m.ppage_count, m.ppage_count) != 0) {
        return EINVAL;
    }
    // The page in the PPAGE window after reset: an HCS12X comes up with 0xFE, the page below
    // the fixed one at 0xC000.
    const uint32_t reset_page = m.family_id == kFamilyHcs12x && m.ppage_count >= 2
                                    ? m.ppage_base + m.ppage_count - 2
                                    : m.ppage_base;
    if (description_number("ppage_default", &m.ppage_default, reset_page) != 0) {
        return EINVAL;
    }
    // The page shown at 0x8000 in non-banked files must be one of the part's pages, or the
    // non-banked image would address a page that does not exist.
    if (m.ppage_count != 0 &&
        (m.ppage_default < m.ppage_base || m.ppage_default >= m.ppage_base + m.ppage_count)) {
        report_error("ppage_default 0x%X outside the FLASH pages 0x%X-0x%X\n", m.ppage_default,
                     m.ppage_base, m.ppage_base + m.ppage_count - 1);
        return EINVAL;
    }
    // The pages are what the interfaces address: a size that they do not cover would read
    // pages that do not exist, or leave FLASH unread. A model without FLASH has no pages to
    // match, and a FLASH without pages (an HC12 such as the B32) must lie whole in the
    // CPU's window.
    const bool unpaged_whole = m.ppage_count == 0 && m.flash_nb_size == m.flash_size;
    if (m.flash_size != 0 && !unpaged_whole &&
        uint64_t{m.flash_size} != uint64_t{m.ppage_count} * kPageSize) {
        report_error("FLASH size does not match its pages: flash_size 0x%X, ppage_count %u\n",
                     m.flash_size, m.ppage_count);
        return EINVAL;
    }
    return 0;
}

int build_model(TargetModel& m) {
    int result = build_identity(m);
    if (result != 0) {
        return result;
    }
    m.register_base = 0;
    m.ram_base = 0;
    if (description_number("ram_size", &m.ram_size, 0) != 0) {
        return EINVAL;
    }
    if (m.ram_size == 0) {
        return fail("unknown RAM size\n");
    }
    result = build_eeprom(m);
    if (result == 0) {
        result = build_flash(m);
    }
    if (result != 0) {
        return result;
    }

    m.security_erased = 0;
    m.unsecured = 0;
    m.secured = 0;
    m.target_read_byte = nullptr;
    m.target_read_word = nullptr;
    m.target_write_byte = nullptr;
    m.target_write_word = nullptr;

    m.ppage_linear_base = m.ppage_base << 14;
    // The modules without blocks ("NONE", "OTHER") have no block size; nothing divides by it.
    m.flash_block_size = m.flash_block_count != 0 ? m.flash_size / m.flash_block_count : 0;
    return 0;
}

}  // namespace

TargetModel& target() {
    return the_model;
}

int target_model_build() {
    try {
        return build_model(the_model);
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
}

}  // namespace zelv
