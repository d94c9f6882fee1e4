#include "link/usb_access.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "base/settings.h"
#include "link/dynamic_library.h"

namespace zelv {
namespace {

using namespace libusb0;

struct UsbFunctions {
    usb_init_function init = nullptr;
    usb_strerror_function strerror = nullptr;
    usb_find_busses_function find_busses = nullptr;
    usb_find_devices_function find_devices = nullptr;
    usb_get_busses_function get_busses = nullptr;
    usb_device_function device = nullptr;
    usb_open_function open = nullptr;
    usb_close_function close = nullptr;
    usb_set_configuration_function set_configuration = nullptr;
    usb_claim_interface_function claim_interface = nullptr;
    usb_release_interface_function release_interface = nullptr;
    usb_control_msg_function control_msg = nullptr;
    usb_bulk_read_function bulk_read = nullptr;
    usb_bulk_write_function bulk_write = nullptr;
    usb_get_string_simple_function get_string_simple = nullptr;
};

struct UsbLibrary {
    void* handle = nullptr;
    int references = 0;
    const char* name = kUsbLibraryNames[0];  // the name that loaded
    UsbFunctions functions;
};

UsbLibrary& library() {
    static UsbLibrary state;
    return state;
}

template <typename Function>
int resolve(void* handle, const char* name, Function* slot) {
    DlFunction found = nullptr;
    const int result = dl_func(handle, name, &found);
    *slot = reinterpret_cast<Function>(found);
    return result;
}

// Every function is required, in this order; the first one missing ends the lookup.
int resolve_all(void* handle, UsbFunctions* f) {
    int result = 0;
    const auto step = [&](const char* name, auto* slot) {
        if (result == 0) {
            result = resolve(handle, name, slot);
        }
    };
    step("usb_init", &f->init);
    step("usb_strerror", &f->strerror);
    step("usb_find_busses", &f->find_busses);
    step("usb_find_devices", &f->find_devices);
    step("usb_get_busses", &f->get_busses);
    step("usb_device", &f->device);
    step("usb_open", &f->open);
    step("usb_close", &f->close);
    step("usb_set_configuration", &f->set_configuration);
    step("usb_claim_interface", &f->claim_interface);
    step("usb_release_interface", &f->release_interface);
    step("usb_control_msg", &f->control_msg);
    step("usb_bulk_read", &f->bulk_read);
    step("usb_bulk_write", &f->bulk_write);
    step("usb_get_string_simple", &f->get_string_simple);
    return result;
}

const UsbFunctions* loaded_functions() {
    const UsbLibrary& lib = library();
    return lib.references > 0 ? &lib.functions : nullptr;
}

const char* library_text(const UsbFunctions& f) {
    const char* text = f.strerror();
    // An empty reason would leave the message ending in ": " with nothing after it.
    return text != nullptr && *text != '\0' ? text : "no reason given by the USB library";
}

// The library answers a failure with a negative errno value. Anything else that is not
// success (a positive number from a library that strays) still counts as a failure.
int library_error(int result) {
    return result < 0 ? -result : EIO;
}

// A name field of the library's lists, cut to its size and made safe to print.
void field_text(char (&text)[kPathMax + 1], const char* field) {
    const std::size_t length = strnlen(field, kPathMax);
    std::memcpy(text, field, length);
    text[length] = '\0';
    make_printable(text);
}

usb_device* find_device(const UsbFunctions& f, uint16_t vendor_id, uint16_t product_id,
                        usb_bus** on_bus) {
    for (usb_bus* bus = f.get_busses(); bus != nullptr; bus = bus->next) {
        for (usb_device* device = bus->devices; device != nullptr; device = device->next) {
            if (device->descriptor.idVendor == vendor_id &&
                device->descriptor.idProduct == product_id) {
                *on_bus = bus;
                return device;
            }
        }
    }
    return nullptr;
}

inline constexpr std::size_t kStringSize = 256;

struct DeviceString {
    uint8_t index;
    char text[kStringSize];
};

// Reads one string descriptor; index 0 is the device saying it has no such string, shown
// empty without asking. Returns 0, or the library's negative result.
int read_string(const UsbFunctions& f, UsbHandle handle, DeviceString* s) {
    s->text[0] = '\0';
    if (s->index == 0) {
        return 0;
    }
    const int result = f.get_string_simple(handle, s->index, s->text, kStringSize);
    if (result < 0) {
        s->text[0] = '\0';
        return result;
    }
    // The result is the string's length: the text ends there, even if the library left the
    // terminator out.
    s->text[std::min<std::size_t>(static_cast<std::size_t>(result), kStringSize - 1)] = '\0';
    make_printable(s->text);
    return 0;
}

void print_identity(const usb_device& device) {
    char usb_version[kUsbVersionTextSize];
    char release[kUsbVersionTextSize];
    usb_version_text(usb_version, device.descriptor.bcdUSB);
    usb_version_text(release, device.descriptor.bcdDevice);
    print_info("USB device USB version <%s> VID <0x%04x> PID <0x%04x> device release <%s>\n",
               usb_version, device.descriptor.idVendor, device.descriptor.idProduct, release);
}

void print_strings_and_configs(const usb_device& device, const DeviceString (&strings)[3]) {
    if (std::strcmp(strings[1].text, strings[2].text) == 0) {
        print_info("USB device manufacturer <%s> product <%s>\n", strings[0].text, strings[1].text);
    } else {
        print_info("USB device manufacturer <%s> product <%s> serial number <%s>\n",
                   strings[0].text, strings[1].text, strings[2].text);
    }
    // A device whose configurations could not be read has no array to show.
    if (device.config == nullptr) {
        return;
    }
    for (unsigned i = 1; i <= device.descriptor.bNumConfigurations; ++i) {
        const usb_config_descriptor& config = device.config[i - 1];
        print_info("USB device config <#%u> power <%s> max current <%umA>\n", i,
                   (config.bmAttributes & 0x40) != 0 ? "self" : "bus", 2u * config.MaxPower);
    }
}

// The steps of usbdev_open after the device was opened. On failure the caller closes it.
int bring_up(const UsbFunctions& f, UsbHandle handle, const usb_device& device) {
    DeviceString strings[3] = {{device.descriptor.iManufacturer, {}},
                               {device.descriptor.iProduct, {}},
                               {device.descriptor.iSerialNumber, {}}};
    int result = read_string(f, handle, &strings[0]);
    if (result < 0) {
        report_error("unable to read USB device manufacturer descriptor: %s\n", library_text(f));
        return -result;
    }
    result = read_string(f, handle, &strings[1]);
    if (result < 0) {
        report_error("unable to read USB device product descriptor: %s\n", library_text(f));
        return -result;
    }
    result = read_string(f, handle, &strings[2]);
    if (result < 0) {
        report_error("unable to read USB device serial number descriptor: %s\n", library_text(f));
        return -result;
    }
    if (settings().verbose) {
        print_strings_and_configs(device, strings);
    }
    result = f.set_configuration(handle, 1);
    if (result != 0) {
        report_error("unable to set USB device configuration: %s\n", library_text(f));
        return library_error(result);
    }
    result = f.claim_interface(handle, 0);
    if (result != 0) {
        report_error("unable to claim USB device interface: %s\n", library_text(f));
        return library_error(result);
    }
    return 0;
}

// The library takes lengths and time-outs as int.
int as_int(std::size_t value) {
    return static_cast<int>(std::min<std::size_t>(value, INT_MAX));
}

int as_int(unsigned value) {
    return static_cast<int>(std::min<unsigned>(value, INT_MAX));
}

}  // namespace

int usblib_load() {
    UsbLibrary& lib = library();
    if (lib.references > 0) {
        ++lib.references;
        return 0;
    }
    void* handle = nullptr;
    int result = 0;
    for (const char* name : kUsbLibraryNames) {
        result = dl_open(name, &handle);
        if (result == 0) {
            lib.name = name;
            break;
        }
    }
    if (handle == nullptr) {
        report_error("unable to open usb library (%s): %s\n", kUsbLibraryNames[0], dl_error_text());
        return result;
    }
    UsbFunctions functions;
    result = resolve_all(handle, &functions);
    if (result != 0) {
        (void)dl_close(&handle);
        report_error("invalid usb library (%s): missing symbols\n", lib.name);
        return result;
    }
    lib.handle = handle;
    lib.functions = functions;
    lib.references = 1;
    functions.init();
    const int busses = functions.find_busses();
    print_debug("USB busses: %d\n", busses);
    const int devices = functions.find_devices();
    print_debug("USB devices: %d\n", devices);
    return 0;
}

int usblib_unload() {
    UsbLibrary& lib = library();
    if (lib.references == 0) {
        return 0;
    }
    if (--lib.references > 0) {
        return 0;
    }
    lib.functions = UsbFunctions{};
    const int result = dl_close(&lib.handle);
    if (result != 0) {
        report_error("unable to close usb library (%s): %s\n", lib.name, dl_error_text());
    }
    return result;
}

int usbdev_open(UsbHandle* handle, uint16_t vendor_id, uint16_t product_id) {
    *handle = nullptr;
    const UsbFunctions* f = loaded_functions();
    usb_bus* bus = nullptr;
    usb_device* device = f != nullptr ? find_device(*f, vendor_id, product_id, &bus) : nullptr;
    if (device == nullptr) {
        report_error("USB device not found\n");
        return ENOENT;
    }
    if (settings().debug) {
        char filename[kPathMax + 1];
        char dirname[kPathMax + 1];
        field_text(filename, device->filename);
        field_text(dirname, bus->dirname);
        print_debug("USB device <%s> bus <%s>\n", filename, dirname);
    }
    if (settings().verbose) {
        print_identity(*device);
    }
    UsbHandle opened = f->open(device);
    if (opened == nullptr) {
        report_error("unable to open USB device\n");
        return EIO;
    }
    const int result = bring_up(*f, opened, *device);
    if (result != 0) {
        // Nothing was claimed; the failure has been reported, so closing stays quiet.
        (void)f->close(opened);
        return result;
    }
    *handle = opened;
    return 0;
}

int usbdev_close(UsbHandle* handle) {
    const UsbFunctions* f = loaded_functions();
    if (*handle == nullptr || f == nullptr) {
        *handle = nullptr;
        return 0;
    }
    if (f->release_interface(*handle, 0) != 0) {
        report_error("unable to release USB device interface: %s\n", library_text(*f));
    }
    if (f->close(*handle) != 0) {
        report_error("unable to close USB device: %s\n", library_text(*f));
    }
    *handle = nullptr;
    return 0;
}

int usbdev_control(UsbHandle handle, unsigned request_type, unsigned request, unsigned value,
                   unsigned index, uint8_t* buffer, std::size_t* size, unsigned timeout_ms) {
    const UsbFunctions* f = loaded_functions();
    if (f == nullptr || handle == nullptr || *size > 0xFFFF) {
        report_error("unable to send control message to USB device: %s\n",
                     *size > 0xFFFF ? "invalid length" : "no device open");
        return EINVAL;
    }
    const int result = f->control_msg(
        handle, static_cast<int>(request_type & 0xFF), static_cast<int>(request & 0xFF),
        static_cast<int>(value & 0xFFFF), static_cast<int>(index & 0xFFFF),
        reinterpret_cast<char*>(buffer), as_int(*size), as_int(timeout_ms));
    if (result < 0) {
        report_error("unable to send control message to USB device: %s\n", library_text(*f));
        return -result;
    }
    *size = std::min(*size, static_cast<std::size_t>(result));
    return 0;
}

int usbdev_bulk_read(UsbHandle handle, unsigned endpoint, uint8_t* buffer, std::size_t* size,
                     unsigned timeout_ms) {
    const UsbFunctions* f = loaded_functions();
    if (f == nullptr || handle == nullptr || *size > INT_MAX) {
        report_error("unable to read data from USB device: %s\n",
                     *size > INT_MAX ? "invalid length" : "no device open");
        return EINVAL;
    }
    const int result =
        f->bulk_read(handle, static_cast<int>((endpoint | 0x80) & 0xFF),
                     reinterpret_cast<char*>(buffer), as_int(*size), as_int(timeout_ms));
    if (result < 0) {
        report_error("unable to read data from USB device: %s\n", library_text(*f));
        return -result;
    }
    *size = std::min(*size, static_cast<std::size_t>(result));
    return 0;
}

int usbdev_bulk_write(UsbHandle handle, unsigned endpoint, const uint8_t* data, std::size_t* size,
                      unsigned timeout_ms) {
    const UsbFunctions* f = loaded_functions();
    if (f == nullptr || handle == nullptr || *size > INT_MAX) {
        report_error("unable to write data to USB device: %s\n",
                     *size > INT_MAX ? "invalid length" : "no device open");
        return EINVAL;
    }
    const int result =
        f->bulk_write(handle, static_cast<int>(endpoint & 0xFF),
                      reinterpret_cast<const char*>(data), as_int(*size), as_int(timeout_ms));
    if (result < 0) {
        report_error("unable to write data to USB device: %s\n", library_text(*f));
        return -result;
    }
    *size = std::min(*size, static_cast<std::size_t>(result));
    return 0;
}

void usb_version_text(char (&text)[kUsbVersionTextSize], uint16_t version) {
    const unsigned major = version >> 8;
    const unsigned minor = (version >> 4) & 0x0F;
    const unsigned sub = version & 0x0F;
    if (sub != 0) {
        std::snprintf(text, sizeof text, "%u.%u.%u", major, minor, sub);
    } else {
        std::snprintf(text, sizeof text, "%u.%u", major, minor);
    }
}

}  // namespace zelv
