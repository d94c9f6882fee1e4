#include "bdm/bdm_agent.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "bdm/bdm_ram.h"
#include "bdm/bdm_state.h"
#include "base/console.h"
#include "base/settings.h"
#include "memops/flash_layout.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint16_t kBdmsts = 0xFF01;
constexpr uint8_t kBdmact = 0x40;
constexpr uint64_t kActiveWaitMs = 4999;  // more than this and the agent is given up
constexpr std::size_t kPathLimit = 256;
constexpr uint32_t kPageSize = 0x4000;

// Whether the FLASH transfers can use a buffer of this size: they move one agent buffer per
// chunk, a chunk must stay in one 16 KB page, tile the FLASH image and fit one sector.
bool flash_chunk_fits(uint32_t size) {
    const TargetModel& m = target();
    if (size < 2 || size % 2 != 0 || kPageSize % size != 0) {
        return false;
    }
    if (m.flash_size == 0 || m.flash_block_count == 0) {
        return true;  // no FLASH the agent could serve: only the EEPROM batches use it
    }
    const uint32_t image = flash_image_size();
    return image % size == 0 && size <= m.flash_sector_size;
}

bool inside_ram(uint32_t address, uint32_t length) {
    const TargetModel& m = target();
    return address >= m.ram_base && uint64_t{address} + length <= uint64_t{m.ram_base} + m.ram_size;
}

int check_buffer(const BdmEngineState& state) {
    if ((state.agent_buffer & 1) != 0 || !inside_ram(state.agent_buffer, state.agent_buffer_size)) {
        report_error("invalid RAM agent buffer address: 0x%04X\n", state.agent_buffer);
        return EINVAL;
    }
    if (!flash_chunk_fits(state.agent_buffer_size)) {
        report_error("invalid RAM agent buffer size: %u\n", state.agent_buffer_size);
        return EINVAL;
    }
    return 0;
}

// Waits for the agent to return to active background mode. A clock that was set back
// restarts the wait rather than ending it; the read after the deadline decides.
int wait_background() {
    const BdmPod& pod = active_pod();
    uint64_t start = clock_ms();
    for (;;) {
        const uint64_t now = clock_ms();
        if (now < start) {
            start = now;
        }
        const bool last = now - start > kActiveWaitMs;
        uint8_t status = 0;
        if (const int result = pod.read_bd_byte(kBdmsts, &status); result != 0) {
            return result;
        }
        if ((status & kBdmact) != 0) {
            return 0;
        }
        if (last) {
            report_error("BDM active wait timed out\n");
            return ETIMEDOUT;
        }
    }
}

bool eeprom_command(uint8_t code) {
    return code == agent_cmd::kEepromErase || code == agent_cmd::kEepromEraseVerify ||
           code == agent_cmd::kEepromWrite;
}

// Names the parameters an agent refused, read back from its parameter block as it saw them.
int report_refused(uint8_t code) {
    const BdmPod& pod = active_pod();
    const uint16_t params = bdm_state().agent_params;
    uint8_t first = 0;
    uint8_t second = 0;
    uint16_t word2 = 0;
    uint16_t word4 = 0;
    uint16_t word6 = 0;
    int result = pod.read_byte(static_cast<uint16_t>(params + agent_param::kFirst), &first);
    if (result == 0) {
        result = pod.read_byte(static_cast<uint16_t>(params + agent_param::kSecond), &second);
    }
    if (result == 0) {
        result = pod.read_word(static_cast<uint16_t>(params + agent_param::kFirst), &word2);
    }
    if (result == 0) {
        result = pod.read_word(static_cast<uint16_t>(params + agent_param::kWord4), &word4);
    }
    if (result == 0) {
        result = pod.read_word(static_cast<uint16_t>(params + agent_param::kWord6), &word6);
    }
    if (result != 0) {
        return result;
    }
    const char* refused = "RAM agent refused the parameters:";
    switch (code) {
        case agent_cmd::kInitialise:
            report_error("%s initialise osc <%u kHz>\n", refused, word2);
            break;
        case agent_cmd::kFlashBlockErase:
        case agent_cmd::kFlashBlockEraseVerify:
            report_error("%s FLASH %s block <%u> page <0x%02X>\n", refused,
                         code == agent_cmd::kFlashBlockErase ? "erase" : "erase verify", first,
                         second);
            break;
        case agent_cmd::kFlashRead:
        case agent_cmd::kFlashWrite:
            report_error("%s FLASH %s block <%u> page <0x%02X> address <0x%04X> length <%u>\n",
                         refused, code == agent_cmd::kFlashRead ? "read" : "write", first, second,
                         word4, word6);
            break;
        case agent_cmd::kEepromWrite:
            report_error("%s EEPROM write address <0x%04X> length <%u>\n", refused, word2, word4);
            break;
        default:
            report_error("%s command <%u>\n", refused, code);
            break;
    }
    return EINVAL;
}

// The statuses no caller takes: the module's error bits read as the register method reads
// them, a refusal names its parameters. Returns 0 for a status the caller judges.
int judge_status(uint8_t code, uint8_t answer) {
    const char* module = eeprom_command(code) ? "EEPROM" : "FLASH";
    switch (answer) {
        case agent_status::kOscillatorInvalid:
            report_error("unable to proceed - oscillator frequency invalid\n");
            return EINVAL;
        case agent_status::kNotSupported:
            report_error("unable to proceed - command not supported\n");
            return EOPNOTSUPP;
        case agent_status::kViolation:
        case agent_status::kViolation | agent_status::kAccessError:
            report_error("%s protection violation (PVIOL bit set)\n", module);
            return EIO;
        case agent_status::kAccessError:
            report_error("%s access error (ACCERR bit set)\n", module);
            return EIO;
        case agent_status::kRefused:
            return report_refused(code);
        default:
            return 0;
    }
}

}  // namespace

int select_method(const char* key, BdmMethod* method) {
    const char* value = description_get(key, true);
    if (value == nullptr || std::strcmp(value, "bdm") == 0) {
        *method = BdmMethod::kDirect;
        return 0;
    }
    if (std::strcmp(value, "agent") == 0) {
        *method = BdmMethod::kAgent;
        return 0;
    }
    // The value comes from a file: shown terminal-safe.
    char shown[kPathLimit + 1] = {};
    if (std::snprintf(shown, sizeof shown, "%s", value) < 0) {
        shown[0] = '\0';
    }
    make_printable(shown);
    report_error("invalid %s method: %s\n", key, shown);
    return EINVAL;
}

int agent_command(uint8_t code, uint8_t* status) {
    const BdmPod& pod = active_pod();
    const BdmEngineState& state = bdm_state();
    const uint16_t params = state.agent_params;
    int result = pod.write_byte(static_cast<uint16_t>(params + agent_param::kCommand), code);
    if (result == 0) {
        result = pod.write_byte(static_cast<uint16_t>(params + agent_param::kStatus),
                                agent_status::kNotSupported);
    }
    if (result == 0) {
        result = pod.write_reg(kRegisterPc, static_cast<uint16_t>(state.ram_entry & 0xFFFF));
    }
    if (result == 0) {
        result = pod.go();
    }
    if (result == 0) {
        result = wait_background();
    }
    uint8_t answer = 0;
    if (result == 0) {
        result = pod.read_byte(static_cast<uint16_t>(params + agent_param::kStatus), &answer);
    }
    if (result != 0) {
        return result;
    }
    if ((result = judge_status(code, answer)) != 0) {
        return result;
    }
    if (status != nullptr) {
        *status = answer;
        return 0;
    }
    if (answer != agent_status::kDone) {
        report_error("unable to proceed - unknown response (status 0x%02X)\n", answer);
        return EINVAL;
    }
    return 0;
}

int agent_load() {
    BdmEngineState& state = bdm_state();
    state.agent_loaded = false;
    const char* value = description_get("bdm_agent", true);
    if (value == nullptr) {
        report_error("target RAM agent not available, cannot proceed\n");
        return EINVAL;
    }
    // A secured part keeps the BDM out of its RAM: the agent could neither be loaded nor
    // started, and what its status reads back would mean nothing.
    if (target().secured != 0) {
        report_error("RAM agent load not possible - MCU secured\n");
        return EIO;
    }
    // The agent takes the oscillator as 16 bits of kHz: cut, 70 MHz would become 4464 kHz
    // and a plausible wrong FLASH clock.
    if (settings().osc / 1000 > 0xFFFF) {
        report_error("invalid oscillator frequency for target programming\n");
        return EINVAL;
    }
    std::string path;
    if (const int found = description_file_path(value, &path); found != 0) {
        if (found == ENOMEM) {
            report_error("not enough memory\n");
        } else {
            char shown[kPathLimit + 1] = {};  // the value comes from a file: shown cut and safe
            if (std::snprintf(shown, sizeof shown, "%s", value) < 0) {
                shown[0] = '\0';
            }
            make_printable(shown);
            report_error("unable to open %s (%s)\n", shown, std::strerror(found));
        }
        return found;
    }
    int result = ram_load(path.c_str(), RamLoadKind::kAgent);
    if (result != 0) {
        return result;
    }
    const BdmPod& pod = active_pod();
    const uint16_t params = state.agent_params;
    const auto khz = static_cast<uint16_t>((settings().osc / 1000) & 0xFFFF);
    if ((result = pod.write_word(static_cast<uint16_t>(params + agent_param::kFirst), khz)) != 0 ||
        (result = agent_command(agent_cmd::kInitialise, nullptr)) != 0 ||
        (result = pod.read_word(static_cast<uint16_t>(params + agent_param::kFirst),
                                &state.agent_buffer)) != 0 ||
        (result = pod.read_word(static_cast<uint16_t>(params + agent_param::kWord4),
                                &state.agent_buffer_size)) != 0) {
        return result;
    }
    print_debug("RAM agent data buffer address <0x%04X> length <0x%04X>\n", state.agent_buffer,
                state.agent_buffer_size);
    if ((result = check_buffer(state)) != 0) {
        return result;
    }
    state.agent_loaded = true;
    return 0;
}

int agent_require() {
    return bdm_state().agent_loaded ? 0 : agent_load();
}

}  // namespace zelv
