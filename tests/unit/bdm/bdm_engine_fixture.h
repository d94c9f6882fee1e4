// Shared by the tests of the BDM engine's programming operations: a fake pod as the active
// pod, a target model built from description text and completed as a connect would leave
// it, a scripted RAM agent behind the pod's GO, and captured output.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bdm/bdm_state.h"
#include "base/settings.h"
#include "fakes/fake_pod.h"
#include "fakes/run_state.h"
#include "target/target_model.h"
#include "test_support.h"

namespace zelv::test {

using Lines = std::vector<std::string>;

// One S-record line with its checksum (types 1 and 9 only: 16-bit addresses).
inline std::string srec_line(char type, uint16_t address, const std::vector<uint8_t>& data = {}) {
    const auto count = static_cast<unsigned>(3 + data.size());
    unsigned sum = count + (address >> 8) + (address & 0xFF);
    char text[600];
    int n = std::snprintf(text, sizeof text, "S%c%02X%04X", type, count, address);
    for (uint8_t byte : data) {
        n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02X", byte);
        sum += byte;
    }
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "%02X\n", ~sum & 0xFFU);
    return text;
}

// A RAM agent as the pod sees it: on GO it takes the command from its parameter block and
// leaves a status (0 unless told otherwise) and, for the initialise command, its buffer.
struct FakeAgent {
    uint16_t params = 0x3800;
    uint16_t buffer = 0x3900;
    uint16_t buffer_size = 0x40;
    std::map<uint8_t, uint8_t> status;  // status by command code
    // Each command as the agent found it: "<code> <+2> <+3> <+4 word> <+6 word>" in hex.
    Lines commands;

    void install(FakePod& pod) {
        pod.set_bdm_status(0xC0);  // back in active background mode at once
        pod.on_go = [this](FakePod& p) {
            auto& mem = p.memory();
            const uint8_t code = mem[params];
            char text[64];
            std::snprintf(text, sizeof text, "%02X %02X %02X %02X%02X %02X%02X", code,
                          mem[params + 2], mem[params + 3], mem[params + 4], mem[params + 5],
                          mem[params + 6], mem[params + 7]);
            commands.emplace_back(text);
            if (code == 0) {
                mem[params + 2] = static_cast<uint8_t>(buffer >> 8);
                mem[params + 3] = static_cast<uint8_t>(buffer);
                mem[params + 4] = static_cast<uint8_t>(buffer_size >> 8);
                mem[params + 5] = static_cast<uint8_t>(buffer_size);
            }
            const auto found = status.find(code);
            mem[params + 1] = found != status.end() ? found->second : 0;
        };
    }
};

class BdmEngineTest : public testing::Test {
protected:
    void SetUp() override {
        reset_run_state();
        bdm_state_reset();
        bdm_select_pod(&FakePod::table());
        settings().osc = 16000000;
    }
    void TearDown() override {
        bdm_state_reset();
        reset_run_state();
    }

    // Builds the model from a description of this FLASH and EEPROM module, then places
    // RAM at 0x1000-0x3FFF and the EEPROM at 0x0000 as the status report would.
    void use(const std::string& flash, const std::string& eeprom = "EETS4K",
             const std::string& extra = "", const std::string& family = "HCS12") {
        ASSERT_EQ(build_target_from(dir, description_text(flash, eeprom, family, extra)), 0);
        TargetModel& m = target();
        m.ram_base = 0x1000;
        m.ram_space = 0x4000;
        m.eeprom_base = 0x0000;
        m.eeprom_space = 0x1000;
        m.unsecured = 1;
        // What bdm_open installs before it connects.
        m.target_read_byte = FakePod::table().read_byte;
        m.target_read_word = FakePod::table().read_word;
        m.target_write_byte = FakePod::table().write_byte;
        m.target_write_word = FakePod::table().write_word;
    }

    // A file in the scratch folder.
    std::string file(const std::string& name, const std::string& text) {
        const std::string path = dir.file(name);
        write_file(path, text);
        return path;
    }

    // An agent file: 32 bytes at the agent's parameter block, entry 16 bytes in.
    std::string agent_file(uint16_t params = 0x3800) {
        return file("agent.s19", srec_line('1', params, std::vector<uint8_t>(32, 0x00)) +
                                     srec_line('9', static_cast<uint16_t>(params + 0x10)));
    }

    // A description line that names the agent file and chooses it for these keys.
    std::string agent_keys(const Lines& keys, uint16_t params = 0x3800) {
        std::string text = "bdm_agent " + agent_file(params) + "\n";
        for (const std::string& key : keys) {
            text += key + " agent\n";
        }
        return text;
    }

    // Runs an operation with stdout and stderr captured into out and err.
    template <typename Call>
    int run(Call call) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = call();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    // The pod calls that wrote, in order.
    [[nodiscard]] Lines writes() const { return pod.calls_of("write_"); }

    TempDir dir;
    FakePod pod;
    FakeAgent agent;
    std::string out;
    std::string err;
};

}  // namespace zelv::test
