// sim/common: the simulator's ground floor (its log, finding its own libraries, serving a
// device on a pseudo-terminal). It knows nothing of MCUs, devices or faults.
//
// Messages of the virtual target. They go to standard error with the program's name in
// front, so that they never mix with the messages of the zelvanor run they serve, whose
// output the tests compare.
#pragma once

#define ZELV_SIM_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

namespace zelv::sim {

// "zelvanor-sim: " and the formatted message (which carries its own line feed).
void sim_error(const char* format, ...) ZELV_SIM_PRINTF(1, 2);

// Silences sim_error (the unit tests provoke failures on purpose).
void sim_set_quiet(bool quiet);

}  // namespace zelv::sim
