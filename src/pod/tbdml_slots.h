// Inside the TBDML driver: the slots of its table that live with the USB link
// (tbdml_link.cpp), for the table in tbdml.cpp.
#pragma once

#include <cstdint>

namespace zelv {

[[nodiscard]] int tbdml_open();
[[nodiscard]] int tbdml_close();
[[nodiscard]] int tbdml_reset_normal();
[[nodiscard]] int tbdml_reset_special();
[[nodiscard]] int tbdml_read_bd_byte(uint16_t address, uint8_t* value);

}  // namespace zelv
