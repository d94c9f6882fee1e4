#include "mcu/identify.h"

#include "base/console.h"
#include "target/target_model.h"

namespace zelv {
namespace {

// PARTID bits 15-12: the family letter; bits 11-8: the FLASH size; then the mask set.
constexpr const char* kFamilyLetters[16] = {
    "D",  "H",       "B",       "C",       "T",  "E",       "U",       "reserved",
    "NE", "unknown", "unknown", "unknown", "XD", "unknown", "unknown", "unknown",
};

constexpr unsigned kMemorySizes[16] = {256, 128, 64, 32, 512, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

bool identify_part(uint16_t part_id, bool verbose) {
    if (part_id == 0x0000 || part_id == 0xFFFF) {
        // All ones is what a dead line reads; all zeros a target that answers but is not set up.
        const char* hint = part_id == 0xFFFF
                               ? "check target OSC frequency, BDM cable attachment, MCU power, etc"
                               : "check BDM cable attachment, MCU power, configuration, etc";
        if (verbose) {
            print_always("%s part id <0x%04X>\n", target().family, part_id);
            report_error("unknown MCU (invalid part id)\nhint: %s\n", hint);
        } else {
            report_error("unknown MCU (invalid part id 0x%04X)\nhint: %s\n", part_id, hint);
        }
        return false;
    }
    const unsigned memory_kb = kMemorySizes[(part_id >> 8) & 0xF];
    if (verbose) {
        print_always("%s part id <0x%04X> family <%s> memory <%ukB> mask <%u.%u>\n",
                     target().family, part_id, kFamilyLetters[part_id >> 12], memory_kb,
                     (part_id >> 4) & 0xFU, part_id & 0xFU);
    }
    // A description for another part would erase or program pages this one lacks or leave
    // pages it has untouched: say so before any operation runs.
    const uint32_t flash_kb = target().flash_size / 1024;
    if (memory_kb != 0 && flash_kb != 0 && memory_kb != flash_kb) {
        report_warning("part id memory size <%ukB> differs from the description's FLASH size <%ukB>\n",
                       memory_kb, static_cast<unsigned>(flash_kb));
    }
    return true;
}

}  // namespace zelv
