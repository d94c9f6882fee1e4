#include "fakes/scripted_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace zelv::test {
namespace {

std::string hex(const Bytes& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        char part[4];
        std::snprintf(part, sizeof part, "%02X ", byte);
        text += part;
    }
    return text;
}

// Reads exactly count bytes from fd, waiting at most timeout_ms for each; returns what came.
Bytes read_bytes(int fd, std::size_t count, int timeout_ms) {
    Bytes bytes;
    while (bytes.size() < count) {
        pollfd poll_fd{fd, POLLIN, 0};
        if (poll(&poll_fd, 1, timeout_ms) <= 0) {
            break;
        }
        uint8_t buffer[512];
        const std::size_t want = std::min(count - bytes.size(), sizeof buffer);
        const ssize_t n = read(fd, buffer, want);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

}  // namespace

Bytes ok_prompt() {
    return {0xE0, 0x00, '>'};
}

ScriptedPeer::ScriptedPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    slave_path_ = ptsname(master_);
}

ScriptedPeer::~ScriptedPeer() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (master_ >= 0) {
        close(master_);
    }
}

void ScriptedPeer::step(Bytes expected, Bytes reply, int delay_ms) {
    steps_.push_back({std::move(expected), std::move(reply), delay_ms});
}

void ScriptedPeer::start() {
    thread_ = std::thread([this] { run(); });
}

void ScriptedPeer::run() {
    std::size_t index = 0;
    for (const Step& s : steps_) {
        const Bytes got = read_bytes(master_, s.expected.size(), 3000);
        if (got != s.expected) {
            std::lock_guard<std::mutex> lock(mutex_);
            problem_ = "step " + std::to_string(index) + ": expected " + hex(s.expected) + "got " +
                       hex(got);
            return;
        }
        if (s.delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.delay_ms));
        }
        std::size_t sent = 0;
        while (sent < s.reply.size()) {
            const ssize_t n = write(master_, s.reply.data() + sent, s.reply.size() - sent);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        ++index;
    }
    // Anything more the host sends within a short while is a step the script did not expect.
    const Bytes extra = read_bytes(master_, 1, 200);
    if (!extra.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        problem_ = "unexpected bytes after the script: " + hex(extra);
    }
}

std::string ScriptedPeer::finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

}  // namespace zelv::test
