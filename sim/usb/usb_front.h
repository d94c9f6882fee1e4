// Puts the virtual USB bus in front of a command: the folder of the chosen stand-in
// library first on its library path, and the bus layout and the server's socket in its
// environment, so that the program loads "libusb.so" by name and finds the virtual pod.
#pragma once

#include <string>
#include <vector>

#include "faults/usb_faults.h"

namespace zelv::sim {

// The layout text (usb_bus_layout.h) of a bus variant.
[[nodiscard]] const char* usb_bus_layout(UsbBusVariant variant);

// The folder, below the stand-in base folder, that holds a library variant.
[[nodiscard]] const char* usb_library_folder(UsbLibraryVariant variant);

// The base folder of the stand-in libraries: next to the running zelvanor-sim when built
// there, else where they are installed. "" (with a message) when neither holds them.
[[nodiscard]] std::string usb_standin_base();

// "NAME=value" entries for the command: LD_LIBRARY_PATH with the variant's folder in front of
// whatever it held, the layout, and the socket (left out when socket_path is empty: a bus
// without anyone answering for the pod). Returns 0 or ENOMEM with a message.
[[nodiscard]] int usb_child_environment(const std::string& base, const UsbFaults& faults,
                                        const std::string& socket_path,
                                        std::vector<std::string>* entries);

}  // namespace zelv::sim
