// The simulator's side of the shared modem lines: creates the mapped file for one
// pseudo-terminal and tells a child process how to find it.
#pragma once

#include <string>
#include <vector>

#include "modem/modem_lines.h"

namespace zelv::sim {

class ModemLink {
public:
    ModemLink() = default;
    ~ModemLink();
    ModemLink(const ModemLink&) = delete;
    ModemLink& operator=(const ModemLink&) = delete;

    // Creates the shared file (in $TMPDIR or /tmp, removed again by the destructor) for the
    // terminal whose slave side is open as slave_fd. Returns 0 or an error number with a
    // message.
    [[nodiscard]] int create(int slave_fd);

    [[nodiscard]] ModemLines& lines() { return *lines_; }
    [[nodiscard]] const std::string& path() const { return path_; }

    // "NAME=value" entries a child needs: the library preloaded and the file named. Returns
    // 0 or an error number with a message (the library cannot be found).
    [[nodiscard]] int child_environment(std::vector<std::string>* entries) const;

private:
    ModemLines* lines_ = nullptr;
    std::string path_;
};

// The preloaded library: next to the running zelvanor-sim, else where it is installed.
// Empty (with a message) when neither exists.
[[nodiscard]] std::string modem_library_path();

}  // namespace zelv::sim
