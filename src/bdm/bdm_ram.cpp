#include "bdm/bdm_ram.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "bdm/bdm_connect.h"
#include "bdm/bdm_operations.h"
#include "bdm/bdm_state.h"
#include "mcu/status_report.h"
#include "memops/memory_image.h"
#include "srec/srec.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr unsigned kInfoSize = 256;
constexpr uint32_t kNoEntry = 0xFFFFFFFFU;
constexpr uint32_t kLoadChunk = 256;
constexpr uint16_t kInitrmAddress = 0x0010;
constexpr uint16_t kInitrgAddress = 0x0011;

int write_image(const std::vector<uint8_t>& image, uint32_t lowest, uint32_t length) {
    const TargetModel& m = target();
    const uint64_t start = progress_start("RAM load: data");
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(kLoadChunk, length - done);
        const auto address = static_cast<uint16_t>(m.ram_base + lowest + done);
        if (const int result =
                active_pod().write_block(address, image.data() + lowest + done, piece);
            result != 0) {
            return result;
        }
        done += piece;
        progress_step(done, length);
    }
    // No summary line: the RAM load shows only its bar.
    progress_end(start, nullptr, 0);
    return 0;
}

// The RAM window predicted before open, for the check's address map.
uint32_t predicted_base = 0;
uint32_t predicted_size = 0;

uint32_t predicted_offset(uint32_t address) {
    if (address >= predicted_base &&
        uint64_t{address} < uint64_t{predicted_base} + predicted_size) {
        return address - predicted_base;
    }
    return predicted_size;
}

// The last init byte the description writes to `address`, if any.
bool init_byte_for(uint16_t address, uint8_t* value) {
    bool found = false;
    (void)description_get(nullptr, true);
    for (const char* text = description_get("bdm_init_byte", false); text != nullptr;
         text = description_get("bdm_init_byte", false)) {
        uint16_t at = 0;
        uint8_t byte = 0;
        if (bdm_parse_init_byte(text, &at, &byte) && at == address) {
            *value = byte;
            found = true;
        }
    }
    return found;
}

// The RAM window as the connection will find it, where the description alone decides it:
// the HCS12X's fixed window; on the HC12 and HCS12 the INITRM the init bytes write (with the
// registers left at 0, and on the HCS12 the RAM space its size needs: the smallest of 2, 4,
// 8 and 16 KB that holds it, as MEMSIZ gives it).
bool predict_ram_window(uint32_t* base, uint32_t* size) {
    const TargetModel& m = target();
    if (m.family_id == kFamilyHcs12x) {
        *base = 0x1000;
        *size = std::min<uint32_t>(m.ram_size, 0x3000);
        return true;
    }
    uint8_t initrm = 0;
    uint8_t initrg = 0;
    if ((m.family_id != kFamilyHc12 && m.family_id != kFamilyHcs12) ||
        init_byte_for(kInitrgAddress, &initrg) || !init_byte_for(kInitrmAddress, &initrm)) {
        return false;
    }
    *size = m.ram_size;
    *base = (static_cast<uint32_t>(initrm) << 8) & 0xF800;
    if (m.family_id == kFamilyHc12) {
        return true;
    }
    uint32_t space = 0x800;
    while (space < m.ram_size && space < 0x4000) {
        space <<= 1;
    }
    if (space < m.ram_size) {
        return false;
    }
    *base &= ~(space - 1);
    if ((initrm & 1) != 0) {
        *base += space - m.ram_size;  // RAMHAL
    }
    return true;
}

}  // namespace

int bdm_ram_image_check(const char* path) {
    if (!predict_ram_window(&predicted_base, &predicted_size) || predicted_size == 0) {
        return 0;
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, predicted_size); result != 0) {
        return result;
    }
    return srec_read(path, nullptr, 0, image.data(), predicted_size, nullptr, nullptr, nullptr,
                     nullptr, predicted_offset);
}

uint32_t ram_address_to_offset(uint32_t address) {
    const TargetModel& m = target();
    if (address >= m.ram_base && uint64_t{address} < uint64_t{m.ram_base} + m.ram_size) {
        return address - m.ram_base;
    }
    return m.ram_size;
}

int ram_load(const char* path, RamLoadKind kind) {
    BdmEngineState& state = bdm_state();
    const TargetModel& m = target();
    const bool agent = kind == RamLoadKind::kAgent;
    if (const int result = ram_window_check(agent ? "RAM agent load" : "RAM load"); result != 0) {
        return result;
    }
    if (!agent) {
        state.agent_loaded = false;
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, m.ram_size); result != 0) {
        return result;
    }
    print_info("RAM load: %s file <%s>\n", agent ? "agent" : "image", path);
    char info[kInfoSize] = {};
    uint32_t entry = kNoEntry;
    uint32_t lowest = m.ram_size;
    uint32_t highest = 0;
    if (const int result = srec_read(path, info, kInfoSize, image.data(), m.ram_size, nullptr,
                                     &entry, &lowest, &highest, ram_address_to_offset);
        result != 0) {
        return result;
    }
    // The reader lets an entry of 0 through unchecked ("no entry point"); where RAM does not
    // start at 0 it maps outside RAM, and a program cannot start there.
    if (entry >= m.ram_size) {
        entry = kNoEntry;
    }
    // -j gives a program its start, never an agent: the agent's own entry is where every
    // command starts it.
    if (entry == kNoEntry && (agent || settings().start_address_set == 0)) {
        report_error("entry address not specified\n");
        return EINVAL;
    }
    const bool has_data = lowest <= highest && lowest < m.ram_size;
    const uint32_t first = m.ram_base + lowest;
    const uint32_t last = m.ram_base + highest;
    const uint32_t length = has_data ? highest - lowest + 1 : 0;
    if (agent) {
        // The parameter block is the agent's lowest loaded address, and its words must be
        // aligned for the word accesses of the command protocol.
        if (!has_data) {
            report_error("RAM agent file holds no data\n");
            return EINVAL;
        }
        if ((first & 1) != 0) {
            report_error("invalid RAM agent parameter address: 0x%04X\n", first);
            return EINVAL;
        }
    }
    state.ram_entry =
        entry != kNoEntry ? entry + m.ram_base : static_cast<uint32_t>(settings().start_address);

    if (agent) {
        print_info("RAM load: address range <0x%04X-0x%04X> length <0x%04X> entry <0x%04X>\n",
                   first, last, length, state.ram_entry);
    } else {
        print_info("RAM load: image info <%s>\n", info);
        if (has_data) {
            print_info("RAM load: address range <0x%04X-0x%04X> length <0x%04X> entry <0x%04X>\n",
                       first, last, length, state.ram_entry);
        }
    }
    if (has_data) {
        if (const int result = write_image(image, lowest, length); result != 0) {
            return result;
        }
    }
    if (agent) {
        state.agent_params = static_cast<uint16_t>(first);
    }
    return 0;
}

int bdm_ram_run(const char* path) {
    const TargetModel& m = target();
    BdmEngineState& state = bdm_state();
    // The program did not run: the run must not end as if it had.
    if (m.secured != 0 && settings().force == 0) {
        report_error("RAM run: MCU secured (-f option forces loading and running the program)\n");
        return EIO;
    }
    if (const int result = ram_load(path, RamLoadKind::kImage); result != 0) {
        return result;
    }
    if (settings().start_address_set != 0) {
        state.ram_entry = static_cast<uint32_t>(settings().start_address);
    }
    const BdmPod& pod = active_pod();
    int result = pod.write_reg(kRegisterPc, static_cast<uint16_t>(state.ram_entry & 0xFFFF));
    if (result == 0) {
        result = pod.go();
    }
    if (result != 0) {
        return result;
    }
    print_info("RAM run: image loaded and started from adrress <0x%04X>\n", state.ram_entry);
    return 0;
}

}  // namespace zelv
