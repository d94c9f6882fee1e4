// Building the target model from a description and the module tables.
#include <gtest/gtest.h>

#include <string>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "target/target_model.h"

namespace zelv {
namespace {

using test::description_text;

class TargetModelTest : public testing::Test {
protected:
    void SetUp() override { test::reset_run_state(); }
    void TearDown() override { test::reset_run_state(); }

    int build(const std::string& text) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int loaded = test::load_description_text(dir, text);
        const int result = loaded != 0 ? loaded : target_model_build();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    test::TempDir dir;
    std::string out;
    std::string err;
};

TEST_F(TargetModelTest, RefusalsInTheOrderOfTheChecks) {
    struct Case {
        std::string text;
        std::string message;
    };
    const std::string head = "info i\nmcu m\nfamily HCS12\n";
    const Case cases[] = {
        {"mcu m\nfamily HCS12\n", "missing target info string\n"},
        {"info i\nfamily HCS12\n", "missing target MCU type\n"},
        {"info i\nmcu m\n", "MCU family not specified in target description\n"},
        {"info i\nmcu m\nfamily s12\n", "MCU family unknown: s12\n"},
        {head, "unknown RAM size\n"},
        {head + "ram_size 0\n", "unknown RAM size\n"},
        {head + "ram_size 4k\n",
         dir.file("target.dat") + ":4: invalid value for target description parameter ram_size\n"},
        {head + "ram_size 4096\nflash_module FTS128K\n",
         "EEPROM module type not specified in target description\n"},
        {head + "ram_size 4096\neeprom_module EETS8K\n", "EEPROM module type unknown: EETS8K\n"},
        {head + "ram_size 4096\neeprom_module NONE\neeprom_size 0x100\n", "invalid EEPROM size\n"},
        {head + "ram_size 4096\neeprom_module OTHER\n", "invalid EEPROM size\n"},
        {head + "ram_size 4096\neeprom_module NONE\n",
         "FLASH module type not specified in target description\n"},
        {head + "ram_size 4096\neeprom_module NONE\nflash_module fts128k\n",
         "FLASH module type unknown: fts128k\n"},
        {head + "ram_size 4096\neeprom_module NONE\nflash_module OTHER\n", "invalid FLASH size\n"},
        {head + "ram_size 4096\neeprom_module NONE\nflash_module FTS128K\nppage_default x\n",
         dir.file("target.dat") +
             ":7: invalid value for target description parameter ppage_default\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(build(c.text), EINVAL) << c.message;
        EXPECT_EQ(err, "\nerror: " + c.message);
    }
}

TEST_F(TargetModelTest, FamiliesAndTheInformationLines) {
    struct Case {
        std::string family;
        int id;
    };
    for (const Case& c :
         {Case{"HC12", 1}, Case{"HCS12", 2}, Case{"HCS12X", 3}, Case{"S12", 2}, Case{"S12X", 3}}) {
        settings().verbose = 1;
        settings().osc = 0;
        ASSERT_EQ(build(description_text("FTS128K", "EETS2K", c.family)), 0) << err;
        EXPECT_EQ(target().family_id, c.id);
        EXPECT_EQ(out,
                  "target info <test target>\ntarget mcu <MC9S12TEST> family <" + c.family + ">\n");
    }
    settings().osc = 16000000;
    ASSERT_EQ(build(description_text("FTS128K")), 0);
    EXPECT_EQ(out,
              "target info <test target>\n"
              "target mcu <MC9S12TEST> family <HCS12> osc <16.000000 MHz>\n");
    settings().verbose = 0;
    ASSERT_EQ(build(description_text("FTS128K")), 0);
    EXPECT_EQ(out, "");
}

TEST_F(TargetModelTest, FlashRowsAndDerivedValues) {
    struct Case {
        const char* module;
        uint32_t blocks, key_format, size, sector, nb_size, nb_base, ppage_base, ppage_count;
        uint32_t linear_base, block_size;
    };
    const Case cases[] = {
        {"NONE", 0, 0, 0, 0, 0, 0, 0x00, 0, 0, 0},
        {"FTS16K", 1, 2, 0x4000, 0x200, 0x4000, 0xC000, 0x3F, 1, 0xFC000, 0x4000},
        {"FTS32K", 1, 2, 0x8000, 0x200, 0x8000, 0x8000, 0x3E, 2, 0xF8000, 0x8000},
        {"FTS64K", 1, 1, 0x10000, 0x200, 0xC000, 0x4000, 0x3C, 4, 0xF0000, 0x10000},
        {"FTS64KV4", 1, 2, 0x10000, 0x200, 0xC000, 0x4000, 0x3C, 4, 0xF0000, 0x10000},
        {"FTS128K", 2, 2, 0x20000, 0x200, 0xC000, 0x4000, 0x38, 8, 0xE0000, 0x10000},
        {"FTS128K1", 1, 2, 0x20000, 0x400, 0xC000, 0x4000, 0x38, 8, 0xE0000, 0x20000},
        {"FTS256K", 4, 1, 0x40000, 0x200, 0xC000, 0x4000, 0x30, 16, 0xC0000, 0x10000},
        {"FTS512K4", 4, 2, 0x80000, 0x400, 0xC000, 0x4000, 0x20, 32, 0x80000, 0x20000},
        {"FTX128K1", 1, 2, 0x20000, 0x400, 0xC000, 0x4000, 0xF8, 8, 0x3E0000, 0x20000},
        // 256 KB are 16 pages from 0xF0.
        {"FTX256K2", 2, 2, 0x40000, 0x400, 0xC000, 0x4000, 0xF0, 16, 0x3C0000, 0x20000},
        {"FTX512K4", 4, 2, 0x80000, 0x400, 0xC000, 0x4000, 0xE0, 32, 0x380000, 0x20000},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(build(description_text(c.module)), 0) << c.module << err;
        const TargetModel& m = target();
        EXPECT_EQ(m.flash_block_count, c.blocks) << c.module;
        EXPECT_EQ(m.backdoor_key_format, c.key_format) << c.module;
        EXPECT_EQ(m.flash_size, c.size) << c.module;
        EXPECT_EQ(m.flash_sector_size, c.sector) << c.module;
        EXPECT_EQ(m.flash_nb_size, c.nb_size) << c.module;
        EXPECT_EQ(m.flash_nb_base, c.nb_base) << c.module;
        EXPECT_EQ(m.ppage_base, c.ppage_base) << c.module;
        EXPECT_EQ(m.ppage_count, c.ppage_count) << c.module;
        EXPECT_EQ(m.ppage_default, c.ppage_base) << c.module;
        EXPECT_EQ(m.ppage_linear_base, c.linear_base) << c.module;
        EXPECT_EQ(m.flash_block_size, c.block_size) << c.module;
    }
    // "OTHER" with a size still has no blocks and no block size.
    ASSERT_EQ(build(description_text("OTHER", "EETS2K", "HCS12",
                                     "flash_size 0x8000\nppage_base 0x3E\nppage_count 2\n")),
              0);
    EXPECT_EQ(target().flash_block_count, 0U);
    EXPECT_EQ(target().flash_block_size, 0U);
}

TEST_F(TargetModelTest, DescriptionKeysOverrideTheRows) {
    ASSERT_EQ(build(description_text("FTX256K2", "EETS4K", "HCS12X",
                                     "flash_size 0x20000\nflash_nb_size 0x8000\n"
                                     "flash_nb_base 0x8000\nppage_base 0x30\nppage_count 8\n"
                                     "eeprom_size 0x800\nppage_base 0x10\n")),
              0);
    const TargetModel& m = target();
    EXPECT_EQ(m.flash_size, 0x20000U);
    EXPECT_EQ(m.flash_nb_size, 0x8000U);
    EXPECT_EQ(m.flash_nb_base, 0x8000U);
    EXPECT_EQ(m.ppage_base, 0x30U) << "the first occurrence counts";
    EXPECT_EQ(m.ppage_default, 0x36U) << "an HCS12X: the page below the last of the new base";
    EXPECT_EQ(m.ppage_count, 8U);
    EXPECT_EQ(m.ppage_linear_base, 0xC0000U);
    EXPECT_EQ(m.flash_block_size, 0x10000U);
    EXPECT_EQ(m.eeprom_size, 0x800U);
    EXPECT_EQ(m.eeprom_space, 0x1000U);

    ASSERT_EQ(build(description_text("FTS256K", "EETS4K", "HCS12",
                                     "eeprom_size 0\nflash_size 0\nppage_default 0x3D\n")),
              0);
    EXPECT_EQ(target().eeprom_size, 0U) << "a model without EEPROM";
    EXPECT_EQ(target().flash_size, 0U) << "a model without FLASH";
    EXPECT_EQ(target().ppage_default, 0x3DU);
}

// The page in the PPAGE window after reset: an HCS12 shows ppage_base, an HCS12X 0xFE (the
// last page but one); a "ppage_default" line wins over both.
TEST_F(TargetModelTest, DefaultPageFollowsTheFamily) {
    struct Case {
        const char* module;
        const char* family;
        const char* extra;
        uint32_t ppage_default;
    };
    const Case cases[] = {
        {"FTS256K", "HCS12", "", 0x30},
        {"FTX512K4", "HCS12X", "", 0xFE},
        {"FTX512K4", "S12X", "", 0xFE},
        {"FTX128K1", "HCS12X", "", 0xFE},
        {"FTX512K4", "HCS12X", "ppage_default 0xE0\n", 0xE0},
        {"FTX512K4", "HCS12X", "ppage_base 0xF0\nppage_count 16\nflash_size 0x40000\n", 0xFE},
        {"FTX512K4", "HCS12", "", 0xE0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(build(description_text(c.module, "EETS4K", c.family, c.extra)), 0) << err;
        EXPECT_EQ(target().ppage_default, c.ppage_default) << c.module << " " << c.family;
    }
}

// The FLASH size must be the pages the interfaces address, after the keys override the
// row: a larger size would read pages that do not exist, a smaller one leave FLASH unread.
TEST_F(TargetModelTest, FlashSizeMustMatchItsPages) {
    struct Case {
        const char* module;
        std::string extra;
        std::string message;  // empty: the description is accepted
    };
    const Case cases[] = {
        {"FTS256K", "", ""},
        {"FTS256K", "flash_size 0x20000\nppage_count 8\nppage_base 0x38\n", ""},
        {"FTS256K", "flash_size 0\n", ""},  // no FLASH: nothing to match
        {"FTS256K", "flash_size 0x20000\n",
         "FLASH size does not match its pages: flash_size 0x20000, ppage_count 16\n"},
        {"FTS256K", "ppage_count 8\n",
         "FLASH size does not match its pages: flash_size 0x40000, ppage_count 8\n"},
        {"FTS256K", "flash_size 0x41000\nppage_count 16\n",
         "FLASH size does not match its pages: flash_size 0x41000, ppage_count 16\n"},
        {"FTS256K", "ppage_count 0x40000\n",
         "FLASH size does not match its pages: flash_size 0x40000, ppage_count 262144\n"},
        {"OTHER", "flash_size 0x8000\n",
         "FLASH size does not match its pages: flash_size 0x8000, ppage_count 0\n"},
        // FLASH without pages, all of it in the CPU's window
        {"OTHER", "flash_size 0x8000\nflash_nb_base 0x8000\nflash_nb_size 0x8000\n", ""},
        {"OTHER", "flash_size 0x8000\nflash_nb_base 0xC000\nflash_nb_size 0x4000\n",
         "FLASH size does not match its pages: flash_size 0x8000, ppage_count 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        EXPECT_EQ(build(description_text(c.module, "EETS4K", "HCS12", c.extra)),
                  c.message.empty() ? 0 : EINVAL);
        EXPECT_EQ(err, c.message.empty() ? "" : "\nerror: " + c.message);
    }
}

// Texts of the description go to the terminal: escape sequences and other bytes a terminal
// acts on are shown as dots, while the list keeps the texts as they are.
TEST_F(TargetModelTest, DescriptionTextsArePrintedSafely) {
    settings().verbose = 1;
    const std::string text =
        "info board \x1b]0;owned\x07 rev\x9b"
        "2J\n"
        "mcu MC9S12\x1b[2JDG128\x7f\n"
        "family HCS12\nram_size 0x1000\neeprom_module NONE\n"
        "flash_module FTS128K\n";
    ASSERT_EQ(build(text), 0) << err;
    EXPECT_EQ(out,
              "target info <board .]0;owned. rev.2J>\ntarget mcu <MC9S12.[2JDG128.>"
              " family <HCS12>\n");
    EXPECT_STREQ(target().mcu, "MC9S12\x1b[2JDG128\x7f");

    const std::string head = "info i\nmcu m\n";
    EXPECT_EQ(build(head + "family HCS12\x1b[31m\n"), EINVAL);
    EXPECT_EQ(err, "\nerror: MCU family unknown: HCS12.[31m\n");
    const std::string body = head + "family HCS12\nram_size 0x1000\n";
    EXPECT_EQ(build(body + "eeprom_module \x1b[5m\n"), EINVAL);
    EXPECT_EQ(err, "\nerror: EEPROM module type unknown: .[5m\n");
    EXPECT_EQ(build(body + "eeprom_module NONE\nflash_module \x1b"
                           "c\n"),
              EINVAL);
    EXPECT_EQ(err, "\nerror: FLASH module type unknown: .c\n");
}

TEST_F(TargetModelTest, BuildClearsWhatTheInterfaceFillsIn) {
    target().secured = 1;
    target().unsecured = 1;
    target().security_erased = 1;
    target().register_base = 0x800;
    target().target_read_byte = [](uint16_t, uint8_t*) { return 0; };
    ASSERT_EQ(build(description_text("FTS128K")), 0);
    EXPECT_EQ(target().secured + target().unsecured + target().security_erased, 0);
    EXPECT_EQ(target().register_base, 0U);
    EXPECT_EQ(target().target_read_byte, nullptr);
    EXPECT_STREQ(target().eeprom_module, "EETS4K");
    EXPECT_EQ(target().eeprom_module_id, 5);
    EXPECT_EQ(target().ram_size, 0x3000U);
}

}  // namespace
}  // namespace zelv
