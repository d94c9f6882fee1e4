#include "usb_front.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sim_log.h"
#include "usb_wire.h"

namespace zelv::sim {

namespace {

std::string executable_folder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "";
    }
    path[length] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return "";
    }
    *slash = '\0';
    return path;
}

}  // namespace

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
    try {
        for (const std::string& folder : {executable_folder(), std::string(ZELV_SIM_LIBRARY_DIR)}) {
            if (!folder.empty() && access((folder + "/usb/libusb.so").c_str(), R_OK) == 0) {
                return folder;
            }
        }
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return "";
    }
    sim_error("cannot find the stand-in usb/libusb.so (next to zelvanor-sim or in %s)\n",
              ZELV_SIM_LIBRARY_DIR);
    return "";
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
