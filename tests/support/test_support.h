// Helpers shared by the unit and end-to-end tests: scratch folders, files, and running a
// program with its output captured.
#pragma once

#include <string>
#include <vector>

namespace zelv::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    // path() + "/" + name
    [[nodiscard]] std::string file(const std::string& name) const;

private:
    std::string path_;
};

[[nodiscard]] std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
[[nodiscard]] bool file_exists(const std::string& path);

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv[0] (searched on PATH when it has no "/") with extra "NAME=value" environment
// entries and an optional working folder; waits at most timeout_seconds, then kills it.
[[nodiscard]] ProcessResult run_process(const std::vector<std::string>& argv,
                                        const std::vector<std::string>& extra_env = {},
                                        const std::string& cwd = "", int timeout_seconds = 60);

// True when a program of this name is on PATH.
[[nodiscard]] bool tool_available(const std::string& name);

// Splits text into lines (without their line feeds).
[[nodiscard]] std::vector<std::string> split_lines(const std::string& text);

}  // namespace zelv::test
