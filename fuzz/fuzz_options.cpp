// The option parser: the input, cut at NUL bytes, is the command line after the program
// name; both passes and the operation walk run over it.
#include <cstdint>
#include <string>
#include <vector>

#include "base/interface_ops.h"
#include "cli/options.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    zelv::fuzz::fresh_run();
    std::vector<std::string> words = {"zelvanor"};
    std::string word;
    for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    if (zelv::options_first_pass(argc, argv.data()) < 0) {
        const zelv::InterfaceOps* entry = nullptr;
        if (zelv::options_check(argc, argv.data(), &entry) == 0) {
            zelv::options_restart();
            zelv::Operation operation{};
            while (zelv::options_next_operation(argc, argv.data(), &operation)) {
            }
        }
    }
    return 0;
}
