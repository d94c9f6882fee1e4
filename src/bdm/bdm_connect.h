// The BDM engine's front: opening the active pod, bringing the MCU into background mode,
// identifying it and programming its FLASH and EEPROM clock dividers.
#pragma once

#include <cstdint>

namespace zelv {

// The open of both BDM interfaces, once the active pod was chosen: the pod's open, the
// target access callbacks set to the pod's byte and word accesses, then bdm_connect with the
// verbose setting. A failed connect closes the pod again. Returns 0 or an error number.
[[nodiscard]] int bdm_open();

// Resets the MCU into special single-chip mode, waits the description's bdm_startup_delay,
// reads BDMSTS (security_erased from UNSEC), identifies HCS12 and HCS12X parts from PARTID,
// writes the bdm_init_byte lines in file order, programs FCLKDIV and ECLKDIV (HCS12 and
// HCS12X), and runs the status report, which must succeed. With verbose it prints the BDM
// status, part id and report lines and a closing empty line. The agent counts as gone
// afterwards. Returns 0 or an error number.
[[nodiscard]] int bdm_connect(bool verbose);

// The FLASH/EEPROM clock divider byte for an oscillator of osc Hz: PRDIV8 (0x40) and FDIV in
// bits 5-0, with the FLASH clock *fclk in 150-200 kHz. Reports and returns EINVAL for an
// oscillator below 2 MHz and for one no divider fits.
[[nodiscard]] int bdm_clock_divider(unsigned long osc, uint8_t* divider, unsigned long* fclk);

// Parses a bdm_init_byte value: an address, exactly one blank, a byte value, both numbers
// with digits (0x hexadecimal, 0 octal, else decimal) and nothing after the second. The
// numbers are cut to 16 and 8 bits. False for anything else.
[[nodiscard]] bool bdm_parse_init_byte(const char* text, uint16_t* address, uint8_t* value);

}  // namespace zelv
