#include "memops/flash_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "memops_support.h"
#include "target/target_model.h"

namespace zelv::test {
namespace {

class FlashLayoutTest : public testing::Test {
protected:
    void SetUp() override { reset_run_state(); }
};

TEST_F(FlashLayoutTest, PpageMapsPlaceFixedWindowsOnTopPages) {
    set_flash_module("FTS256K");
    settings().address_format = kBankedPpage;
    EXPECT_EQ(ppage_offset_to_address(0), 0x308000U);
    EXPECT_EQ(ppage_offset_to_address(0x3FFFE), 0x3FBFFEU);
    EXPECT_EQ(ppage_offset_to_address(0x4000), 0x318000U);

    const struct {
        uint32_t address;
        uint32_t offset;
    } cases[] = {
        {0x308000, 0},        {0x3FBFFF, 0x3FFFF},  {0x4000, 0x38000},      {0x7FFF, 0x3BFFF},
        {0xC000, 0x3C000},    {0xFFFE, 0x3FFFE},    {0x3FC000, 0xFFFFFFFF}, {0x8000, 0xFFFFFFFF},
        {0xBFFF, 0xFFFFFFFF}, {0x3FFF, 0xFFFFFFFF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ppage_address_to_offset(c.address), c.offset) << std::hex << c.address;
    }
    EXPECT_EQ(flash_read_map(), &ppage_address_to_offset);
    EXPECT_EQ(flash_write_map(), &ppage_offset_to_address);
}

// A banked-ppage address names a byte only inside the PPAGE window: any other low half
// would be folded into the page and program bytes the file never meant.
TEST_F(FlashLayoutTest, BankedPpageAddressesOnlyInTheWindow) {
    set_flash_module("FTS256K");
    settings().address_format = kBankedPpage;
    const struct {
        uint32_t address;
        uint32_t offset;
    } cases[] = {
        {0x388000, 0x20000},    {0x38BFFF, 0x23FFF},    {0x384000, 0xFFFFFFFF},
        {0x387FFF, 0xFFFFFFFF}, {0x38C000, 0xFFFFFFFF}, {0x38FFFE, 0xFFFFFFFF},
        {0x380000, 0xFFFFFFFF}, {0x3F0000, 0xFFFFFFFF}, {0x2F8000, 0xFFFFFFFF},
        {0x408000, 0x40000},  // one page past the last: at the image size, so outside
    };
    for (const auto& c : cases) {
        const uint32_t offset = ppage_address_to_offset(c.address);
        if (c.offset == 0xFFFFFFFF) {
            EXPECT_GE(offset, target().flash_size) << std::hex << c.address;
        } else {
            EXPECT_EQ(offset, c.offset) << std::hex << c.address;
        }
    }
}

TEST_F(FlashLayoutTest, FixedWindowsOutsideImageWhenPagesNumberedElsewhere) {
    set_flash_module("FTX512K4");
    target().family_id = kFamilyHcs12;
    EXPECT_GE(ppage_address_to_offset(0xC000), target().flash_size);
    EXPECT_GE(ppage_address_to_offset(0x4000), target().flash_size);
    EXPECT_EQ(ppage_address_to_offset(0xFF8000), 0x7C000U);
}

// An HCS12X sees page 0xFD at 0x4000, page 0xFE in the PPAGE window after reset and page
// 0xFF at 0xC000, wherever its FLASH pages start.
TEST_F(FlashLayoutTest, Hcs12xFixedPages) {
    struct Case {
        const char* module;
        uint32_t ppage_base;
        uint32_t ppage_count;
        uint32_t at_4000;  // banked-ppage offsets of plain 0x4000 and 0xC000
        uint32_t at_c000;
        uint8_t fixed_low_block;  // the block that holds page 0xFD
    };
    const Case cases[] = {
        {"FTX512K4", 0xE0, 32, 0x74000, 0x7C000, 0},
        {"FTX512K4", 0xF8, 8, 0x14000, 0x1C000, 1},  // four blocks of two pages
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ppage_count);
        set_flash_module(c.module);
        TargetModel& t = target();
        t.family_id = kFamilyHcs12x;
        t.ppage_base = c.ppage_base;
        t.ppage_count = c.ppage_count;
        t.flash_size = c.ppage_count * 0x4000;
        t.flash_block_size = t.flash_size / t.flash_block_count;
        t.ppage_linear_base = c.ppage_base << 14;
        t.ppage_default = 0xFE;

        settings().address_format = kNonBanked;
        EXPECT_EQ(flash_offset_page(0x0000), 0xFD);
        EXPECT_EQ(flash_offset_page(0x3FFF), 0xFD);
        EXPECT_EQ(flash_offset_page(0x4000), 0xFE);
        EXPECT_EQ(flash_offset_page(0x8000), 0xFF);
        EXPECT_EQ(flash_offset_page(0xBFFF), 0xFF);
        EXPECT_EQ(flash_offset_block(0x0000), c.fixed_low_block);
        EXPECT_EQ(flash_offset_block(0x8000), 0);

        settings().address_format = kBankedPpage;
        EXPECT_EQ(ppage_address_to_offset(0x4000), c.at_4000);
        EXPECT_EQ(ppage_address_to_offset(0x7FFF), c.at_4000 + 0x3FFF);
        EXPECT_EQ(ppage_address_to_offset(0xC000), c.at_c000);
        EXPECT_EQ(ppage_address_to_offset(0xFFFE), c.at_c000 + 0x3FFE);
        EXPECT_EQ(ppage_address_to_offset(0xFD8000), c.at_4000);
        EXPECT_EQ(ppage_address_to_offset(0xFF8000), c.at_c000);
        EXPECT_EQ(ppage_address_to_offset(0x8000), 0xFFFFFFFFU);
        EXPECT_EQ(ppage_address_to_offset(0x3FFF), 0xFFFFFFFFU);
    }

    // An HCS12 keeps its own layout with the same module row.
    set_flash_module("FTX512K4");
    target().family_id = kFamilyHcs12;
    settings().address_format = kNonBanked;
    EXPECT_EQ(flash_offset_page(0x0000), 0xFE);
}

// Every address the writing map gives must read back to the same offset, in every format.
TEST_F(FlashLayoutTest, MapsRoundTripForEveryModuleAndFormat) {
    for (const FlashModule& m : kFlashModules) {
        if (m.size == 0) {
            continue;
        }
        set_flash_module(m.name);
        target().family_id = m.ppage_base >= 0x80 ? kFamilyHcs12x : kFamilyHcs12;
        for (const int format : {kNonBanked, kBankedLinear, kBankedPpage}) {
            settings().address_format = format;
            const uint32_t size = flash_image_size();
            EXPECT_EQ(size, format == kNonBanked ? m.nb_size : m.size);
            for (uint32_t o = 0; o < size; o += 0x1FFE) {
                for (const uint32_t offset : {o, size - 1 - o}) {
                    EXPECT_EQ(flash_read_map()(flash_write_map()(offset)), offset)
                        << m.name << " format " << format << " offset " << std::hex << offset;
                }
            }
        }
    }
}

struct PageCase {
    const char* module;
    // non-banked: pages and blocks of offsets 0, 0x4000, 0x8000 (where the window has them)
    std::vector<uint8_t> nb_pages;
    std::vector<uint8_t> nb_blocks;
    // banked: page and block of offset 0 and of the last offset
    uint8_t first_page, last_page, first_block, last_block;
    // lowest page of block 0 and of the last block
    uint8_t block0_page, last_block_page;
};

const PageCase kPageCases[] = {
    {"FTS16K", {0x3F}, {0}, 0x3F, 0x3F, 0, 0, 0x3F, 0x3F},
    {"FTS32K", {0x3E, 0x3F}, {0, 0}, 0x3E, 0x3F, 0, 0, 0x3E, 0x3E},
    {"FTS64K", {0x3E, 0x3C, 0x3F}, {0, 0, 0}, 0x3C, 0x3F, 0, 0, 0x3C, 0x3C},
    {"FTS128K", {0x3E, 0x38, 0x3F}, {0, 1, 0}, 0x38, 0x3F, 1, 0, 0x3C, 0x38},
    {"FTS128K1", {0x3E, 0x38, 0x3F}, {0, 0, 0}, 0x38, 0x3F, 0, 0, 0x38, 0x38},
    {"FTS256K", {0x3E, 0x30, 0x3F}, {0, 3, 0}, 0x30, 0x3F, 3, 0, 0x3C, 0x30},
    {"FTS512K4", {0x3E, 0x20, 0x3F}, {0, 3, 0}, 0x20, 0x3F, 3, 0, 0x38, 0x20},
    {"FTX512K4", {0xFE, 0xE0, 0xFF}, {0, 3, 0}, 0xE0, 0xFF, 3, 0, 0xF8, 0xE0},
};

TEST_F(FlashLayoutTest, PagesAndBlocksPerModule) {
    for (const PageCase& c : kPageCases) {
        SCOPED_TRACE(c.module);
        set_flash_module(c.module);
        settings().address_format = kNonBanked;
        for (std::size_t i = 0; i < c.nb_pages.size(); ++i) {
            const auto offset = static_cast<uint32_t>(i * 0x4000);
            EXPECT_EQ(flash_offset_page(offset), c.nb_pages[i]) << i;
            EXPECT_EQ(flash_offset_page(offset + 0x3FFF), c.nb_pages[i]) << i;
            EXPECT_EQ(flash_offset_block(offset), c.nb_blocks[i]) << i;
        }
        for (const int format : {kBankedLinear, kBankedPpage}) {
            settings().address_format = format;
            const uint32_t last = target().flash_size - 1;
            EXPECT_EQ(flash_offset_page(0), c.first_page);
            EXPECT_EQ(flash_offset_page(last), c.last_page);
            EXPECT_EQ(flash_offset_block(0), c.first_block);
            EXPECT_EQ(flash_offset_block(last), c.last_block);
        }
        EXPECT_EQ(flash_block_page(0), c.block0_page);
        EXPECT_EQ(flash_block_page(target().flash_block_count - 1), c.last_block_page);
    }
}

// The non-banked window shows ppage_default in 0x8000-0xBFFF: its block is that page's block,
// while the fixed pages around it belong to block 0.
TEST_F(FlashLayoutTest, NonBankedBlockFollowsThePageInTheWindow) {
    set_flash_module("FTS256K");
    target().ppage_default = 0x35;
    EXPECT_EQ(flash_offset_page(0x4000), 0x35);
    EXPECT_EQ(flash_offset_block(0x4000), 2);
    EXPECT_EQ(flash_offset_block(0x3FFF), 0);
    EXPECT_EQ(flash_offset_block(0xBFFF), 0);
    // Each block's lowest page lies in that block.
    for (uint32_t block = 0; block < 4; ++block) {
        target().ppage_default = flash_block_page(block);
        EXPECT_EQ(flash_offset_block(0x4000), block);
    }
}

TEST_F(FlashLayoutTest, ModulesWithoutBlocksAreSafe) {
    set_flash_module("NONE");
    for (const int format : {kNonBanked, kBankedLinear}) {
        settings().address_format = format;
        EXPECT_EQ(flash_offset_block(0x1234), 0);
        EXPECT_EQ(flash_block_page(0), 0);
    }
}

}  // namespace
}  // namespace zelv::test
