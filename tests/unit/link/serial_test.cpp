// The serial port layer against Linux pseudo-terminals: the port under test is the slave
// side, the test plays the device on the master side.
#include "link/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fakes/run_state.h"

namespace zelv {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

std::string error_line(const std::string& text) {
    return "\nerror: " + text;
}

std::string text_of(const std::vector<uint8_t>& bytes, std::size_t count) {
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        path_ = ptsname(master_);
        ASSERT_EQ(serial_open(&port_, path_.c_str()), 0);
        SerialSettings settings;
        ASSERT_EQ(serial_set_settings(&port_, &settings), 0);
    }

    void TearDown() override {
        if (port_.descriptor != -1) {
            (void)serial_close(&port_);
        }
        close_master();
    }

    void close_master() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Plays the device: each piece is sent after its delay.
    std::thread feed(std::vector<std::pair<int, std::string>> pieces) {
        return std::thread([fd = master_, pieces = std::move(pieces)] {
            for (const auto& [delay, bytes] : pieces) {
                std::this_thread::sleep_for(milliseconds(delay));
                ASSERT_EQ(write(fd, bytes.data(), bytes.size()),
                          static_cast<ssize_t>(bytes.size()));
            }
        });
    }

    // What the port has sent: up to `want` bytes, or until nothing comes for idle_ms.
    std::string drain(std::size_t want, int idle_ms) {
        std::string got;
        char chunk[4096];
        pollfd watch{master_, POLLIN, 0};
        while (got.size() < want && poll(&watch, 1, idle_ms) > 0) {
            const ssize_t n = read(master_, chunk, std::min(sizeof chunk, want - got.size()));
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

    // Writes to the port's descriptor behind the layer until the pseudo-terminal takes no
    // more; returns the count it took.
    std::size_t fill_line() {
        std::vector<char> block(4096, 'f');
        std::size_t total = 0;
        for (std::size_t size = block.size(); size > 0;) {
            const ssize_t n = write(port_.descriptor, block.data(), size);
            if (n > 0) {
                total += static_cast<std::size_t>(n);
            } else {
                size /= 2;  // a full buffer may still take a smaller piece
            }
        }
        return total;
    }

    termios line_attributes() {
        termios attributes{};
        EXPECT_EQ(tcgetattr(port_.descriptor, &attributes), 0);
        return attributes;
    }

    int master_ = -1;
    std::string path_;
    SerialPort port_;
};

TEST_F(SerialPty, EveryTableRateIsAppliedInRawMode) {
    const std::pair<uint64_t, speed_t> rates[] = {
        {50, B50},       {75, B75},        {110, B110},   {134, B134},     {150, B150},
        {200, B200},     {300, B300},      {600, B600},   {1200, B1200},   {1800, B1800},
        {2400, B2400},   {4800, B4800},    {9600, B9600}, {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}};
    for (const auto& [rate, speed] : rates) {
        SCOPED_TRACE(rate);
        // Start from a cooked line so that every flag the layer must clear is set.
        termios cooked = line_attributes();
        cooked.c_iflag |= ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | IMAXBEL;
        cooked.c_oflag |= OPOST | ONLCR | OCRNL;
        cooked.c_lflag |= ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP;
        cooked.c_cflag |= CRTSCTS | CSTOPB;
        ASSERT_EQ(tcsetattr(port_.descriptor, TCSANOW, &cooked), 0);

        SerialSettings settings;
        settings.baud_rate = rate;
        ASSERT_EQ(serial_set_settings(&port_, &settings), 0);
        const termios raw = line_attributes();
        EXPECT_EQ(cfgetispeed(&raw), speed);
        EXPECT_EQ(cfgetospeed(&raw), speed);
        EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | IMAXBEL),
                  0U);
        EXPECT_EQ(raw.c_oflag & (OPOST | ONLCR | OCRNL), 0U);
        EXPECT_EQ(raw.c_lflag & (ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP),
                  0U);
        EXPECT_EQ(raw.c_cflag & (CRTSCTS | CSTOPB), 0U);
        EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL | HUPCL), CREAD | CLOCAL | HUPCL);
    }
}

// A pseudo-terminal keeps stop bits, odd parity and flow control but forces CS8 and no
// parity enable, so only these framing bits can be seen here.
TEST_F(SerialPty, FramingReachesTheLine) {
    struct Case {
        int parity, stop_bits, flow_control;
        tcflag_t expected;
    };
    const Case cases[] = {
        {kParityNone, kStop1, kFlowNone, 0},           {kParityOdd, kStop1, kFlowNone, PARODD},
        {kParityEven, kStop1, kFlowNone, 0},           {kParityNone, kStop2, kFlowNone, CSTOPB},
        {kParityNone, kStop1, kFlowHardware, CRTSCTS},
    };
    for (const Case& c : cases) {
        SerialSettings settings;
        settings.parity = c.parity;
        settings.stop_bits = c.stop_bits;
        settings.flow_control = c.flow_control;
        ASSERT_EQ(serial_set_settings(&port_, &settings), 0);
        EXPECT_EQ(line_attributes().c_cflag & (PARODD | CSTOPB | CRTSCTS), c.expected)
            << c.parity << c.stop_bits << c.flow_control;
    }
}

TEST_F(SerialPty, RateOutsideTheTableLeavesTheLineAlone) {
    SerialSettings slow;
    slow.baud_rate = 9600;
    slow.stop_bits = kStop2;
    ASSERT_EQ(serial_set_settings(&port_, &slow), 0);
    const termios before = line_attributes();

    for (const uint64_t rate : {230400ULL, 14400ULL, 0ULL, 115201ULL}) {
        SerialSettings settings;
        settings.baud_rate = rate;
        testing::internal::CaptureStderr();
        EXPECT_EQ(serial_set_settings(&port_, &settings), EINVAL);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  error_line("invalid baud rate: " + std::to_string(rate) + "\n"));
        const termios after = line_attributes();
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
    }
}

TEST_F(SerialPty, PiecesAreGatheredIntoOneRead) {
    std::thread device = feed({{0, "ab"}, {40, "cde"}, {40, "f"}, {40, "gh"}});
    std::vector<uint8_t> buffer(8);
    std::size_t length = buffer.size();
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_read(&port_, buffer.data(), &length, 5000), 0);
    device.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(length, 8U);
    EXPECT_EQ(text_of(buffer, length), "abcdefgh");
}

TEST_F(SerialPty, ShortReadTimesOutSilentlyWithThePartialCount) {
    ASSERT_EQ(write(master_, "xyz", 3), 3);
    std::vector<uint8_t> buffer(5);
    std::size_t length = buffer.size();
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(serial_read(&port_, buffer.data(), &length, 150), ETIMEDOUT);
    EXPECT_GE(elapsed_ms(start), 150);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(length, 3U);
    EXPECT_EQ(text_of(buffer, length), "xyz");
}

// Each byte comes well within the time-out of the one before; only a time-out counted from
// the first wait, not restarted per piece, ends the read before all ten are in.
TEST_F(SerialPty, TimeOutCountsFromTheFirstWaitAcrossPieces) {
    std::vector<std::pair<int, std::string>> drip;
    for (char c = '0'; c <= '9'; ++c) {
        drip.emplace_back(80, std::string(1, c));
    }
    std::thread device = feed(drip);
    std::vector<uint8_t> buffer(10);
    std::size_t length = buffer.size();
    const auto start = Clock::now();
    EXPECT_EQ(serial_read(&port_, buffer.data(), &length, 300), ETIMEDOUT);
    EXPECT_GE(elapsed_ms(start), 300);
    device.join();
    EXPECT_LT(length, 10U);
    EXPECT_EQ(text_of(buffer, length), std::string("0123456789").substr(0, length));
}

TEST_F(SerialPty, ZeroLengthTransfersLeaveTheLineAlone) {
    ASSERT_EQ(write(master_, "q", 1), 1);
    uint8_t byte = 0;
    SerialPort closed;
    for (SerialPort* port : {&port_, &closed}) {
        std::size_t length = 0;
        testing::internal::CaptureStderr();
        EXPECT_EQ(serial_read(port, &byte, &length, 60000), 0);
        EXPECT_EQ(serial_write(port, &byte, &length, 60000), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(length, 0U);
    }
    // The waiting byte is still there, and nothing went out.
    std::size_t length = 1;
    EXPECT_EQ(serial_read(&port_, &byte, &length, 1000), 0);
    EXPECT_EQ(byte, 'q');
    EXPECT_EQ(drain(1, 50), "");
}

TEST_F(SerialPty, SignalDuringTheWaitRestartsIt) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the wait really is interrupted
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t reader = pthread_self();
    std::thread device([this, reader] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(milliseconds(40));
            pthread_kill(reader, SIGUSR1);
        }
        std::this_thread::sleep_for(milliseconds(40));
        ASSERT_EQ(write(master_, "ok", 2), 2);
    });
    std::vector<uint8_t> buffer(2);
    std::size_t length = buffer.size();
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_read(&port_, buffer.data(), &length, 5000), 0);
    device.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(text_of(buffer, length), "ok");
    sigaction(SIGUSR1, &previous, nullptr);
}

// Linux hangs the slave up when the master closes: reads give end of file (0 bytes) from
// then on, even for bytes still buffered, and writes fail with EIO.
TEST_F(SerialPty, HungUpPeerReadsEndOfFileUntilTheTimeOut) {
    close_master();
    std::vector<uint8_t> buffer(4);
    std::size_t length = buffer.size();
    testing::internal::CaptureStderr();
    timespec cpu_before{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_before);
    const auto start = Clock::now();
    EXPECT_EQ(serial_read(&port_, buffer.data(), &length, 300), ETIMEDOUT);
    const long long wall = elapsed_ms(start);
    timespec cpu_after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu_after);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(length, 0U);
    EXPECT_GE(wall, 300);
    // The end-of-file loop pauses between tries instead of spinning through the time-out.
    const long long cpu = (cpu_after.tv_sec - cpu_before.tv_sec) * 1000 +
                          (cpu_after.tv_nsec - cpu_before.tv_nsec) / 1000000;
    EXPECT_LT(cpu, wall / 2);

    const uint8_t byte = 0x55;
    length = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_write(&port_, &byte, &length, 300), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line("unable to write " + path_ + " (" + std::strerror(EIO) + ")\n"));
    EXPECT_EQ(length, 0U);
}

// The master side of a pseudo-terminal fails reads with EIO once its slave is gone, after
// handing out what was buffered: a read failure keeps the count received.
TEST_F(SerialPty, ReadFailurePassesTheSystemErrorWithTheCountReceived) {
    ASSERT_EQ(write(port_.descriptor, "xy", 2), 2);
    ASSERT_EQ(serial_close(&port_), 0);
    SerialPort device;
    std::snprintf(device.name, sizeof device.name, "%s", "pty-master");
    device.descriptor = master_;
    ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);

    std::vector<uint8_t> buffer(5);
    std::size_t length = buffer.size();
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_read(&device, buffer.data(), &length, 2000), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line(std::string("unable to read pty-master (") + std::strerror(EIO) + ")\n"));
    EXPECT_EQ(text_of(buffer, length), "xy");
}

TEST_F(SerialPty, LongWriteGoesOutWholeWhileTheDeviceDrains) {
    std::vector<uint8_t> data(40000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    std::string received;
    std::thread device([&] { received = drain(data.size(), 5000); });
    std::size_t length = data.size();
    EXPECT_EQ(serial_write(&port_, data.data(), &length, 10000), 0);
    device.join();
    EXPECT_EQ(length, data.size());
    EXPECT_EQ(received, std::string(data.begin(), data.end()));
}

TEST_F(SerialPty, WriteThatCannotGetOutIsReportedWithTheCountSent) {
    const std::size_t filled = fill_line();
    // Make a little room, so that part of the write gets out before the line is full again.
    char chunk[1024];
    const ssize_t taken = read(master_, chunk, sizeof chunk);
    ASSERT_GT(taken, 0);

    std::vector<uint8_t> data(8192, 'w');
    std::size_t length = data.size();
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(serial_write(&port_, data.data(), &length, 300), ETIMEDOUT);
    EXPECT_GE(elapsed_ms(start), 300);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line("unable to write " + path_ + " (" + std::strerror(ETIMEDOUT) + ")\n"));
    EXPECT_LT(length, data.size());
    // Every byte counted as sent, and no other, reaches the device.
    ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
    const std::size_t pending = filled + length - static_cast<std::size_t>(taken);
    EXPECT_EQ(drain(pending, 5000).size(), pending);
    EXPECT_EQ(drain(1, 100), "");
}

TEST_F(SerialPty, ClosingTwiceIsRefusedSilently) {
    EXPECT_EQ(serial_close(&port_), 0);
    EXPECT_EQ(port_.descriptor, -1);
    EXPECT_STREQ(port_.name, "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_close(&port_), EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SerialPty, FailedCloseIsReportedAndStillClearsTheRecord) {
    // Capture first: the capture file would otherwise take over the freed descriptor.
    testing::internal::CaptureStderr();
    ASSERT_EQ(close(port_.descriptor), 0);
    EXPECT_EQ(serial_close(&port_), EBADF);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line("unable to close " + path_ + " (" + std::strerror(EBADF) + ")\n"));
    EXPECT_EQ(port_.descriptor, -1);
    EXPECT_STREQ(port_.name, "");
}

TEST_F(SerialPty, TransfersOnAClosedPortFailAtOnce) {
    ASSERT_EQ(serial_close(&port_), 0);
    uint8_t byte = 0;
    std::size_t length = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_read(&port_, &byte, &length, 60000), EBADF);
    length = 1;
    EXPECT_EQ(serial_write(&port_, &byte, &length, 60000), EBADF);
    const std::string bad = std::strerror(EBADF);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line("unable to read  (" + bad + ")\n") +
                  error_line("unable to write  (" + bad + ")\n"));
}

// A pseudo-terminal has no modem lines: Linux refuses the modem-line requests with ENOTTY.
TEST_F(SerialPty, ModemLineFailuresAndUnknownRequests) {
    const std::string refused = std::string(" (") + std::strerror(ENOTTY) + ")\n";
    struct Case {
        int request, value;
        std::string message;
    };
    const Case cases[] = {
        {kSetRts, 5, "unable to set RTS state for " + path_ + refused},
        {kSetRts, 0, "unable to set RTS state for " + path_ + refused},
        {kGetCts, 7, "unable to get CTS state for " + path_ + refused},
    };
    for (const Case& c : cases) {
        int value = c.value;
        testing::internal::CaptureStderr();
        EXPECT_EQ(serial_modem_line(&port_, c.request, &value), ENOTTY);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), error_line(c.message));
        EXPECT_EQ(value, c.value);
    }
    for (const int request : {2, -1}) {
        int value = 9;
        testing::internal::CaptureStderr();
        EXPECT_EQ(serial_modem_line(&port_, request, &value), EINVAL);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(value, 9);
    }
}

TEST(SerialOpen, MissingDeviceIsReportedWithThePathGiven) {
    test::reset_run_state();
    const std::string path = "/dev/zelv-no-such-port/" + std::string(300, 'p');
    SerialPort port;
    testing::internal::CaptureStderr();
    const int result = serial_open(&port, path.c_str());
    EXPECT_TRUE(result == ENOENT || result == ENAMETOOLONG) << result;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line("unable to open " + path + " (" + std::strerror(result) + ")\n"));
    EXPECT_EQ(port.descriptor, -1);
    EXPECT_EQ(std::string(port.name), path.substr(0, 256));
}

TEST(SerialOpen, SettingsNeedATerminal) {
    test::reset_run_state();
    SerialPort port;
    ASSERT_EQ(serial_open(&port, "/dev/null"), 0);
    SerialSettings settings;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_set_settings(&port, &settings), ENOTTY);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              error_line(std::string("unable to get /dev/null settings (") + std::strerror(ENOTTY) +
                         ")\n"));
    EXPECT_EQ(serial_close(&port), 0);
}

// The time-out bookkeeping against a scripted clock.
std::vector<SerialTime> script;
std::size_t script_next = 0;

SerialTime scripted_clock() {
    return script.at(script_next++);
}

TEST(SerialTimeoutStep, CountsWholeMillisecondsFromTheFirstStep) {
    struct Case {
        const char* what;
        std::vector<SerialTime> clock;  // readings after the first step's
        std::vector<int> expected;      // time left per step, -1 for ETIMEDOUT
    };
    const SerialTime start{100, 900000};
    const Case cases[] = {
        {"truncates with a borrow", {{101, 100999}}, {1000 - 200}},
        {"just short of the end", {{101, 899999}}, {1}},
        {"exactly used up", {{101, 900000}}, {-1}},
        {"later steps keep the first start", {{101, 0}, {101, 800000}}, {1000 - 100, 1000 - 900}},
        {"clock set back restarts from its new reading",
         {{50, 0}, {50, 10500}, {50, 999000}, {51, 0}},
         {1000 - 10, 1000 - 999, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        script = {start};
        script.insert(script.end(), c.clock.begin(), c.clock.end());
        script_next = 0;
        SerialTimeout timeout;
        unsigned left = 0;
        ASSERT_EQ(serial_timeout_step(&timeout, 1000, scripted_clock, &left), 0);
        EXPECT_EQ(left, 1000U);
        for (const int expected : c.expected) {
            const int result = serial_timeout_step(&timeout, 1000, scripted_clock, &left);
            if (expected < 0) {
                EXPECT_EQ(result, ETIMEDOUT);
            } else {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(left, static_cast<unsigned>(expected));
            }
        }
        EXPECT_EQ(script_next, script.size());
    }
}

}  // namespace
}  // namespace zelv
