// Running the built zelvanor (and its virtual target) as a user would.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

// Skips the current test when a program it needs is not on PATH. It must stand at the top
// of the test body itself: GTEST_SKIP only returns from the function it is written in, so
// from a helper the test would go on and fail.
#define ZELV_REQUIRE_TOOL(name)              \
    if (!::zelv::test::tool_available(name)) \
    GTEST_SKIP() << (name) << " is not on PATH (for srec_cmp: Debian package srecord)"

namespace zelv::e2e {

// Runs zelvanor with these arguments.
inline test::ProcessResult run_zelvanor(const std::vector<std::string>& args,
                                        const std::string& cwd = "") {
    std::vector<std::string> argv = {ZELV_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run_process(argv, {}, cwd);
}

// A shipped target description.
inline std::string data_file(const std::string& name) {
    return std::string(ZELV_SOURCE_DIR) + "/data/" + name;
}

#ifdef ZELV_SIM_BINARY
// Runs zelvanor through the virtual target: `sim_options` go to zelvanor-sim (part, state,
// faults), `args` to zelvanor, whose "-p @PORT@" the simulator fills in.
inline test::ProcessResult run_with_sim(const std::vector<std::string>& sim_options,
                                        const std::vector<std::string>& args) {
    std::vector<std::string> argv = {ZELV_SIM_BINARY};
    argv.insert(argv.end(), sim_options.begin(), sim_options.end());
    argv.insert(argv.end(), {"--", ZELV_BINARY});
    argv.insert(argv.end(), args.begin(), args.end());
    return test::run_process(argv);
}

// zelvanor -i sm -p @PORT@ -t description args... against the virtual part, with faults,
// its memory kept in the state file between runs.
inline test::ProcessResult run_sm(const std::string& state, const std::string& part,
                                  const std::string& description,
                                  const std::vector<std::string>& args,
                                  const std::vector<std::string>& faults = {}) {
    std::vector<std::string> sim = {"--part", part, "--state", state};
    for (const std::string& fault : faults) {
        sim.insert(sim.end(), {"--fault", fault});
    }
    std::vector<std::string> full = {"-i", "sm", "-p", "@PORT@", "-t", description};
    full.insert(full.end(), args.begin(), args.end());
    return run_with_sim(sim, full);
}
#endif

// One S-record line with its checksum: type '1' to '3' for data, '7' to '9' for the end.
inline std::string s_record(char type, uint32_t address, const std::vector<uint8_t>& data = {}) {
    const int width = type == '1' || type == '9' ? 2 : type == '2' || type == '8' ? 3 : 4;
    const auto count = static_cast<unsigned>(width + 1 + static_cast<int>(data.size()));
    unsigned sum = count;
    char text[600];
    int n = std::snprintf(text, sizeof text, "S%c%02X%0*X", type, count, width * 2, address);
    for (int i = 0; i < width; ++i) {
        sum += (address >> (8 * i)) & 0xFFU;
    }
    for (uint8_t byte : data) {
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02X", byte);
        sum += byte;
    }
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02X\n", ~sum & 0xFFU);
    return text;
}

// The data bytes of an S-record file by address (S1, S2 and S3 records), read here rather
// than with the program's own reader.
inline std::map<uint32_t, uint8_t> srec_bytes(const std::string& path) {
    std::map<uint32_t, uint8_t> bytes;
    for (const std::string& line : test::split_lines(test::read_file(path))) {
        if (line.size() < 4 || line[0] != 'S' || line[1] < '1' || line[1] > '3') {
            continue;
        }
        const auto width = static_cast<std::size_t>(line[1] - '0' + 1);
        const auto pair = [&](std::size_t i) {
            return static_cast<uint32_t>(std::stoul(line.substr(2 + 2 * i, 2), nullptr, 16));
        };
        const uint32_t count = pair(0);
        uint32_t address = 0;
        for (std::size_t i = 1; i <= width; ++i) {
            address = (address << 8) | pair(i);
        }
        for (std::size_t i = width + 1; i < count; ++i) {
            bytes[address++] = static_cast<uint8_t>(pair(i));
        }
    }
    return bytes;
}

// A section of a zelvanor-sim state file ("FLSH", "EEPR", "RAM ", "REGS", ...): the virtual
// memory a run left, read here byte for byte. Empty when the file or section is missing.
inline std::vector<uint8_t> state_section(const std::string& path, const std::string& tag) {
    const std::string s = test::file_exists(path) ? test::read_file(path) : std::string();
    for (size_t at = 10; at + 8 <= s.size();) {
        uint32_t length = 0;
        for (size_t i = 0; i < 4; ++i) {
            length = (length << 8) | static_cast<uint8_t>(s[at + 4 + i]);
        }
        if (s.compare(at, 4, tag) == 0) {
            return std::vector<uint8_t>(s.begin() + static_cast<long>(at + 8),
                                        s.begin() + static_cast<long>(at + 8 + length));
        }
        at += 8 + length;
    }
    return {};
}

// Progress summaries carry wall-clock times; this makes them comparable.
inline std::string without_times(const std::string& text) {
    static const std::regex timing("time <[0-9]+\\.[0-9]{2} s> rate <[0-9]+ B/s>");
    return std::regex_replace(text, timing, "time <T> rate <R>");
}

}  // namespace zelv::e2e
