// Where zelvanor-sim finds the libraries it puts in front of the program it runs (the
// modem-line library, the stand-in libusb.so): next to the running zelvanor-sim when it was
// built there, else in the folder they are installed in.
#pragma once

#include <string>

namespace zelv::sim {

// The folder that holds `name` (a path below the library folder), "" with a message when
// neither place has it.
[[nodiscard]] std::string sim_library_folder(const char* name);

}  // namespace zelv::sim
