// sim/program: zelvanor-sim itself: its options, the part profiles, the state file and main.
// The only place that puts an MCU, a front and a line together.
//
// The parts the virtual target knows. Each profile holds what a target description cannot
// tell (the part id) and the memory layout of the description shipped for it in data/, so
// the simulator runs without the data directory; --target replaces the layout.
#pragma once

#include <cstdint>

#include "mcu/virtual_mcu.h"

namespace zelv::sim {

struct PartProfile {
    const char* name;         // short name for --part
    const char* mcu;          // the part, as the description's "mcu" line names it
    const char* description;  // file name of the shipped description in data/
    const char* flash_module;
    const char* eeprom_module;
    uint16_t part_id;
    McuLayout layout;
};

// The profiles, and how many there are.
[[nodiscard]] const PartProfile* part_profiles(unsigned* count);

// Finds a profile by its short name, its MCU name or its description's name (without
// ".dat"), ignoring case; nullptr when none matches.
[[nodiscard]] const PartProfile* find_part_profile(const char* name);

// The configuration of a profile's part with the given layout (the profile's own, or one
// read from a description): part id and derived register reset values. Returns 0 or EINVAL.
// Reads the memory layout from a target description (a path, or a name looked up in the data
// directory as zelvanor does) through the program's own description loader and target
// model. Returns 0, or an error number (the loader's messages, or one of ours).
[[nodiscard]] int layout_from_description(const char* target, McuLayout* layout);

[[nodiscard]] int part_config(const PartProfile& profile, const McuLayout& layout,
                              McuConfig* config);

}  // namespace zelv::sim
