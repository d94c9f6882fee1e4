// The virtual MCU: the local map of every part profile, paging and fixed pages, priorities,
// the nonvolatile programming rules, block select, protection and security at reset, and
// the state file.
#include <gtest/gtest.h>

#include <filesystem>

#include <cerrno>
#include <map>
#include <string>

#include "fakes/run_state.h"
#include "sim/sim_test_util.h"
#include "program/state_file.h"
#include "test_support.h"

namespace zelv::sim::test {
namespace {

class VirtualMcuTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
    }
    void TearDown() override { sim_set_quiet(false); }
    VirtualMcu mcu;
};

// Register choices per part, and where they put RAM and EEPROM in the local map.
struct MapCase {
    const char* part;
    uint8_t initrm;
    uint8_t initee;
    uint16_t memsiz;
    uint32_t ram_first;
    uint32_t eeprom_first;  // 0 when the part has none
    uint32_t eeprom_visible;
};

TEST_F(VirtualMcuTest, EveryProfileShowsRegistersRamAndEepromWithoutHidingABytes) {
    const MapCase cases[] = {
        {"c32", 0x39, 0x00, 0x0080, 0x3800, 0, 0},
        {"c128", 0x39, 0x00, 0x0180, 0x3000, 0, 0},
        {"dg128", 0x39, 0x09, 0x1280, 0x2000, 0x0800, 0x800},
        {"dp256", 0x39, 0x41, 0x2481, 0x1000, 0x4000, 0x1000},
        {"xdp512", 0x00, 0x00, 0x0000, 0x1000, 0x0800, 0x800},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.part);
        configure_part(mcu, c.part);
        EXPECT_EQ(mcu.read_byte(reg::kInitrm), c.initrm);
        EXPECT_EQ(mcu.read_byte(reg::kInitee), c.initee);
        EXPECT_EQ((mcu.read_byte(reg::kMemsiz) << 8) | mcu.read_byte(reg::kMemsiz + 1), c.memsiz);

        std::map<Region, uint32_t> count;
        std::map<Region, uint32_t> first;
        std::vector<int> ram_seen(mcu.ram().size(), 0);
        std::vector<int> eeprom_seen(mcu.eeprom().size(), 0);
        for (uint32_t a = 0x10000; a-- > 0;) {
            const Location l = mcu.locate(static_cast<uint16_t>(a));
            ++count[l.region];
            first[l.region] = a;
            if (l.region == Region::kRam) {
                ++ram_seen[l.offset];
            } else if (l.region == Region::kEeprom) {
                ++eeprom_seen[l.offset];
            }
        }
        const bool x = mcu.layout().family_id == kSimFamilyHcs12x;
        EXPECT_EQ(count[Region::kRegisters], x ? 0x800u : 0x400u);
        EXPECT_EQ(first[Region::kRegisters], 0u);
        EXPECT_EQ(count[Region::kRam], mcu.layout().ram_size);
        EXPECT_EQ(first[Region::kRam], c.ram_first);
        EXPECT_EQ(c.ram_first + mcu.layout().ram_size, 0x4000u) << "RAM ends at 0x3FFF";
        EXPECT_EQ(count[Region::kEeprom], c.eeprom_visible);
        if (c.eeprom_visible > 0) {
            EXPECT_EQ(first[Region::kEeprom], c.eeprom_first);
        }
        for (const int seen : ram_seen) {
            ASSERT_EQ(seen, 1);
        }
        for (const int seen : eeprom_seen) {
            ASSERT_EQ(seen, 1);
        }
    }
}

TEST_F(VirtualMcuTest, PpageSelectsTheWindowAndFixedPagesStayPut) {
    struct Case {
        const char* part;
        uint32_t low_fixed;
        uint32_t high_fixed;
    };
    for (const Case& c : {Case{"dp256", 0x3E, 0x3F}, Case{"xdp512", 0xFD, 0xFF}}) {
        SCOPED_TRACE(c.part);
        configure_part(mcu, c.part);
        const McuLayout& l = mcu.layout();
        for (uint32_t p = 0; p < l.ppage_count; ++p) {
            mcu.flash()[p * kPageSize + 0x1000] = static_cast<uint8_t>(p);
            mcu.flash()[p * kPageSize + 0x3FFF] = static_cast<uint8_t>(0x80 | p);
        }
        for (uint32_t p = 0; p < l.ppage_count; ++p) {
            mcu.write_byte(reg::kPpage, static_cast<uint8_t>(l.ppage_base + p));
            ASSERT_EQ(mcu.read_byte(0x9000), p);
            ASSERT_EQ(mcu.read_byte(0xBFFF), 0x80 | p);
        }
        EXPECT_EQ(mcu.read_byte(0x5000), c.low_fixed - l.ppage_base);
        EXPECT_EQ(mcu.read_byte(0xD000), c.high_fixed - l.ppage_base);
        // Pages the part lacks are not aliased onto others.
        mcu.write_byte(reg::kPpage, static_cast<uint8_t>(l.ppage_base - 1));
        EXPECT_EQ(mcu.locate(0x9000).region, Region::kNone);
        EXPECT_EQ(mcu.read_byte(0x9000), 0x00);
    }
}

TEST_F(VirtualMcuTest, RegistersOverRamOverEepromOverFlash) {
    configure_part(mcu, "dp256");
    EXPECT_EQ(mcu.locate(0x4000).region, Region::kEeprom);  // over the fixed page 0x3E
    EXPECT_EQ(mcu.locate(0x5000).region, Region::kFlash);

    // The start-up code's writes are final in normal mode.
    mcu.write_byte(reg::kInitrm, 0x09);
    EXPECT_EQ(mcu.read_byte(reg::kInitrm), 0x39);

    mcu.reset(true);
    mcu.write_byte(reg::kInitrm, 0x41);  // RAM 0x5000-0x7FFF over EEPROM and FLASH
    mcu.write_byte(reg::kInitee, 0x51);  // EEPROM 0x5000-0x5FFF
    EXPECT_EQ(mcu.locate(0x5000).region, Region::kRam);
    mcu.write_byte(reg::kInitrm, 0x01);  // RAM 0x1000-0x3FFF again
    EXPECT_EQ(mcu.locate(0x5000).region, Region::kEeprom);
    mcu.write_byte(reg::kInitee, 0x01);  // EEPROM 0x0000-0x0FFF, under the registers
    EXPECT_EQ(mcu.locate(0x03FF).region, Region::kRegisters);
    EXPECT_EQ(mcu.locate(0x0400).region, Region::kEeprom);
    mcu.write_byte(reg::kInitrg, 0x08);  // registers to 0x0800
    EXPECT_EQ(mcu.locate(0x0000).region, Region::kEeprom);
    EXPECT_EQ(mcu.locate(0x0830).region, Region::kRegisters);
    EXPECT_EQ(mcu.read_byte(0x0800 + reg::kPartId + 1), 0x12);

    mcu.write_byte(0x0800 + reg::kMisc, 0x0F);  // ROMHM: no FLASH at 0x4000-0x7FFF
    EXPECT_EQ(mcu.locate(0x5000).region, Region::kNone);
    EXPECT_EQ(mcu.locate(0xC000).region, Region::kFlash);
    mcu.write_byte(0x0800 + reg::kMisc, 0x0C);  // ROMON clear: no FLASH at all
    EXPECT_EQ(mcu.locate(0xC000).region, Region::kNone);
}

TEST_F(VirtualMcuTest, ProgrammingNeedsAnErasedWordInTheSelectedBlock) {
    configure_part(mcu, "dp256");  // block 0 = pages 0x3C-0x3F, block 3 = pages 0x30-0x33
    const uint32_t block0 = flash_at(mcu, 0x3C, 0x0100);
    const uint32_t block3 = flash_at(mcu, 0x30, 0x0100);
    struct Step {
        uint8_t fcnfg;
        uint32_t offset;
        uint16_t value;
        NvmStatus expected;
    };
    const Step steps[] = {
        {0, block0, 0x1234, NvmStatus::kOk},
        {0, block0, 0x1234, NvmStatus::kNotErased},  // even with the same value
        {0, block0, 0xFFFF, NvmStatus::kNotErased},
        {0, block0 + 3, 0x0000, NvmStatus::kAccessError},  // odd
        {0, block3, 0x5678, NvmStatus::kAccessError},      // block 3 not selected
        {3, block3, 0x5678, NvmStatus::kOk},
        {7, block3 + 2, 0x9ABC, NvmStatus::kOk},  // only the block bits count
        {3, 0x40000, 0x0000, NvmStatus::kAccessError},
    };
    for (const Step& s : steps) {
        mcu.write_byte(reg::kFcnfg, s.fcnfg);
        EXPECT_EQ(mcu.program_flash_word(s.offset, s.value), s.expected) << std::hex << s.offset;
    }
    EXPECT_EQ(mcu.flash()[block0], 0x12);
    EXPECT_EQ(mcu.flash()[block0 + 1], 0x34);
    EXPECT_EQ(mcu.flash()[block3 + 3], 0xBC);

    mcu.write_byte(reg::kFcnfg, 0);
    EXPECT_EQ(mcu.erase_flash_sector(block3), NvmStatus::kAccessError);
    mcu.write_byte(reg::kFcnfg, 3);
    EXPECT_EQ(mcu.erase_flash_sector(block3 + 0x10), NvmStatus::kOk);
    EXPECT_EQ(mcu.flash()[block3], 0xFF);
    EXPECT_EQ(mcu.program_flash_word(block3, 0x5678), NvmStatus::kOk);
    // A sector is 512 bytes here: the neighbour keeps its data.
    mcu.write_byte(reg::kFcnfg, 0);
    EXPECT_EQ(mcu.program_flash_word(block0 + 0x200, 0x0001), NvmStatus::kOk);
    EXPECT_EQ(mcu.erase_flash_sector(block0), NvmStatus::kOk);
    EXPECT_EQ(mcu.flash()[block0 + 0x201], 0x01);
}

TEST_F(VirtualMcuTest, TwoBlockPartSelectsWithOneBit) {
    configure_part(mcu, "dg128");  // block 0 = pages 0x3C-0x3F, block 1 = 0x38-0x3B
    mcu.write_byte(reg::kFcnfg, 2);
    EXPECT_EQ(mcu.selected_block(), 0u);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x3B, 0), 0), NvmStatus::kAccessError);
    mcu.write_byte(reg::kFcnfg, 1);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x3B, 0), 0), NvmStatus::kOk);
}

TEST_F(VirtualMcuTest, ResetLoadsSecurityAndProtectionFromNonvolatileMemory) {
    configure_part(mcu, "dp256");
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0xFF);
    EXPECT_EQ(mcu.read_byte(reg::kEprot), 0xFF);
    mcu.flash()[flash_at(mcu, 0x3F, 0x3F0F)] = 0x02;
    mcu.flash()[flash_at(mcu, 0x3F, 0x3F0D)] = 0xC7;
    mcu.eeprom()[0x1000 - 3] = 0xF3;
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0xFF) << "only a reset loads FSEC";
    mcu.reset(false);
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0x02);
    mcu.write_byte(reg::kFsec, 0xFE);
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0x02) << "FSEC is read-only";

    // FPROT is banked by FCNFG; block 0 protects its top 2 KB, the others nothing.
    EXPECT_EQ(mcu.read_byte(reg::kFprot), 0xC7);
    mcu.write_byte(reg::kFcnfg, 1);
    EXPECT_EQ(mcu.read_byte(reg::kFprot), 0xFF);
    mcu.write_byte(reg::kFcnfg, 0);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x3F, 0x3800), 0),
              NvmStatus::kProtectionViolation);
    EXPECT_EQ(mcu.erase_flash_sector(flash_at(mcu, 0x3F, 0x3E00)), NvmStatus::kProtectionViolation);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x3F, 0x37FE), 0), NvmStatus::kOk);
    mcu.write_byte(reg::kFprot, 0xFF);  // normal mode: protection only grows
    EXPECT_EQ(mcu.read_byte(reg::kFprot), 0xC7);
    mcu.write_byte(reg::kFprot, 0x7F);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x3C, 0), 0), NvmStatus::kProtectionViolation);

    // EPROT 0xF3: the last 256 bytes of EEPROM are protected and mass erase fails.
    EXPECT_EQ(mcu.read_byte(reg::kEprot), 0xF3);
    EXPECT_EQ(mcu.program_eeprom_word(0x0F00, 0), NvmStatus::kProtectionViolation);
    EXPECT_EQ(mcu.program_eeprom_word(0x0EFE, 0), NvmStatus::kOk);
    EXPECT_EQ(mcu.erase_eeprom(), NvmStatus::kProtectionViolation);
    mcu.reset(true);
    mcu.write_byte(reg::kEprot, 0xFF);  // special mode opens it again
    EXPECT_EQ(mcu.erase_eeprom(), NvmStatus::kOk);
    EXPECT_EQ(mcu.eeprom()[0x0EFE], 0xFF);
}

TEST_F(VirtualMcuTest, StuckBytesSurviveErase) {
    configure_part(mcu, "dg128");
    ASSERT_EQ(mcu.add_stuck_byte({Region::kFlash, flash_at(mcu, 0x3C, 0x10), 0x7F}), 0);
    ASSERT_EQ(mcu.add_stuck_byte({Region::kEeprom, 0x105, 0x00}), 0);
    EXPECT_EQ(mcu.add_stuck_byte({Region::kEeprom, 0x800, 0x00}), EINVAL);
    EXPECT_EQ(mcu.erase_flash_sector(flash_at(mcu, 0x3C, 0)), NvmStatus::kOk);
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x3C, 0x10)], 0x7F);
    EXPECT_EQ(mcu.erase_eeprom(), NvmStatus::kOk);
    EXPECT_EQ(mcu.eeprom()[0x105], 0x00);
    EXPECT_EQ(mcu.eeprom()[0x104], 0xFF);
}

TEST_F(VirtualMcuTest, Hcs12xPagesRamAndEepromThroughRpageAndEpage) {
    configure_part(mcu, "xdp512");  // 12 KB RAM = pages 0xFD-0xFF, 2 KB EEPROM = 0xFE-0xFF
    mcu.ram()[0] = 0x11;
    mcu.eeprom()[0] = 0x22;
    mcu.eeprom()[0x400] = 0x33;
    EXPECT_EQ(mcu.read_byte(0x1000), 0x11);
    EXPECT_EQ(mcu.read_byte(0x0800), 0x22);
    EXPECT_EQ(mcu.read_byte(0x0C00), 0x33);
    mcu.write_byte(reg::kEpage, 0xFF);
    EXPECT_EQ(mcu.read_byte(0x0800), 0x33);
    mcu.write_byte(reg::kEpage, 0xFD);
    EXPECT_EQ(mcu.locate(0x0800).region, Region::kNone);
    mcu.write_byte(reg::kRpage, 0xFC);
    EXPECT_EQ(mcu.locate(0x1000).region, Region::kNone);
    EXPECT_EQ(mcu.locate(0x2000).region, Region::kRam);
}

TEST_F(VirtualMcuTest, ConfigurationsTheMapCannotHoldAreRefused) {
    const PartProfile* dp256 = find_part_profile("dp256");
    ASSERT_NE(dp256, nullptr);
    struct Case {
        const char* what;
        void (*change)(McuLayout&);
    };
    const Case cases[] = {
        {"HC12", [](McuLayout& l) { l.family_id = 1; }},
        {"size against pages", [](McuLayout& l) { l.flash_size = 0x20000; }},
        {"three blocks", [](McuLayout& l) { l.flash_block_count = 3; }},
        {"last page not 0x3F", [](McuLayout& l) { l.ppage_base = 0x20; }},
        {"no sector size", [](McuLayout& l) { l.flash_sector_size = 0; }},
    };
    for (const Case& c : cases) {
        McuLayout layout = dp256->layout;
        c.change(layout);
        McuConfig config;
        config.layout = layout;
        EXPECT_EQ(mcu.configure(config), EINVAL) << c.what;
    }
    McuLayout big_ram = dp256->layout;
    big_ram.ram_size = 0x5000;
    McuConfig config;
    EXPECT_EQ(part_config(*dp256, big_ram, &config), EINVAL);
}

TEST_F(VirtualMcuTest, ShippedDescriptionsDescribeTheProfiles) {
    unsigned count = 0;
    const PartProfile* profiles = part_profiles(&count);
    ASSERT_GE(count, 3u);
    for (unsigned i = 0; i < count; ++i) {
        const PartProfile& p = profiles[i];
        SCOPED_TRACE(p.name);
        const std::string path = std::string(ZELV_SOURCE_DIR) + "/data/" + p.description;
        McuLayout layout;
        ASSERT_EQ(layout_from_description(path.c_str(), &layout), 0);
        EXPECT_EQ(layout.family_id, p.layout.family_id);
        EXPECT_EQ(layout.ram_size, p.layout.ram_size);
        EXPECT_EQ(layout.eeprom_size, p.layout.eeprom_size);
        EXPECT_EQ(layout.flash_size, p.layout.flash_size);
        EXPECT_EQ(layout.flash_block_count, p.layout.flash_block_count);
        EXPECT_EQ(layout.flash_sector_size, p.layout.flash_sector_size);
        EXPECT_EQ(layout.ppage_base, p.layout.ppage_base);
        EXPECT_EQ(layout.ppage_count, p.layout.ppage_count);
        EXPECT_EQ(find_part_profile(p.mcu), &p);
    }
    EXPECT_EQ(find_part_profile("DP256"), find_part_profile("mc9s12dp256"));
    EXPECT_EQ(find_part_profile("dt128"), nullptr);
    // Every shipped description has its profile; a part's "-agents" variant shares its part's.
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(ZELV_SOURCE_DIR) + "/data")) {
        if (entry.path().extension() != ".dat") {
            continue;
        }
        std::string name = entry.path().stem().string();
        if (name.ends_with("-agents")) {
            name.resize(name.size() - 7);
        }
        EXPECT_NE(find_part_profile(name.c_str()), nullptr) << name;
    }
}

TEST_F(VirtualMcuTest, StateFileKeepsMemoryAndRegisters) {
    zelv::test::TempDir dir;
    const std::string path = dir.file("board.sim");
    configure_part(mcu, "dp256");
    bool loaded = true;
    EXPECT_EQ(state_load(path.c_str(), mcu, &loaded), 0);
    EXPECT_FALSE(loaded);

    mcu.flash()[0x12345] = 0x5A;
    mcu.eeprom()[0xFFF] = 0x01;
    mcu.ram()[0x2FFF] = 0x02;
    mcu.write_byte(reg::kPpage, 0x33);
    mcu.write_byte(reg::kFcnfg, 2);
    mcu.write_byte(reg::kFprot, 0x80);  // block 2's bank
    ASSERT_EQ(state_save(path.c_str(), "dp256", mcu), 0);
    EXPECT_FALSE(zelv::test::file_exists(path + ".tmp"));

    VirtualMcu again;
    configure_part(again, "dp256");
    ASSERT_EQ(state_load(path.c_str(), again, &loaded), 0);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(again.flash(), mcu.flash());
    EXPECT_EQ(again.eeprom(), mcu.eeprom());
    EXPECT_EQ(again.ram(), mcu.ram());
    EXPECT_EQ(again.read_byte(reg::kPpage), 0x33);
    EXPECT_EQ(again.read_byte(reg::kFprot), 0x80);

    VirtualMcu other;
    configure_part(other, "dg128");
    EXPECT_EQ(state_load(path.c_str(), other, &loaded), EINVAL);

    const std::string content = zelv::test::read_file(path);
    const std::string bad = dir.file("bad.sim");
    struct Broken {
        const char* what;
        std::string bytes;
    };
    const Broken broken[] = {
        {"cut short", content.substr(0, content.size() - 100)},
        {"no end section", content.substr(0, content.size() - 8)},
        {"other magic", "ZELVSIX\n" + content.substr(8)},
        {"version 2", content.substr(0, 8) + std::string("\x00\x02", 2) + content.substr(10)},
        {"empty", ""},
    };
    for (const Broken& b : broken) {
        zelv::test::write_file(bad, b.bytes);
        EXPECT_EQ(state_load(bad.c_str(), again, &loaded), EINVAL) << b.what;
        EXPECT_FALSE(loaded);
    }
}

}  // namespace
}  // namespace zelv::sim::test
