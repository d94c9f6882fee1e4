// A device on the far side of a pseudo-terminal that follows a script: for each step it
// waits for the exact bytes the host must send, then answers with the step's reply. The
// host side opens slave_path() like a serial device.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelv::test {

using Bytes = std::vector<uint8_t>;

class ScriptedPeer {
public:
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    [[nodiscard]] const std::string& slave_path() const { return slave_path_; }

    // Adds a step: expect exactly `expected` (may be empty), wait delay_ms, send `reply`.
    void step(Bytes expected, Bytes reply, int delay_ms = 0);

    // Runs the script in a thread.
    void start();

    // Waits for the script to end (at most a few seconds per step) and returns "" when every
    // step saw its bytes, else what went wrong. Bytes the host sent after the last step are
    // reported as unexpected.
    [[nodiscard]] std::string finish();

private:
    struct Step {
        Bytes expected;
        Bytes reply;
        int delay_ms;
    };
    void run();

    int master_ = -1;
    std::string slave_path_;
    std::vector<Step> steps_;
    std::thread thread_;
    std::mutex mutex_;
    std::string problem_;
};

// "E0 00 3E": the monitor's success prompt.
[[nodiscard]] Bytes ok_prompt();

}  // namespace zelv::test
