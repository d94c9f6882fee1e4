#include "common/port_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "common/sim_log.h"

namespace zelv::sim {

namespace {

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int system_error(const char* what) {
    const int error = errno;
    sim_error("%s (%s)\n", what, std::strerror(error));
    return error;
}

// Signals reach the serving loop through a pipe, so that poll wakes for them.
int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    const ssize_t ignored = write(signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

int install_signals() {
    if (signal_pipe[0] < 0) {
        if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            return system_error("cannot create the signal pipe");
        }
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(number, &action, nullptr) != 0) {
            return system_error("cannot install a signal handler");
        }
    }
    return 0;
}

void restore_signals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        sigaction(number, &action, nullptr);
    }
}

// Reads the signals that arrived since the last call; returns the last one other than
// SIGCHLD (0 when none) and sets *child when SIGCHLD came.
int drain_signals(bool* child) {
    int last = 0;
    unsigned char byte = 0;
    while (read(signal_pipe[0], &byte, 1) == 1) {
        if (byte == SIGCHLD) {
            *child = true;
        } else {
            last = byte;
        }
    }
    return last;
}

}  // namespace

int pty_open(Pty* pty) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (pty->master < 0) {
        return system_error("cannot open a pseudo-terminal");
    }
    char name[256];
    if (grantpt(pty->master) != 0 || unlockpt(pty->master) != 0 ||
        ptsname_r(pty->master, name, sizeof name) != 0) {
        const int error = system_error("cannot set up the pseudo-terminal");
        pty_close(pty);
        return error;
    }
    pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (pty->slave < 0 || tcgetattr(pty->slave, &settings) != 0) {
        const int error = system_error("cannot open the pseudo-terminal's slave");
        pty_close(pty);
        return error;
    }
    cfmakeraw(&settings);
    if (tcsetattr(pty->slave, TCSANOW, &settings) != 0 ||
        fcntl(pty->master, F_SETFL, O_NONBLOCK) != 0 ||
        fcntl(pty->master, F_SETFD, FD_CLOEXEC) != 0) {
        const int error = system_error("cannot set up the pseudo-terminal");
        pty_close(pty);
        return error;
    }
    try {
        pty->slave_path = name;
    } catch (const std::bad_alloc&) {
        pty_close(pty);
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    return 0;
}

void pty_close(Pty* pty) {
    if (pty->slave >= 0) {
        close(pty->slave);
    }
    if (pty->master >= 0) {
        close(pty->master);
    }
    pty->slave = -1;
    pty->master = -1;
}

namespace {

uint64_t rate_of(int fd) {
    struct Speed {
        speed_t code;
        uint64_t rate;
    };
    static constexpr Speed kSpeeds[] = {
        {B50, 50},       {B75, 75},       {B110, 110},       {B134, 134},     {B150, 150},
        {B200, 200},     {B300, 300},     {B600, 600},       {B1200, 1200},   {B1800, 1800},
        {B2400, 2400},   {B4800, 4800},   {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
        {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    termios settings{};
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        return 0;
    }
    const speed_t code = cfgetospeed(&settings);
    for (const Speed& speed : kSpeeds) {
        if (speed.code == code) {
            return speed.rate;
        }
    }
    return 0;
}

}  // namespace

void PortServer::pace(const LinkPacing& pacing, LinkCounts* counts, int rate_fd, bool handshake) {
    pacing_ = pacing;
    counts_ = counts;
    rate_fd_ = rate_fd;
    handshake_ = handshake;
}

uint64_t PortServer::byte_ns() const {
    return link_byte_ns(rate_);
}

// The answer just appended to out_ (from held_from_ or wherever it starts) leaves after the
// turnaround and the device's own time, a byte time per byte, behind what is still queued.
void PortServer::schedule_answer(uint64_t from_ns) {
    const size_t count = out_.size() - out_due_.size();
    if (count == 0) {
        return;
    }
    const uint64_t byte = byte_ns();
    const uint64_t device = uint64_t{reply_.delay_ms} * 1'000'000;
    const uint64_t turnaround = uint64_t{pacing_.turnaround_us} * 1000;
    const uint64_t first = link_answer_due(from_ns, device, turnaround, last_out_due_, byte, 1);
    for (size_t i = 0; i < count; ++i) {
        out_due_.push_back(first + i * byte);
    }
    last_out_due_ = out_due_.back();
    if (counts_ != nullptr) {
        ++counts_->turnarounds;
        counts_->bytes_to_host += count;
        counts_->device_ns += device;
        counts_->bound_ns += link_answer_bound_ns(pacing_, device, byte, count, handshake_);
    }
}

void PortServer::trace(const char* direction, const uint8_t* bytes, size_t count) {
    if (trace_ == nullptr || count == 0) {
        return;
    }
    std::fputs(direction, trace_);
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(trace_, " %02X", bytes[i]);
    }
    std::fputc('\n', trace_);
    std::fflush(trace_);
}

int PortServer::feed() {
    while (!holding_ && !in_.empty()) {
        uint64_t due = 0;
        if (pacing_.paced) {
            due = in_due_.front();
            const uint64_t now = link_clock_ns();
            if (now < due) {
                break;
            }
            in_due_.pop_front();
            if (counts_ != nullptr) {
                link_note_delivery(counts_, due, now, in_due_.empty());
                ++counts_->bytes_to_device;
                counts_->bound_ns += link_host_byte_bound_ns(pacing_, byte_ns(), handshake_);
                if (handshake_) {
                    ++counts_->handshakes;
                }
            }
        }
        const uint8_t byte = in_.front();
        in_.pop_front();
        reply_.bytes.clear();
        reply_.delay_ms = 0;
        device_.receive(byte, reply_);
        unsolicited_due_ = true;
        unsolicited_at_ = 0;
        trace("<-", reply_.bytes.data(), reply_.bytes.size());
        if (reply_.delay_ms > 0 && !reply_.bytes.empty()) {
            holding_ = true;
            held_from_ = out_.size();
            hold_until_ = now_ms() + reply_.delay_ms;
        }
        out_.insert(out_.end(), reply_.bytes.begin(), reply_.bytes.end());
        if (pacing_.paced) {
            schedule_answer(due);
        }
    }
    return 0;
}

// Only when the line is idle, so that a babbling device never piles up bytes the host does
// not read.
void PortServer::ask_unsolicited() {
    if (!unsolicited_due_ || holding_ || !out_.empty() || now_ms() < unsolicited_at_) {
        return;
    }
    reply_.bytes.clear();
    reply_.delay_ms = 0;
    const int next_ms = device_.unsolicited(reply_);
    trace("<-", reply_.bytes.data(), reply_.bytes.size());
    out_.insert(out_.end(), reply_.bytes.begin(), reply_.bytes.end());
    if (pacing_.paced) {
        // Bytes the device sends of its own accord (a program on the core writing to its
        // SCI) cross the line like any answer, without a turnaround.
        const uint64_t now = link_clock_ns();
        if (counts_ != nullptr) {
            counts_->bytes_to_host += out_.size() - out_due_.size();
            counts_->bound_ns += (out_.size() - out_due_.size()) * byte_ns();
        }
        while (out_due_.size() < out_.size()) {
            last_out_due_ = std::max(last_out_due_, now) + byte_ns();
            out_due_.push_back(last_out_due_);
        }
    }
    unsolicited_due_ = next_ms >= 0;
    unsolicited_at_ = now_ms() + static_cast<uint64_t>(next_ms >= 0 ? next_ms : 0);
}

int PortServer::flush() {
    while (!out_.empty()) {
        size_t ready = holding_ ? held_from_ : out_.size();
        if (pacing_.paced) {
            const uint64_t now = link_clock_ns();
            size_t due = 0;
            while (due < ready && out_due_[due] <= now) {
                ++due;
            }
            ready = due;
        }
        if (ready == 0) {
            return 0;
        }
        uint8_t chunk[512];
        const size_t count = std::min(ready, sizeof chunk);
        std::copy(out_.begin(), out_.begin() + static_cast<long>(count), chunk);
        const ssize_t written = write(master_, chunk, count);
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return 0;
            }
            return system_error("cannot write to the pseudo-terminal");
        }
        const auto sent = static_cast<size_t>(written);
        out_.erase(out_.begin(), out_.begin() + static_cast<long>(sent));
        if (pacing_.paced) {
            // Noted once written (a short write leaves the rest for the next round).
            if (counts_ != nullptr) {
                const uint64_t now = link_clock_ns();
                for (size_t i = 0; i < sent; ++i) {
                    link_note_delivery(counts_, out_due_[i], now, out_.empty() && i + 1 == sent);
                }
            }
            out_due_.erase(out_due_.begin(), out_due_.begin() + static_cast<long>(sent));
        }
        if (holding_) {
            held_from_ -= sent;
        }
    }
    return 0;
}

int PortServer::pump(int timeout_ms, int wake_fd, bool* woken) {
    try {
        if (holding_ && now_ms() >= hold_until_) {
            holding_ = false;
        }
        const bool sendable = !out_.empty() && (!holding_ || held_from_ > 0) &&
                              (!pacing_.paced || out_due_.front() <= link_clock_ns());
        if (pacing_.paced) {
            rate_ = rate_of(rate_fd_);
        }
        pollfd fds[2] = {};
        fds[0].fd = master_;
        fds[0].events = static_cast<short>((holding_ ? 0 : POLLIN) | (sendable ? POLLOUT : 0));
        fds[1].fd = wake_fd;
        fds[1].events = POLLIN;
        int wait = timeout_ms;
        if (holding_) {
            const auto left = static_cast<int>(hold_until_ - now_ms());
            wait = wait < 0 ? left : std::min(wait, left);
        } else if (unsolicited_due_ && out_.empty()) {
            const uint64_t now = now_ms();
            const int left = unsolicited_at_ > now ? static_cast<int>(unsolicited_at_ - now) : 0;
            wait = wait < 0 ? left : std::min(wait, left);
        }
        // Paced: wake for the next byte that falls due either way, to the microsecond.
        uint64_t next_due = 0;
        if (pacing_.paced) {
            if (!out_.empty() && !sendable) {
                next_due = out_due_.front();
                if (holding_) {
                    next_due = std::max(next_due, hold_until_ * 1'000'000);
                }
            }
            if (!holding_ && !in_due_.empty() && (next_due == 0 || in_due_.front() < next_due)) {
                next_due = in_due_.front();
            }
        }
        timespec limit{};
        const timespec* limit_at = nullptr;
        if (wait >= 0) {
            limit.tv_sec = wait / 1000;
            limit.tv_nsec = static_cast<long>(wait % 1000) * 1'000'000;
            limit_at = &limit;
        }
        if (next_due != 0) {
            const uint64_t now = link_clock_ns();
            const uint64_t left = next_due > now ? next_due - now : 0;
            if (limit_at == nullptr ||
                left < static_cast<uint64_t>(limit.tv_sec) * 1'000'000'000 +
                           static_cast<uint64_t>(limit.tv_nsec)) {
                limit.tv_sec = static_cast<time_t>(left / 1'000'000'000);
                limit.tv_nsec = static_cast<long>(left % 1'000'000'000);
                limit_at = &limit;
            }
        }
        const int ready = ppoll(fds, wake_fd >= 0 ? 2 : 1, limit_at, nullptr);
        if (ready < 0) {
            return errno == EINTR ? 0 : system_error("cannot wait for the pseudo-terminal");
        }
        if (wake_fd >= 0 && (fds[1].revents & POLLIN) != 0) {
            *woken = true;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint8_t buffer[4096];
            const ssize_t got = read(master_, buffer, sizeof buffer);
            if (got < 0 && errno != EAGAIN && errno != EINTR) {
                return system_error("cannot read the pseudo-terminal");
            }
            if (got > 0) {
                trace("->", buffer, static_cast<size_t>(got));
                in_.insert(in_.end(), buffer, buffer + got);
                if (pacing_.paced) {
                    // The host's bytes reach the device one byte time apart, the first a
                    // byte time after it wrote them.
                    const uint64_t now = link_clock_ns();
                    for (ssize_t i = 0; i < got; ++i) {
                        last_in_due_ = std::max(last_in_due_, now) + byte_ns();
                        in_due_.push_back(last_in_due_);
                    }
                }
            }
        }
        if (holding_ && now_ms() >= hold_until_) {
            holding_ = false;
        }
        const int fed = feed();
        if (fed != 0) {
            return fed;
        }
        ask_unsolicited();
        return flush();
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
}

std::vector<std::string> replace_port(const std::vector<std::string>& words,
                                      const std::string& port) {
    static const std::string kMarker = "@PORT@";
    std::vector<std::string> result = words;
    for (std::string& word : result) {
        for (size_t at = word.find(kMarker); at != std::string::npos;
             at = word.find(kMarker, at + port.size())) {
            word.replace(at, kMarker.size(), port);
        }
    }
    return result;
}

int run_command(Served& server, const std::vector<std::string>& words, int* exit_status,
                const std::vector<std::string>& environment) {
    if (words.empty()) {
        sim_error("no command to run\n");
        return EINVAL;
    }
    std::vector<std::string> args = words;
    std::vector<char*> argv;
    for (std::string& word : args) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int installed = install_signals();
    if (installed != 0) {
        return installed;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        const int error = system_error("cannot start the command");
        restore_signals();
        return error;
    }
    if (child == 0) {
        restore_signals();
        for (const std::string& entry : environment) {
            const size_t equals = entry.find('=');
            if (equals != std::string::npos) {
                setenv(entry.substr(0, equals).c_str(), entry.c_str() + equals + 1, 1);
            }
        }
        execvp(argv[0], argv.data());
        sim_error("cannot run %s (%s)\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    int result = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            break;
        }
        bool woken = false;
        result = server.pump(-1, signal_pipe[0], &woken);
        if (result != 0) {
            kill(child, SIGTERM);
            waitpid(child, &status, 0);
            break;
        }
        bool child_signal = false;
        const int forwarded = woken ? drain_signals(&child_signal) : 0;
        if (forwarded != 0) {
            kill(child, forwarded);
        }
    }
    restore_signals();
    if (WIFEXITED(status)) {
        *exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        *exit_status = 128 + WTERMSIG(status);
    } else {
        *exit_status = 1;
    }
    return result;
}

int serve_until_signal(Served& server) {
    const int installed = install_signals();
    if (installed != 0) {
        return installed;
    }
    int result = 0;
    for (;;) {
        bool woken = false;
        result = server.pump(-1, signal_pipe[0], &woken);
        bool child_signal = false;
        if (result != 0 || (woken && drain_signals(&child_signal) != 0)) {
            break;
        }
    }
    restore_signals();
    return result;
}

}  // namespace zelv::sim
