// Helpers shared by the S-record tests: loading text through srec_read with every output
// captured, record lines built with their checksum, and the address maps the callers use.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "srec/srec.h"
#include "test_support.h"

namespace zelv::test {

inline constexpr uint32_t unset = 0xFFFFFFFFu;

struct Loaded {
    int result = -1;
    std::string error;  // standard error, as report_error wrote it
    std::vector<uint8_t> image;
    std::string info;
    uint32_t raw_entry = unset;
    uint32_t entry = unset;
    uint32_t lowest = unset;
    uint32_t highest = unset;
};

// Loads an existing file into an image preset to `fill`, with every output given.
inline Loaded load_file(const std::string& path, uint32_t image_size, AddressMap map,
                        uint8_t fill = 0xFF, unsigned info_size = 256) {
    Loaded out;
    out.image.assign(image_size, fill);
    std::vector<char> info(info_size == 0 ? 1 : info_size, 'x');
    testing::internal::CaptureStderr();
    out.result = srec_read(path.c_str(), info.data(), info_size, out.image.data(), image_size,
                           &out.raw_entry, &out.entry, &out.lowest, &out.highest, map);
    out.error = testing::internal::GetCapturedStderr();
    out.info.assign(info.data(), strnlen(info.data(), info_size));
    return out;
}

inline Loaded load_text(const TempDir& dir, const std::string& text, uint32_t image_size,
                        AddressMap map = nullptr, uint8_t fill = 0xFF, unsigned info_size = 256) {
    const std::string path = dir.file("in.s19");
    write_file(path, text);
    return load_file(path, image_size, map, fill, info_size);
}

// One record line (without its line end) with a correct checksum.
inline std::string record(char type, uint32_t address, const std::vector<uint8_t>& data) {
    const unsigned width = type == '2' || type == '8' ? 3 : type == '3' || type == '7' ? 4 : 2;
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(width + data.size() + 1));
    for (unsigned i = width; i > 0; --i) {
        bytes.push_back(static_cast<uint8_t>(address >> (8 * (i - 1))));
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = "S";
    line += type;
    static constexpr char hex[] = "0123456789ABCDEF";
    for (uint8_t b : bytes) {
        sum += b;
        line += hex[b >> 4];
        line += hex[b & 0xF];
    }
    const auto checksum = static_cast<uint8_t>(~sum);
    line += hex[checksum >> 4];
    line += hex[checksum & 0xF];
    return line;
}

// Reading maps as the callers build them.
inline uint32_t nb_to_offset(uint32_t a) {
    return a - 0x4000u;  // non-banked window from 0x4000
}
inline uint32_t nb_to_address(uint32_t o) {
    return o + 0x4000u;
}
// Paged FLASH from PPAGE 0x30: page in the bits above 16, window 0x8000-0xBFFF below.
inline uint32_t ppage_to_offset(uint32_t a) {
    if (a >= 0x10000u) {
        return ((a >> 16) - 0x30u) * 0x4000u + (a & 0x3FFFu);
    }
    return 0xFFFFFFFFu;
}
inline uint32_t ppage_to_address(uint32_t o) {
    return (0x30u + o / 0x4000u) * 0x10000u + 0x8000u + o % 0x4000u;
}

}  // namespace zelv::test
