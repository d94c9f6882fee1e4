// Puts the run's single records (settings, description list, target model, console mode)
// back to their defaults, and builds target models from description text, so that every
// test starts from a clean run.
#pragma once

#include <string>

#include "test_support.h"

namespace zelv::test {

// Settings to their defaults (quiet unless a test turns `verbose` on), the description list
// freed, the target model cleared, standard output judged by isatty again.
void reset_run_state();

// Writes `text` as a description file in `dir` and loads it with description_load.
[[nodiscard]] int load_description_text(const TempDir& dir, const std::string& text);

// Loads `text` and builds the target model from it, quietly.
[[nodiscard]] int build_target_from(const TempDir& dir, const std::string& text);

// A complete description for a FLASH module of the module table, with the given EEPROM
// module and family; extra lines are appended (they can override the defaults).
[[nodiscard]] std::string description_text(const std::string& flash_module,
                                           const std::string& eeprom_module = "EETS4K",
                                           const std::string& family = "HCS12",
                                           const std::string& extra = "");

}  // namespace zelv::test
