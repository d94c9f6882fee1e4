// The EEPROM operations of the BDM interfaces (-B, -A, -C, -D) and the EEPROM module's
// register procedures of the direct method.
#include "bdm/bdm_eeprom.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "base/bytes.h"
#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "bdm/bdm_agent.h"
#include "bdm/bdm_connect.h"
#include "bdm/bdm_nvm.h"
#include "bdm/bdm_operations.h"
#include "bdm/bdm_state.h"
#include "mcu/status_report.h"
#include "memops/eeprom_frames.h"
#include "memops/memory_image.h"
#include "srec/srec.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kReadChunk = 256;
constexpr unsigned kInfoSize = 256;
constexpr uint32_t kProtectedField = 16;    // the EEPROM's last bytes
constexpr uint32_t kProtectionFromEnd = 3;  // the protection byte, from the end
constexpr uint8_t kNoProtection = 0xFF;     // what EPROT shows without protection

int write(uint16_t address, uint8_t value) {
    return active_pod().write_byte(address, value);
}

uint16_t param(uint16_t offset) {
    return static_cast<uint16_t>(bdm_state().agent_params + offset);
}

// The checks the read, write and protect make before anything else; erase runs on a
// secured part.
int prepare(const char* key, const char* what, bool refuse_secured, BdmMethod* method) {
    if (const int result = select_method(key, method); result != 0) {
        return result;
    }
    if (target().eeprom_size == 0) {
        report_error("%s not possible - no EEPROM memory\n", what);
        return EINVAL;
    }
    // Through a window that is off or hidden the pod would read and write FLASH, registers
    // or RAM in the EEPROM's name.
    if (const int result = eeprom_window_check(what); result != 0) {
        return result;
    }
    if (refuse_secured && target().secured != 0 && settings().force == 0) {
        report_error("%s not possible - MCU secured (-f option forces the operation)\n%s", what,
                     kSecuredHint);
        return EIO;
    }
    return 0;
}

// After an erase of a secured part: a part now blank in FLASH and EEPROM is found unsecured
// at the next reset, so the engine connects again, as unsecuring does, for the operations
// after this one to see the part as it is.
int reconnect_if(bool secured) {
    return secured ? bdm_connect(false) : 0;
}

// One agent EEPROM write: the bytes into the data buffer, their EEPROM address at +2 and
// count at +4, command 5.
int agent_write(uint16_t address, const uint8_t* data, uint32_t length) {
    const BdmPod& pod = active_pod();
    int result = 0;
    if ((result = pod.write_block(bdm_state().agent_buffer, data, length)) != 0 ||
        (result = pod.write_word(param(agent_param::kFirst), address)) != 0 ||
        (result = pod.write_word(param(agent_param::kWord4), static_cast<uint16_t>(length))) != 0) {
        return result;
    }
    uint8_t status = 0;
    if ((result = agent_command(agent_cmd::kEepromWrite, &status)) != 0) {
        return result;
    }
    if (status == agent_status::kVerifyFailed) {
        // The agent left the address of the word that read back wrong.
        uint16_t at = 0;
        uint16_t value = 0;
        if ((result = pod.read_word(param(agent_param::kFirst), &at)) != 0 ||
            (result = pod.read_word(at, &value)) != 0) {
            return result;
        }
        const uint32_t i = static_cast<uint16_t>(at - address);
        if (i + 1 < length) {
            report_error(
                "EEPROM data verify error at address <0x%04X> value <0x%04X> expected <0x%04X>\n",
                at, value, be16_get(data + i));
            return EIO;
        }
    }
    if (status != agent_status::kDone) {
        report_error("unable to proceed - unknown response (status 0x%02X)\n", status);
        return EINVAL;
    }
    return 0;
}

// Sends data in batches of at most the agent's buffer size, stepping the open progress bar
// when asked to.
int agent_write_batches(uint16_t address, const uint8_t* data, uint32_t length, bool progress) {
    const uint32_t batch = bdm_state().agent_buffer_size;
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(batch, length - done);
        if (const int result =
                agent_write(static_cast<uint16_t>(address + done), data + done, piece);
            result != 0) {
            return result;
        }
        done += piece;
        if (progress) {
            progress_step(done, length);
        }
    }
    return 0;
}

// A stretch of whole words the file gives at least one byte of: its first address (even)
// and its length in bytes (even).
struct WordRun {
    uint32_t first;
    uint32_t length;
};

// The runs of words between the image offsets lowest and highest that the file gives: a
// byte the file gives reads the same in an image preset to 0xFF and in one preset to 0x00.
int given_runs(const std::vector<uint8_t>& image, const std::vector<uint8_t>& probe,
               uint32_t lowest, uint32_t highest, std::vector<WordRun>* runs) {
    const uint32_t base = target().eeprom_base;
    try {
        for (uint32_t offset = lowest & ~1U; offset <= highest; offset += 2) {
            const bool given = image[offset] == probe[offset] ||
                               (offset + 1 < image.size() && image[offset + 1] == probe[offset + 1]);
            if (!given) {
                continue;
            }
            if (!runs->empty() && runs->back().first + runs->back().length == base + offset) {
                runs->back().length += 2;
            } else {
                runs->push_back({base + offset, 2});
            }
        }
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
    return 0;
}

// Programs the words of each run; the progress bar counts over total bytes.
int program_words(const std::vector<uint8_t>& image, const std::vector<WordRun>& runs,
                  uint32_t total, BdmMethod method) {
    const uint32_t base = target().eeprom_base;
    uint32_t done = 0;
    for (const WordRun& run : runs) {
        const uint32_t offset = run.first - base;
        if (method == BdmMethod::kAgent) {
            if (const int result = agent_write_batches(static_cast<uint16_t>(run.first),
                                                       image.data() + offset, run.length, false);
                result != 0) {
                return result;
            }
            done += run.length;
            progress_step(done, total);
            continue;
        }
        for (uint32_t i = 0; i < run.length; i += 2) {
            const int result = eeprom_program_word(static_cast<uint16_t>(run.first + i),
                                                   be16_get(image.data() + offset + i));
            if (result != 0) {
                return result;
            }
            done += 2;
            progress_step(done, total);
        }
    }
    return 0;
}

// Reads the words of each run back in block reads and compares them with the image.
int verify_words(const std::vector<uint8_t>& image, const std::vector<WordRun>& runs,
                 uint32_t total) {
    const uint32_t base = target().eeprom_base;
    uint32_t done = 0;
    uint8_t piece[kReadChunk];
    for (const WordRun& run : runs) {
        const uint32_t offset = run.first - base;
        for (uint32_t k = 0; k < run.length; k += kReadChunk) {
            const uint32_t count = std::min(kReadChunk, run.length - k);
            if (const int result =
                    active_pod().read_block(static_cast<uint16_t>(run.first + k), piece, count);
                result != 0) {
                return result;
            }
            for (uint32_t i = 0; i < count; i += 2) {
                const uint16_t value = be16_get(piece + i);
                const uint16_t expected = be16_get(image.data() + offset + k + i);
                if (value != expected) {
                    report_error(
                        "EEPROM data verify error at address <0x%04X> value <0x%04X> expected "
                        "<0x%04X>\n",
                        run.first + k + i, value, expected);
                    return EIO;
                }
            }
            done += count;
            progress_step(done, total);
        }
    }
    return 0;
}

}  // namespace

int eeprom_command(uint8_t command) {
    int result = write(eeprom_reg::kEcmd, command);
    if (result == 0) {
        result = write(eeprom_reg::kEstat, nvm::kCbeif);
    }
    return result != 0 ? result : nvm_wait(eeprom_reg::kEstat, "EEPROM");
}

int eeprom_program_word(uint16_t address, uint16_t value) {
    const int result = active_pod().write_word(address, value);
    return result != 0 ? result : eeprom_command(nvm::kWordProgram);
}

int eeprom_mass_erase() {
    const BdmPod& pod = active_pod();
    int result = 0;
    if ((result = write(eeprom_reg::kEprot, 0xFF)) != 0 ||
        (result = write(eeprom_reg::kEstat, nvm::kClearFlags)) != 0 ||
        (result = pod.write_word(eeprom_reg::kEdata, 0)) != 0 ||
        (result = pod.write_word(eeprom_reg::kEaddr, 0)) != 0) {
        return result;
    }
    return eeprom_command(nvm::kMassErase);
}

int bdm_eeprom_read(const char* path) {
    BdmMethod method = BdmMethod::kDirect;
    int result = prepare("bdm_eeprom_read", "EEPROM read", true, &method);
    // The read itself goes through the pod's block reads either way; the agent is loaded
    // as the method asks, to serve the operations that follow.
    if (result == 0 && method == BdmMethod::kAgent) {
        result = agent_require();
    }
    if (result != 0) {
        return result;
    }
    return eeprom_read_frame(path, kReadChunk, active_pod().read_block, secured_read_check);
}

int bdm_eeprom_erase() {
    BdmMethod method = BdmMethod::kDirect;
    int result = prepare("bdm_eeprom_erase", "EEPROM erase", false, &method);
    // A secured part is erased without -f, by the registers: its BDM runs no code.
    const bool secured = target().secured != 0;
    const bool agent = method == BdmMethod::kAgent && !secured;
    if (result == 0 && agent) {
        result = agent_require();
    }
    if (result == 0) {
        result = agent ? agent_command(agent_cmd::kEepromErase, nullptr) : eeprom_mass_erase();
    }
    if (result != 0) {
        return result;
    }
    print_info("EEPROM erase: memory erased\n");
    if (settings().verify == 0) {
        return reconnect_if(secured);
    }
    if (agent) {
        uint8_t status = 0;
        if ((result = agent_command(agent_cmd::kEepromEraseVerify, &status)) != 0) {
            return result;
        }
        if (status == agent_status::kNotClear) {
            report_error("EEPROM erase verify failed - memory not clear\n");
            return EIO;
        }
        if (status != agent_status::kDone) {
            report_error("EEPROM erase verify failed - unknown response (status 0x%02X)\n", status);
            return EINVAL;
        }
    } else {
        const BdmPod& pod = active_pod();
        uint8_t status = 0;
        if ((result = write(eeprom_reg::kEstat, nvm::kClearFlags)) != 0 ||
            (result = pod.write_word(eeprom_reg::kEdata, 0)) != 0 ||
            (result = pod.write_word(eeprom_reg::kEaddr, 0)) != 0 ||
            (result = eeprom_command(nvm::kEraseVerify)) != 0 ||
            (result = pod.read_byte(eeprom_reg::kEstat, &status)) != 0) {
            return result;
        }
        if ((status & nvm::kBlank) == 0) {
            report_error("EEPROM erase verify failed - memory not clear\n");
            return EIO;
        }
    }
    print_info("EEPROM erase: verify ok\n");
    return reconnect_if(secured);
}

namespace {

// The file's data and the words it gives: the image twice, preset to 0xFF and to 0x00 (where
// they agree the file gives the byte), with its name, info and range printed, each line
// starting with `label`. Leaves `runs` empty when the file holds no data; *last is its final
// byte.
int load_given(const char* path, const char* label, std::vector<uint8_t>* image,
               std::vector<WordRun>* runs, uint32_t* last, uint32_t* total) {
    const TargetModel& m = target();
    std::vector<uint8_t> probe;
    int result = 0;
    if ((result = allocate_image(image, m.eeprom_size)) != 0 ||
        (result = allocate_image(&probe, m.eeprom_size)) != 0) {
        return result;
    }
    std::fill(probe.begin(), probe.end(), uint8_t{0x00});
    print_info("%s: data file <%s>\n", label, path);
    char info[kInfoSize] = {};
    uint32_t lowest = m.eeprom_size;
    uint32_t highest = 0;
    if ((result = srec_read(path, info, kInfoSize, image->data(), m.eeprom_size, nullptr, nullptr,
                            &lowest, &highest, eeprom_address_to_offset)) != 0 ||
        (result = srec_read(path, nullptr, 0, probe.data(), m.eeprom_size, nullptr, nullptr,
                            nullptr, nullptr, eeprom_address_to_offset)) != 0) {
        return result;
    }
    if (lowest > highest || lowest >= m.eeprom_size) {
        // No data records: nothing to write or compare.
        print_info("%s: data info <%s>\n", label, info);
        return 0;
    }
    const uint32_t first = m.eeprom_base + lowest;
    *last = m.eeprom_base + highest;
    print_info("%s: data info <%s>\n%s: address range <0x%04X-0x%04X> length <0x%04X>\n", label,
               info, label, first, *last, *last - first + 1);
    // Only the words the file gives, whole: the other byte of a word half given stays 0xFF.
    if ((result = given_runs(*image, probe, lowest, highest, runs)) != 0) {
        return result;
    }
    *total = 0;
    for (const WordRun& run : *runs) {
        *total += run.length;
    }
    return 0;
}

// The words the file gives read back and compared, with the `label: verify` bar and line.
int verify_given(const std::vector<uint8_t>& image, const std::vector<WordRun>& runs,
                 uint32_t total, const char* label) {
    char bar[32];
    std::snprintf(bar, sizeof bar, "%s: verify", label);
    const uint64_t start = progress_start(bar);
    if (const int result = verify_words(image, runs, total); result != 0) {
        return result;
    }
    progress_end(start, bar, total);
    print_info("%s: verify ok\n", label);
    return 0;
}

}  // namespace

int bdm_eeprom_write(const char* path) {
    const TargetModel& m = target();
    BdmMethod method = BdmMethod::kDirect;
    int result = prepare("bdm_eeprom_write", "EEPROM write", true, &method);
    if (result == 0 && method == BdmMethod::kAgent) {
        result = agent_require();
    }
    if (result != 0) {
        return result;
    }
    std::vector<uint8_t> image;
    std::vector<WordRun> runs;
    uint32_t last = 0;
    uint32_t total = 0;
    if ((result = load_given(path, "EEPROM write", &image, &runs, &last, &total)) != 0 ||
        runs.empty()) {
        return result;
    }
    if (last >= m.eeprom_base + m.eeprom_size - kProtectedField && settings().force == 0) {
        report_error(
            "EEPROM data covers protected area. If this is intended, consider -f option.\n");
        return EINVAL;
    }
    const uint64_t start = progress_start("EEPROM write: data");
    if ((result = program_words(image, runs, total, method)) != 0) {
        return result;
    }
    progress_end(start, "EEPROM write: data", total);
    if (settings().verify == 0) {
        return 0;
    }
    return verify_given(image, runs, total, "EEPROM write");
}

// --verify-eeprom: the words the file gives, read back and compared as -v does after -C.
int bdm_eeprom_verify(const char* path) {
    BdmMethod method = BdmMethod::kDirect;
    int result = prepare("bdm_eeprom_read", "EEPROM verify", true, &method);
    if (result != 0) {
        return result;
    }
    std::vector<uint8_t> image;
    std::vector<WordRun> runs;
    uint32_t last = 0;
    uint32_t total = 0;
    if ((result = load_given(path, "EEPROM verify", &image, &runs, &last, &total)) != 0 ||
        runs.empty()) {
        return result;
    }
    return verify_given(image, runs, total, "EEPROM verify");
}

int bdm_eeprom_protect(const char* range) {
    const TargetModel& m = target();
    BdmMethod method = BdmMethod::kDirect;
    int result = prepare("bdm_eeprom_protect", "EEPROM protect", true, &method);
    if (result != 0) {
        return result;
    }
    const EepromProtection* protection = eeprom_protection_find(range);
    if (protection == nullptr) {
        report_error("invalid EEPROM protection area: %s\n", range);
        return EINVAL;
    }
    const BdmPod& pod = active_pod();
    uint8_t eprot = 0;
    if ((result = pod.read_byte(eeprom_reg::kEprot, &eprot)) != 0) {
        return result;
    }
    if (eprot != kNoProtection && settings().force == 0) {
        report_error("EEPROM protection already set\n");
        return EINVAL;
    }
    if (method == BdmMethod::kAgent && (result = agent_require()) != 0) {
        return result;
    }
    const auto end = static_cast<uint16_t>(m.eeprom_base + m.eeprom_size);
    const auto field = static_cast<uint16_t>(end - kProtectedField);
    uint8_t bytes[kProtectedField] = {};
    if ((result = pod.read_block(field, bytes, kProtectedField)) != 0) {
        return result;
    }
    const uint32_t at = kProtectedField - kProtectionFromEnd;
    bytes[at] = protection->value;
    if (method == BdmMethod::kAgent) {
        result = agent_write_batches(field, bytes, kProtectedField, false);
    } else {
        // The word holding the byte; its high byte keeps what the EEPROM has there.
        result = eeprom_program_word(static_cast<uint16_t>(end - kProtectionFromEnd - 1),
                                     be16_get(bytes + at - 1));
    }
    if (result != 0) {
        return result;
    }
    if (eprot != kNoProtection) {
        print_info("EEPROM protect: protection already set - forced overwrite\n");
    }
    if (protection->block_size == 0) {
        print_info("EEPROM protect: whole area\n");
    } else {
        print_info("EEPROM protect: address range <0x%04X-0x%04X> block size <%uB>\n",
                   m.eeprom_base + m.eeprom_size - protection->block_size,
                   m.eeprom_base + m.eeprom_size - 1, protection->block_size);
    }
    if (settings().verify == 0) {
        return 0;
    }
    uint8_t value = 0;
    if ((result = pod.read_byte(static_cast<uint16_t>(end - kProtectionFromEnd), &value)) != 0) {
        return result;
    }
    if (value != protection->value) {
        report_error("EEPROM protection error\n");
        return EIO;
    }
    print_info("EEPROM protect: verify ok\n");
    return 0;
}

}  // namespace zelv
