// The virtual target's serial port: a pseudo-terminal whose slave side the host opens as its
// serial device, and the loop that serves a device on the master side, either for the life
// of a child command or until interrupted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "common/link_pacing.h"
#include "common/serial_device.h"

namespace zelv::sim {

struct Pty {
    int master = -1;
    int slave = -1;  // kept open by the simulator, so the host's closes never hang it up
    std::string slave_path;
};

// Opens a pseudo-terminal with its slave in raw mode (no echo, no line editing, no
// translation) and the master non-blocking. Returns 0 or an error number with a message.
[[nodiscard]] int pty_open(Pty* pty);
void pty_close(Pty* pty);

// What the runner serves while a command runs or until interrupted: a device on a
// pseudo-terminal, or the virtual USB bus.
class Served {
public:
    Served() = default;
    Served(const Served&) = delete;
    Served& operator=(const Served&) = delete;
    virtual ~Served() = default;

    // Waits at most timeout_ms (-1: no limit) for work or for wake_fd (-1: none) to become
    // readable (*woken is then set), and does the work. Returns 0 or an error number with
    // a message.
    [[nodiscard]] virtual int pump(int timeout_ms, int wake_fd, bool* woken) = 0;
};

class PortServer : public Served {
public:
    // trace, when not nullptr, receives one line per chunk of bytes in each direction.
    PortServer(int master, SerialDevice& device, FILE* trace)
        : master_(master), device_(device), trace_(trace) {}

    // Waits at most timeout_ms (-1: no limit) for bytes from the host, room to send, a
    // delayed answer falling due, or wake_fd (-1: none) becoming readable (*woken is then
    // set). Hands received bytes to the device one by one and sends its answers. Returns 0
    // or an error number with a message.
    [[nodiscard]] int pump(int timeout_ms, int wake_fd, bool* woken) override;

    // True while answers wait to be sent.
    [[nodiscard]] bool pending() const { return !out_.empty(); }

    // Paces the line: bytes each way at the rate the host set on the terminal (rate_fd, its
    // slave side), each answer after the turnaround; handshake: every host byte also costs
    // the pod's RTS/CTS cycle in the bound. Counts go to *counts.
    void pace(const LinkPacing& pacing, LinkCounts* counts, int rate_fd, bool handshake);

private:
    [[nodiscard]] int feed();
    [[nodiscard]] uint64_t byte_ns() const;
    void schedule_answer(uint64_t from_ns);
    void ask_unsolicited();
    [[nodiscard]] int flush();
    void trace(const char* direction, const uint8_t* bytes, size_t count);

    int master_;
    SerialDevice& device_;
    FILE* trace_;
    std::deque<uint8_t> in_;
    std::deque<uint8_t> out_;
    size_t held_from_ = 0;  // out_ bytes from here on wait for hold_until_
    bool holding_ = false;
    uint64_t hold_until_ = 0;      // monotonic milliseconds
    bool unsolicited_due_ = true;  // ask the device for bytes of its own accord
    uint64_t unsolicited_at_ = 0;  // from this time on (monotonic milliseconds)
    Reply reply_;
    // Pacing: when each queued byte is due at the other end (nanoseconds, monotonic).
    LinkPacing pacing_;
    LinkCounts* counts_ = nullptr;
    int rate_fd_ = -1;
    bool handshake_ = false;
    uint64_t rate_ = 0;  // bits per second the host set; 0: unknown (115200 is taken)
    std::deque<uint64_t> in_due_;
    std::deque<uint64_t> out_due_;
    uint64_t last_in_due_ = 0;
    uint64_t last_out_due_ = 0;
};

// Replaces every "@PORT@" in the words with the port path.
[[nodiscard]] std::vector<std::string> replace_port(const std::vector<std::string>& words,
                                                    const std::string& port);

// Runs the command (words[0] looked up on PATH) as a child that inherits standard output
// and error, and the environment with the "NAME=value" entries of `environment` added,
// serving the port until it exits. SIGINT and SIGTERM received meanwhile are passed on to
// the child. *exit_status is its exit status, or 128 + the signal that ended it; 127 when
// it could not be started. Returns 0 or an error number with a message.
[[nodiscard]] int run_command(Served& server, const std::vector<std::string>& words,
                              int* exit_status, const std::vector<std::string>& environment = {});

// Serves the port until SIGINT or SIGTERM. Returns 0 or an error number with a message.
[[nodiscard]] int serve_until_signal(Served& server);

}  // namespace zelv::sim
