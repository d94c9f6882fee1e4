#include "program/part_profiles.h"

#include <strings.h>

#include <cstring>

#include "base/install_dirs.h"
#include "base/settings.h"
#include "common/sim_log.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv::sim {

namespace {

// Part ids: bits 15-12 family letter (0 D, 3 C, 12 XD), bits 11-8 memory size (0 256 KB,
// 1 128 KB, 2 64 KB, 3 32 KB, 4 512 KB), then the mask set; where a profile stands for no
// particular mask set it gives 1.0. The C64 and the GC parts share the C family's ids. The
// HC12 has no PARTID register. One profile per description shipped in data/ (a test holds
// each layout against its description).
constexpr PartProfile kProfiles[] = {
    {"b32",
     "MC68HC912B32",
     "mc68hc912b32.dat",
     "OTHER",
     "OTHER",
     0x0000,
     {kSimFamilyHc12, 0x400, 0x300, 0x8000, 1, 0x200, 0x3E, 2}},
    {"c32",
     "MC9S12C32",
     "mc9s12c32.dat",
     "FTS32K",
     "NONE",
     0x3311,
     {kSimFamilyHcs12, 0x800, 0, 0x8000, 1, 0x200, 0x3E, 2}},
    {"c128",
     "MC9S12C128",
     "mc9s12c128.dat",
     "FTS128K1",
     "NONE",
     0x3102,
     {kSimFamilyHcs12, 0x1000, 0, 0x20000, 1, 0x400, 0x38, 8}},
    {"dg128",
     "MC9S12DG128B",
     "mc9s12dg128.dat",
     "FTS128K",
     "EETS2K",
     0x0111,
     {kSimFamilyHcs12, 0x2000, 0x800, 0x20000, 2, 0x200, 0x38, 8}},
    {"dp256",
     "MC9S12DP256B",
     "mc9s12dp256.dat",
     "FTS256K",
     "EETS4K",
     0x0012,
     {kSimFamilyHcs12, 0x3000, 0x1000, 0x40000, 4, 0x200, 0x30, 16}},
    {"dp512",
     "MC9S12DP512",
     "mc9s12dp512.dat",
     "FTS512K4",
     "EETS4K",
     0x0410,
     {kSimFamilyHcs12, 0x3800, 0x1000, 0x80000, 4, 0x400, 0x20, 32}},
    {"dg256",
     "MC9S12DG256",
     "mc9s12dg256.dat",
     "FTS256K",
     "EETS4K",
     0x0010,
     {kSimFamilyHcs12, 0x3000, 0x1000, 0x40000, 4, 0x200, 0x30, 16}},
    {"dj64",
     "MC9S12DJ64",
     "mc9s12dj64.dat",
     "FTS64K",
     "EETS1K",
     0x0210,
     {kSimFamilyHcs12, 0x1000, 0x400, 0x10000, 1, 0x200, 0x3C, 4}},
    {"c64",
     "MC9S12C64",
     "mc9s12c64.dat",
     "FTS64KV4",
     "NONE",
     0x3210,
     {kSimFamilyHcs12, 0x1000, 0, 0x10000, 1, 0x200, 0x3C, 4}},
    {"gc64",
     "MC9S12GC64",
     "mc9s12gc64.dat",
     "FTS64KV4",
     "NONE",
     0x3210,
     {kSimFamilyHcs12, 0x1000, 0, 0x10000, 1, 0x200, 0x3C, 4}},
    {"gc32",
     "MC9S12GC32",
     "mc9s12gc32.dat",
     "FTS32K",
     "NONE",
     0x3310,
     {kSimFamilyHcs12, 0x800, 0, 0x8000, 1, 0x200, 0x3E, 2}},
    {"gc128",
     "MC9S12GC128",
     "mc9s12gc128.dat",
     "FTS128K1",
     "NONE",
     0x3110,
     {kSimFamilyHcs12, 0x1000, 0, 0x20000, 1, 0x400, 0x38, 8}},
    {"xdt256",
     "MC9S12XDT256",
     "mc9s12xdt256.dat",
     "FTX256K2",
     "EETX4K",
     0xC010,
     {kSimFamilyHcs12x, 0x3000, 0x800, 0x40000, 2, 0x400, 0xF0, 16}},
    {"xdg128",
     "MC9S12XDG128",
     "mc9s12xdg128.dat",
     "FTX128K1",
     "EETX2K",
     0xC110,
     {kSimFamilyHcs12x, 0x3000, 0x800, 0x20000, 1, 0x400, 0xF8, 8}},
    {"bc32",
     "MC68HC912BC32",
     "mc68hc912bc32.dat",
     "OTHER",
     "OTHER",
     0x0000,
     {kSimFamilyHc12, 0x400, 0x300, 0x8000, 1, 0x200, 0x3E, 2}},
    {"xdp512",
     "MC9S12XDP512",
     "mc9s12xdp512.dat",
     "FTX512K4",
     "EETX4K",
     0xC410,
     {kSimFamilyHcs12x, 0x3000, 0x800, 0x80000, 4, 0x400, 0xE0, 32}},
};

}  // namespace

const PartProfile* part_profiles(unsigned* count) {
    *count = sizeof kProfiles / sizeof kProfiles[0];
    return kProfiles;
}

const PartProfile* find_part_profile(const char* name) {
    for (const PartProfile& profile : kProfiles) {
        const char* dot = profile.description;
        while (*dot != '.') {
            ++dot;
        }
        const auto stem = static_cast<size_t>(dot - profile.description);
        if (strcasecmp(name, profile.name) == 0 || strcasecmp(name, profile.mcu) == 0 ||
            strcasecmp(name, profile.description) == 0 ||
            (std::strlen(name) == stem && strncasecmp(name, profile.description, stem) == 0)) {
            return &profile;
        }
    }
    return nullptr;
}

int layout_from_description(const char* target_name, McuLayout* layout) {
    Settings& run = settings();
    run.verbose = 0;
    run.target = target_name;
    if (run.data_dir[0] == '\0') {
        std::strncpy(run.data_dir, default_data_dir(), sizeof run.data_dir - 1);
    }
    description_free();
    int result = description_load();
    if (result == 0) {
        result = target_model_build();
    }
    if (result == 0) {
        const TargetModel& model = target();
        McuLayout l;
        l.family_id = model.family_id;
        l.ram_size = model.ram_size;
        l.eeprom_size = model.eeprom_size;
        l.flash_size = model.flash_size;
        l.flash_block_count = model.flash_block_count;
        l.flash_sector_size = model.flash_sector_size;
        l.ppage_base = model.ppage_base;
        l.ppage_count = model.ppage_count;
        if (l.family_id == kSimFamilyHc12) {
            // An HC12's FLASH has no pages; the virtual one stores it as the top pages.
            l.flash_block_count = 1;
            l.flash_sector_size = 0x200;
            l.ppage_count = l.flash_size / kPageSize;
            l.ppage_base = 0x40 - l.ppage_count;
        }
        *layout = l;
    } else {
        sim_error("cannot use target description %s\n", target_name);
    }
    description_free();
    run.target = nullptr;  // the caller's text need not outlive this call
    return result;
}

int part_config(const PartProfile& profile, const McuLayout& layout, McuConfig* config) {
    McuConfig c;
    c.layout = layout;
    c.part_id = profile.part_id;
    const int derived = derive_register_resets(layout, &c.resets);
    if (derived != 0) {
        return derived;
    }
    c.special_resets = derive_special_resets(layout, c.resets);
    *config = c;
    return 0;
}

}  // namespace zelv::sim
