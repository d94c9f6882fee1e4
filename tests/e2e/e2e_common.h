// Running the built zelvanor (and its virtual target) as a user would.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

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

}  // namespace zelv::e2e
