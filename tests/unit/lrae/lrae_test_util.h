// Shared by the LRAE client tests: a target built from description text with the LRAE keys,
// the LRAE port opened on a scripted boot loader or agent, and the bytes of agent frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "fakes/scripted_peer.h"
#include "link/serial.h"
#include "lrae/lrae_link.h"
#include "target/target_model.h"
#include "test_support.h"

namespace zelv::test {

// The frame the host sends for command and parameters: length n + 3 and the checksum.
inline Bytes lrae_frame_bytes(uint8_t command, const Bytes& parameters) {
    Bytes bytes;
    bytes.push_back(command);
    bytes.push_back(static_cast<uint8_t>(parameters.size() + 3));
    for (const uint8_t parameter : parameters) {
        bytes.push_back(parameter);
    }
    uint8_t sum = 0;
    for (const uint8_t byte : bytes) {
        sum = static_cast<uint8_t>(sum + byte);
    }
    bytes.push_back(sum);
    return bytes;
}

class LraeTest : public testing::Test {
protected:
    void SetUp() override {
        reset_run_state();
        lrae_state() = LraeState{};
    }
    void TearDown() override {
        if (lrae_port().descriptor >= 0) {
            (void)serial_close(&lrae_port());
        }
        lrae_state() = LraeState{};
        reset_run_state();
    }

    // Builds the target from a description of this FLASH module with an agent file (two
    // bytes at 0x3800) and lrae_size 0x800. The extra lines come first: the first line of
    // a key counts, so they override.
    void use(const std::string& flash_module, const std::string& extra = "",
             const std::string& family = "HCS12", const std::string& eeprom = "EETS4K") {
        write_file(agent_path(), "S1053800AABB5D\nS9033800C4\n");
        const std::string lines = extra + "lrae_agent " + agent_path() + "\nlrae_size 0x800\n" +
                                  description_text(flash_module, eeprom, family);
        ASSERT_EQ(build_target_from(dir, lines), 0);
        settings().osc = 16000000;
    }

    // The port opened on the peer as lrae_open would leave it, the agent not yet loaded.
    void connect() {
        ASSERT_EQ(serial_open(&lrae_port(), peer.slave_path().c_str()), 0);
        SerialSettings line;
        line.baud_rate = 38400;
        ASSERT_EQ(serial_set_settings(&lrae_port(), &line), 0);
        lrae_state().window_start = 0x4000 - target().ram_size;
        lrae_state().lrae_size = 0x800;
    }

    // As connect, with the agent running.
    void connect_agent() {
        connect();
        lrae_state().program_started = true;
        lrae_state().agent_loaded = true;
    }

    // Runs call against the script; err and out hold what it printed.
    template <typename Call>
    int exchange(Call call) {
        peer.start();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = call();
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(peer.finish(), "");
        return result;
    }

    std::string agent_path() const { return dir.file("agent.s19"); }

    TempDir dir;
    ScriptedPeer peer;
    std::string err;
    std::string out;
};

}  // namespace zelv::test
