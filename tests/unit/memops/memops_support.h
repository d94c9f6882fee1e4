// Shared by the FLASH and EEPROM frame tests: the FLASH module rows set straight into the
// target model, S-record input lines made by hand, srec_cat as the independent source of
// expected files, and stdout/stderr capture with the summary's time and rate masked.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/settings.h"
#include "fakes/run_state.h"
#include "target/target_model.h"
#include "test_support.h"

namespace zelv::test {

struct FlashModule {
    const char* name;
    uint32_t blocks;
    uint32_t size;
    uint32_t sector;
    uint32_t nb_size;
    uint32_t nb_base;
    uint32_t ppage_base;
    uint32_t ppage_count;
};

// The rows of the FLASH module table whose layout differs.
inline constexpr FlashModule kFlashModules[] = {
    {"NONE", 0, 0, 0, 0, 0, 0x00, 0},
    {"FTS16K", 1, 0x4000, 0x200, 0x4000, 0xC000, 0x3F, 1},
    {"FTS32K", 1, 0x8000, 0x200, 0x8000, 0x8000, 0x3E, 2},
    {"FTS64K", 1, 0x10000, 0x200, 0xC000, 0x4000, 0x3C, 4},
    {"FTS128K", 2, 0x20000, 0x200, 0xC000, 0x4000, 0x38, 8},
    {"FTS128K1", 1, 0x20000, 0x400, 0xC000, 0x4000, 0x38, 8},
    {"FTS256K", 4, 0x40000, 0x200, 0xC000, 0x4000, 0x30, 16},
    {"FTS512K4", 4, 0x80000, 0x400, 0xC000, 0x4000, 0x20, 32},
    {"FTX512K4", 4, 0x80000, 0x400, 0xC000, 0x4000, 0xE0, 32},
};

// Fills the FLASH fields of the target model the way the model build derives them.
inline void set_flash_module(const std::string& name) {
    for (const FlashModule& m : kFlashModules) {
        if (name == m.name) {
            TargetModel& t = target();
            t.flash_module = m.name;
            t.flash_block_count = m.blocks;
            t.flash_size = m.size;
            t.flash_sector_size = m.sector;
            t.flash_nb_size = m.nb_size;
            t.flash_nb_base = m.nb_base;
            t.ppage_base = m.ppage_base;
            t.ppage_count = m.ppage_count;
            t.ppage_default = m.ppage_base;
            t.ppage_linear_base = m.ppage_base << 14;
            t.flash_block_size = m.blocks != 0 ? m.size / m.blocks : 0;
            return;
        }
    }
    FAIL() << "no module " << name;
}

inline void set_eeprom(uint32_t base, uint32_t size) {
    target().eeprom_base = base;
    target().eeprom_size = size;
}

// One S-record line (type '1' to '9'), with its checksum, made without the project's writer.
inline std::string srec_line(char type, uint32_t address, const std::vector<uint8_t>& data) {
    const int address_bytes = (type == '2' || type == '8')   ? 3
                              : (type == '3' || type == '7') ? 4
                                                             : 2;
    const auto count =
        static_cast<unsigned>(address_bytes + 1) + static_cast<unsigned>(data.size());
    unsigned sum = count;
    char text[16];
    std::snprintf(text, sizeof text, "S%c%02X", type, count);
    std::string line = text;
    for (int i = address_bytes - 1; i >= 0; --i) {
        const unsigned byte = (address >> (8 * i)) & 0xFFU;
        sum += byte;
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
    }
    for (const uint8_t byte : data) {
        sum += byte;
        std::snprintf(text, sizeof text, "%02X", byte);
        line += text;
    }
    std::snprintf(text, sizeof text, "%02X", ~sum & 0xFFU);
    return line + text + "\n";
}

// Data bytes that are never 0xFF, so that every word they fill counts as data.
inline std::vector<uint8_t> pattern(std::size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 13 + seed) % 0xFF);
    }
    return bytes;
}

// Data of a FLASH file: the record address as written in the file, and the image offset
// where the bytes must land (worked out by hand for the format).
struct Data {
    char type;
    uint32_t address;
    uint32_t offset;
    std::vector<uint8_t> bytes;
};

// A file with a header "zelv", the data (records longer than 32 bytes cut into several
// lines) and the tail.
inline std::string file_text(const std::vector<Data>& data, const std::string& tail) {
    std::string text = srec_line('0', 0, {'z', 'e', 'l', 'v'});
    for (const Data& d : data) {
        for (std::size_t i = 0; i < d.bytes.size(); i += 32) {
            const std::size_t n = std::min<std::size_t>(32, d.bytes.size() - i);
            text += srec_line(d.type, d.address + static_cast<uint32_t>(i),
                              {d.bytes.begin() + static_cast<long>(i),
                               d.bytes.begin() + static_cast<long>(i + n)});
        }
    }
    return text + tail;
}

// Masks what depends on the clock in the summary lines.
inline std::string mask_times(const std::string& text) {
    static const std::regex times("time <[0-9]+\\.[0-9]{2} s> rate <[0-9]+ B/s>");
    return std::regex_replace(text, times, "time <T> rate <R>");
}

// The pipe form of a bar that reached 100 percent.
inline std::string full_bar() {
    return std::string(50, '#');
}

// srec_cat's rendering of `bytes` at `address` as records of 16 bytes with the given address
// width, header and entry (no count record). Lines whose data are all 0xFF are dropped when
// skip_erased is set, as the program's reads leave them out.
inline std::string srec_cat_expected(const TempDir& dir, const std::vector<uint8_t>& bytes,
                                     uint32_t address, int address_length,
                                     const std::string& header, uint32_t entry, bool skip_erased) {
    const std::string input = dir.file("expected.bin");
    write_file(input, std::string(bytes.begin(), bytes.end()));
    char offset[16];
    char start[16];
    std::snprintf(offset, sizeof offset, "0x%X", address);
    std::snprintf(start, sizeof start, "0x%X", entry);
    const ProcessResult run =
        run_process({"srec_cat", input, "-binary", "-offset", offset, "-o", "-", "-motorola",
                     "-address-length=" + std::to_string(address_length), "-obs=16", "-header",
                     header, "-execution-start-address", start, "-disable=data-count"});
    EXPECT_EQ(run.status, 0) << run.err;
    if (!skip_erased) {
        return run.out;
    }
    std::string kept;
    for (const std::string& line : split_lines(run.out)) {
        const bool data_record = line[1] >= '1' && line[1] <= '3';
        const std::size_t data_start = 4 + 2 * static_cast<std::size_t>(line[1] - '0' + 1);
        if (data_record &&
            line.substr(data_start, line.size() - 2 - data_start).find_first_not_of('F') ==
                std::string::npos) {
            continue;
        }
        kept += line + "\n";
    }
    return kept;
}

// Every frame test starts from a clean run, verbose, with standard output seen as a pipe.
class FrameTest : public testing::Test {
protected:
    void SetUp() override {
        reset_run_state();
        settings().verbose = 1;
        console_set_terminal(0);
    }

    // Runs a frame with standard output and error captured into out_ and err_.
    template <typename Frame>
    int captured(Frame frame) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = frame();
        out_ = mask_times(testing::internal::GetCapturedStdout());
        err_ = testing::internal::GetCapturedStderr();
        return result;
    }

    TempDir dir_;
    std::string out_;
    std::string err_;
};

}  // namespace zelv::test
