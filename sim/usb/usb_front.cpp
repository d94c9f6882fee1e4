#include "usb/usb_front.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/library_folder.h"
#include "common/sim_log.h"
#include "usb/usb_wire.h"

namespace zelv::sim {

const char* usb_bus_layout(UsbBusVariant variant) {
    switch (variant) {
        case UsbBusVariant::kPod:
            break;
        case UsbBusVariant::kNoDevice:
            return "hub";
        case UsbBusVariant::kTwoPods:
            return "hub@1,tbdml@1,hub@2,tbdml@2";
        case UsbBusVariant::kForeignFirst:
            return "hub,same-vendor,same-product,tbdml";
    }
    return "hub,tbdml";
}

const char* usb_library_folder(UsbLibraryVariant variant) {
    switch (variant) {
        case UsbLibraryVariant::kStandIn:
            break;
        case UsbLibraryVariant::kMissingSymbol:
            return "usb-missing-symbol";
        case UsbLibraryVariant::kUnloadable:
            return "usb-unloadable";
        case UsbLibraryVariant::kLinkerScript:
            return "usb-linker-script";
    }
    return "usb";
}

std::string usb_standin_base() {
    return sim_library_folder("usb/libusb.so");
}

int usb_child_environment(const std::string& base, const UsbFaults& faults,
                          const std::string& socket_path, std::vector<std::string>* entries) {
    try {
        const char* path = std::getenv("LD_LIBRARY_PATH");
        entries->push_back("LD_LIBRARY_PATH=" + base + "/" + usb_library_folder(faults.library) +
                           (path != nullptr && *path != '\0' ? ":" + std::string(path) : ""));
        entries->push_back(std::string(kUsbBusEnvironment) + "=" + usb_bus_layout(faults.bus));
        if (!socket_path.empty()) {
            entries->push_back(std::string(kUsbSocketEnvironment) + "=" + socket_path);
        }
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    return 0;
}

}  // namespace zelv::sim
