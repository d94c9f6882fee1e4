// The port the host sees: a pseudo-terminal served byte by byte, surviving the host's closes
// and reopens, holding a slow answer back without reordering, and the runner around a child
// command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "common/port_server.h"
#include "sim/sim_test_util.h"
#include "fronts/sm_emulator.h"
#include "test_support.h"

namespace zelv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

class PortServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
        configure_part(mcu, "dp256");
        ASSERT_EQ(pty_open(&pty), 0);
    }
    void TearDown() override {
        if (host >= 0) {
            close(host);
        }
        pty_close(&pty);
        sim_set_quiet(false);
    }

    void open_host() {
        host = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(host, 0);
    }

    // Serves until count bytes have come back to the host (or the server fails).
    Bytes collect(PortServer& server, size_t count) {
        Bytes got;
        for (int rounds = 0; got.size() < count && rounds < 10000; ++rounds) {
            bool woken = false;
            if (server.pump(10, -1, &woken) != 0) {
                break;
            }
            uint8_t buffer[512];
            const ssize_t n = read(host, buffer, sizeof buffer);
            if (n > 0) {
                got.insert(got.end(), buffer, buffer + n);
            }
        }
        return got;
    }

    void write_host(const Bytes& bytes) {
        ASSERT_EQ(write(host, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    VirtualMcu mcu;
    Pty pty;
    int host = -1;
};

TEST_F(PortServerTest, ServesTheMonitorByteByByteInRawMode) {
    SmEmulator monitor(mcu, {});
    ASSERT_TRUE(monitor.install());
    PortServer server(pty.master, monitor, nullptr);
    open_host();
    // 0x0D, 0x0A, 0x11 (XON) and 0x03 must pass untouched: no translation, no flow control,
    // no signals on the line.
    const Bytes command = {0xA8, 0x10, 0x00, 0x03, 0x0D, 0x0A, 0x11, 0x03};
    for (const uint8_t byte : command) {
        write_host({byte});
        bool woken = false;
        ASSERT_EQ(server.pump(10, -1, &woken), 0);
    }
    EXPECT_EQ(collect(server, 3), Bytes({0xE0, 0x00, '>'}));
    write_host({0xA7, 0x10, 0x00, 0x03});
    EXPECT_EQ(collect(server, 7), Bytes({0x0D, 0x0A, 0x11, 0x03, 0xE0, 0x00, '>'}));
}

TEST_F(PortServerTest, HostMayCloseAndReopenThePort) {
    SmEmulator monitor(mcu, {});
    PortServer server(pty.master, monitor, nullptr);
    for (int run = 0; run < 3; ++run) {
        open_host();
        write_host({0x0D});
        EXPECT_EQ(collect(server, 3), Bytes({0xE1, 0x00, '>'})) << "run " << run;
        close(host);
        host = -1;
        bool woken = false;
        EXPECT_EQ(server.pump(10, -1, &woken), 0) << "no hang-up on the master";
    }
}

TEST_F(PortServerTest, SlowEraseHoldsLaterAnswersBehindIt) {
    SmFaults faults;
    faults.slow_erase_ms = 100;
    SmEmulator monitor(mcu, faults);
    ASSERT_TRUE(monitor.install());
    PortServer server(pty.master, monitor, nullptr);
    open_host();
    write_host({0xA1, 0x00, 0x1B, 0xB9, 0xA1, 0x00, 0x1B});
    EXPECT_EQ(collect(server, 11),
              Bytes({0x12, 0xE0, 0x00, '>', 0xE0, 0x00, '>', 0x12, 0xE0, 0x00, '>'}));
    EXPECT_FALSE(server.pending());
}

// A device that speaks of its own accord (the babble fault) reaches the host without being
// asked again, and never faster than the host reads it.
TEST_F(PortServerTest, UnsolicitedBytesFlowWithoutRequests) {
    SmFaults faults;
    faults.babble_ms = 1;
    SmEmulator monitor(mcu, faults);
    ASSERT_TRUE(monitor.install());
    PortServer server(pty.master, monitor, nullptr);
    open_host();
    for (int round = 0; round < 5; ++round) {
        bool woken = false;
        ASSERT_EQ(server.pump(10, -1, &woken), 0);
    }
    uint8_t byte = 0;
    EXPECT_LT(read(host, &byte, 1), 1) << "quiet until the host speaks";
    write_host({0x0D});
    const Bytes noise = collect(server, 50);
    EXPECT_EQ(noise.size(), 50u);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), '>'), 0);
    EXPECT_FALSE(server.pending());
}

TEST(SimReplacePort, ReplacesEveryMarker) {
    const std::vector<std::string> words = {"zelvanor",      "-p",  "@PORT@", "-p@PORT@",
                                            "@PORT@:@PORT@", "PORT"};
    EXPECT_EQ(replace_port(words, "/dev/pts/7"),
              std::vector<std::string>({"zelvanor", "-p", "/dev/pts/7", "-p/dev/pts/7",
                                        "/dev/pts/7:/dev/pts/7", "PORT"}));
}

TEST_F(PortServerTest, RunsACommandAndReturnsItsStatus) {
    if (!zelv::test::tool_available("sh") || !zelv::test::tool_available("od")) {
        GTEST_SKIP() << "needs sh and od";
    }
    SmEmulator monitor(mcu, {});
    ASSERT_TRUE(monitor.install());
    PortServer server(pty.master, monitor, nullptr);
    zelv::test::TempDir dir;
    const std::string out = dir.file("reply.txt");
    struct Case {
        std::vector<std::string> words;
        int status;
    };
    const Case cases[] = {
        {{"sh", "-c", "exit 7"}, 7},
        {{"sh", "-c", "kill -9 $$"}, 128 + 9},
        {{"/nonexistent/zelvanor"}, 127},
        {{"sh", "-c",
          "exec 3<>\"$1\"; printf '\\267' >&3; dd bs=1 count=6 <&3 2>/dev/null | od -An -tx1 "
          "> \"$2\"",
          "sh", "@PORT@", out},
         0},
    };
    for (const Case& c : cases) {
        int status = -1;
        ASSERT_EQ(run_command(server, replace_port(c.words, pty.slave_path), &status), 0);
        EXPECT_EQ(status, c.status) << c.words.back();
    }
    EXPECT_EQ(zelv::test::read_file(out), " dc 00 12 e0 00 3e\n");
    struct sigaction action {};
    sigaction(SIGCHLD, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL) << "signal handlers are put back";
}

}  // namespace
}  // namespace zelv::sim::test
