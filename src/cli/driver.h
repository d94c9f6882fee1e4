// The operation driver: one run of one command line against one target.
#pragma once

namespace zelv {

// Runs the command line and returns the exit status: 0 after -h and after a run in which the
// interface opened, every operation succeeded and the interface closed; 1 otherwise.
[[nodiscard]] int zelvanor_main(int argc, char** argv);

}  // namespace zelv
