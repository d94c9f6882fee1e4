// zelvanor-sim --run with --part: a CPU12 script on a part's memory map.
#pragma once

namespace zelv::sim {

// zelvanor-sim --run SCRIPT --part NAME [--trace]: the script on the part's memory map, as
// after a normal reset (registers at 0x0000, RAM and EEPROM where the start-up code puts
// them, FLASH erased, so loads there need the module's command sequence as on the part).
// PPAGE keeps its reset value unless the script gives one. Returns the exit status.
// argv[0] is "--run".
[[nodiscard]] int run_on_part(int argc, char** argv);

}  // namespace zelv::sim
