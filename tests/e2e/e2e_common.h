// Running the built zelvanor (and its virtual target) as a user would.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Progress summaries carry wall-clock times; this makes them comparable.
inline std::string without_times(const std::string& text) {
    static const std::regex timing("time <[0-9]+\\.[0-9]{2} s> rate <[0-9]+ B/s>");
    return std::regex_replace(text, timing, "time <T> rate <R>");
}

}  // namespace zelv::e2e
