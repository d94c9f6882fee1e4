// The MCU status report: completes the target model from the MCU's registers (memory map,
// security) through the target access callbacks and, with verbose, prints what it found.
#pragma once

namespace zelv {

// On an HCS12X the model's RAM and EEPROM sizes are then cut to the windows the CPU reaches
// (ram_space, eeprom_space). Returns 0, or the error of the first target access that failed (the
// report ends there).
[[nodiscard]] int status_report(bool verbose);

// Once the report has read the memory map: where it found the EEPROM switched off, or lying
// under the register block or RAM (which take precedence in the map, so the EEPROM's
// addresses read and write them), `what` ("EEPROM read" ...) is refused with a message naming
// the overlap and the bdm_init_byte line that moves it: EINVAL. 0 otherwise (no EEPROM at
// all is the operation's own message).
[[nodiscard]] int eeprom_window_check(const char* what);

// The same for RAM loads: RAM under the register block is refused, naming the overlap and
// INITRM. 0 otherwise.
[[nodiscard]] int ram_window_check(const char* what);

}  // namespace zelv
