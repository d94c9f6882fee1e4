// Every description in data/ loads and builds its target model, and its numbers agree with
// themselves: a typo in a shipped file reaches every user of that part.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kPage = 0x4000;
constexpr uint32_t kRegisterBlockEnd = 0x0400;  // HCS12 registers after reset

std::vector<std::filesystem::path> shipped_descriptions() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(ZELV_SOURCE_DIR "/data")) {
        if (entry.path().extension() == ".dat") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The INITRM and INITEE values the file's bdm_init_byte lines write (reset values otherwise).
void init_bytes(uint32_t* initrm, uint32_t* initee) {
    *initrm = 0x09;
    *initee = 0x01;
    (void)description_get(nullptr, true);
    for (const char* v = description_next("bdm_init_byte"); v != nullptr;
         v = description_next("bdm_init_byte")) {
        int address = 0;
        int value = 0;
        ASSERT_EQ(std::sscanf(v, "%i %i", &address, &value), 2) << v;
        if (address == 0x0010) {
            *initrm = static_cast<uint32_t>(value);
        } else if (address == 0x0012) {
            *initee = static_cast<uint32_t>(value);
        }
    }
}

TEST(ShippedDescriptions, EachBuildsAConsistentModel) {
    const auto files = shipped_descriptions();
    ASSERT_GE(files.size(), 6U);
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        test::reset_run_state();
        const std::string path = file.string();
        settings().target = path.c_str();
        ASSERT_EQ(description_load(), 0);
        ASSERT_EQ(target_model_build(), 0);
        const TargetModel& m = target();

        // The file is named after its part, so that -t finds it by that name (the variants
        // with the agent method by that name and "-agents").
        std::string stem = file.stem().string();
        if (const size_t agents = stem.rfind("-agents"); agents != std::string::npos &&
                                                         agents + 7 == stem.size()) {
            stem.erase(agents);
        }
        EXPECT_EQ(lower(m.mcu).rfind(stem, 0), 0U) << m.mcu;
        if (m.flash_block_count != 0) {
            EXPECT_EQ(m.flash_size, m.ppage_count * kPage);
            EXPECT_EQ(m.flash_size % m.flash_block_count, 0U);
        }
        if (m.family_id != kFamilyHcs12) {
            continue;
        }
        // Over BDM the RAM must end at 0x3FFF and the EEPROM must neither share its addresses
        // nor hide under the registers, or the operations would touch the wrong memory.
        uint32_t initrm = 0;
        uint32_t initee = 0;
        init_bytes(&initrm, &initee);
        EXPECT_EQ(initrm, 0x39U);
        const uint32_t ram_first = kPage - m.ram_size;
        if (m.eeprom_size != 0) {
            const uint32_t ee_first = (initee << 8) & 0xF800;
            const uint32_t ee_end = ee_first + m.eeprom_size;
            EXPECT_EQ(initee & 1U, 1U) << "EEPROM left off";
            EXPECT_GE(ee_first, kRegisterBlockEnd);
            EXPECT_TRUE(ee_end <= ram_first || ee_first >= kPage) << std::hex << ee_first;
        }
    }
    test::reset_run_state();
}

}  // namespace
}  // namespace zelv
