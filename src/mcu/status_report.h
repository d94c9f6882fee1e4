// The MCU status report: completes the target model from the MCU's registers (memory map,
// security) through the target access callbacks and, with verbose, prints what it found.
#pragma once

namespace zelv {

// On an HCS12X the model's RAM and EEPROM sizes are then cut to the windows the CPU reaches
// (ram_space, eeprom_space). Returns 0, or the error of the first target access that failed (the
// report ends there).
[[nodiscard]] int status_report(bool verbose);

}  // namespace zelv
