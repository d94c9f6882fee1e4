// Written files replace what stood at their path only when complete: a failure while writing
// leaves the previous file as it was and no temporary file behind; devices and pipes are
// written directly.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fakes/run_state.h"
#include "srec/srec.h"
#include "srec_test_util.h"

namespace zelv::test {
namespace {

class OutputFileTest : public testing::Test {
protected:
    void SetUp() override { reset_run_state(); }

    // The names in the scratch folder, so that a forgotten temporary file shows.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            out.push_back(entry.path().filename().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    static mode_t mode_of(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
        return info.st_mode;
    }

    // srec_write of an image of length bytes in a child whose files may not grow past limit
    // bytes; returns its result, its standard error in *err.
    int write_limited(const std::string& path, rlim_t limit, unsigned length, std::string* err) {
        // Standard error goes to a pipe, which the size limit does not cover.
        int pipe_ends[2];
        EXPECT_EQ(pipe(pipe_ends), 0);
        const pid_t child = fork();
        if (child == 0) {
            // Past the limit a write fails with EFBIG instead of killing the process.
            signal(SIGXFSZ, SIG_IGN);
            dup2(pipe_ends[1], STDERR_FILENO);
            const rlimit small{limit, limit};
            if (setrlimit(RLIMIT_FSIZE, &small) != 0) {
                _exit(254);
            }
            const std::vector<uint8_t> data(length, 0x5A);
            const int result =
                srec_write(path.c_str(), "big", 0, length, data.data(), 0, nullptr, false, 16);
            std::fflush(stderr);
            _exit(result);
        }
        close(pipe_ends[1]);
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        err->clear();
        char buffer[512];
        for (ssize_t n = 0; (n = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
            err->append(buffer, static_cast<std::size_t>(n));
        }
        close(pipe_ends[0]);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempDir dir;
};

TEST_F(OutputFileTest, FailureWhileWritingKeepsTheOldFile) {
    const std::string path = dir.file("flash.s19");
    const std::string old = record('1', 0x1000, {1, 2, 3}) + "\nS9030000FC\n";
    write_file(path, old);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);

    struct Case {
        const char* name;
        rlim_t limit;
        unsigned length;
        std::string message;
    };
    const Case cases[] = {
        // Past the stream's buffer the failure shows while records are written, below it
        // only when the file is flushed at the end.
        {"64 KB into 8 KB", 8192, 0x10000, "\nerror: cannot write file (File too large)\n"},
        {"64 KB into nothing", 0, 0x10000, "\nerror: cannot write file (File too large)\n"},
        {"64 bytes into 100", 100, 64,
         "\nerror: cannot close file " + path + " (File too large)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        EXPECT_EQ(write_limited(path, c.limit, c.length, &err), EFBIG);
        EXPECT_EQ(err, c.message);
        EXPECT_EQ(read_file(path), old);
        EXPECT_EQ(mode_of(path) & 07777, 0640u);
        EXPECT_EQ(names(), std::vector<std::string>{"flash.s19"}) << "no temporary file left";
    }

    // A new file that fails leaves nothing under its name.
    std::string err;
    EXPECT_EQ(write_limited(dir.file("new.s19"), 8192, 0x10000, &err), EFBIG);
    EXPECT_EQ(names(), std::vector<std::string>{"flash.s19"});
}

TEST_F(OutputFileTest, CompleteFileReplacesTheOldOneAndKeepsItsPermissions) {
    const std::string path = dir.file("eeprom.s19");
    write_file(path, std::string(100000, 'x'));
    ASSERT_EQ(chmod(path.c_str(), 0604), 0);
    const uint8_t data[2] = {0xAB, 0xCD};
    testing::internal::CaptureStderr();
    ASSERT_EQ(srec_write(path.c_str(), "h", 0x0800, 2, data, 0x0800, nullptr, false, 16), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(path), record('0', 0, {'h'}) + "\n" + record('1', 0x0800, {0xAB, 0xCD}) +
                                   "\n" + record('9', 0x0800, {}) + "\n");
    EXPECT_EQ(mode_of(path) & 07777, 0604u);
    EXPECT_EQ(names(), std::vector<std::string>{"eeprom.s19"});

    // A new file gets what the umask leaves of rw-rw-rw-, as any created file would.
    const mode_t mask = umask(027);
    ASSERT_EQ(srec_write(dir.file("new.s19").c_str(), "h", 0, 2, data, 0, nullptr, false, 16), 0);
    umask(mask);
    EXPECT_EQ(mode_of(dir.file("new.s19")) & 07777, 0640u);
}

TEST_F(OutputFileTest, SymbolicLinkStaysALink) {
    const std::string real = dir.file("real.s19");
    const std::string link = dir.file("link.s19");
    write_file(real, "old\n");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    const uint8_t data[1] = {0x42};
    ASSERT_EQ(srec_write(link.c_str(), "h", 0, 1, data, 0, nullptr, false, 16), 0);
    struct stat info {};
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(read_file(real), record('0', 0, {'h'}) + "\n" + record('1', 0, {0x42}) + "\n" +
                                   record('9', 0, {}) + "\n");
    EXPECT_EQ(names(), (std::vector<std::string>{"link.s19", "real.s19"}));
}

// A device cannot be replaced: it is written directly and stays the device it was (a
// temporary file renamed over /dev/full would replace the device node itself).
TEST_F(OutputFileTest, DevicesAndPipesAreWrittenDirectly) {
    const uint8_t data[1] = {0x42};
    if (file_exists("/dev/full")) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(srec_write("/dev/full", "x", 0, 1, data, 0, nullptr, false, 16), ENOSPC);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "\nerror: cannot close file /dev/full (No space left on device)\n");
        EXPECT_TRUE(S_ISCHR(mode_of("/dev/full")));
    }

    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = read_file(fifo); });
    EXPECT_EQ(srec_write(fifo.c_str(), "p", 0, 1, data, 0, nullptr, false, 16), 0);
    reader.join();
    EXPECT_EQ(received, record('0', 0, {'p'}) + "\n" + record('1', 0, {0x42}) + "\n" +
                            record('9', 0, {}) + "\n");
    EXPECT_EQ(names(), std::vector<std::string>{"pipe"});
}

TEST_F(OutputFileTest, FolderIsRefusedAsBefore) {
    const uint8_t data[1] = {0x42};
    testing::internal::CaptureStderr();
    EXPECT_EQ(srec_write(dir.path().c_str(), "x", 0, 1, data, 0, nullptr, false, 16), EISDIR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot open " + dir.path() + " for writing (Is a directory)\n");
}

}  // namespace
}  // namespace zelv::test
