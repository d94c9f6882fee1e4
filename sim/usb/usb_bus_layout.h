// The devices on the virtual USB bus, as the stand-in libusb.so presents them: what each
// kind of device says about itself, and the layout text that zelvanor-sim (or a test) puts
// in the stand-in's environment.
//
// Layout text: devices separated by commas, in list order (the order the library hands the
// busses and their devices to the program):
//
//     KIND[@BUS][:FLAG]...
//
// KIND is tbdml (the pod), hub (a root hub), same-vendor (another product of the pod's
// vendor) or same-product (the pod's product ID under another vendor). BUS is 1 to 127
// (default 1); busses appear in the order of their first device, devices are numbered from
// 1 on each bus. FLAGs shape one device for tests of the program's error paths:
//
//     no-config        the configuration array is missing (as when it could not be read)
//     no-strings       every string index is 0 (no strings)
//     no-serial        the serial number index is 0
//     serial=TEXT      the serial number string (TEXT without ',' or ':')
//     fail-open        usb_open gives no handle
//     fail-manufacturer, fail-product, fail-serial
//                      reading that string descriptor fails (the device stalls)
//     fail-configure   selecting the configuration fails (busy)
//     fail-claim       claiming the interface fails (busy)
//     fail-release     releasing the interface fails
//     fail-close       closing the device reports a failure
//
// An empty text is a host without busses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelv::sim {

enum class UsbDeviceKind { kTbdml, kHub, kSameVendor, kSameProduct };

// What a device says about itself in its descriptors.
struct UsbIdentity {
    const char* kind_name;
    uint16_t vendor_id;
    uint16_t product_id;
    uint16_t bcd_usb;
    uint16_t bcd_device;
    uint8_t device_class;
    uint8_t interface_class;
    const char* manufacturer;
    const char* product;
    const char* serial_prefix;  // the n-th device of its kind gets prefix + n
    uint8_t config_attributes;  // bit 0x40: self-powered
    uint8_t max_power;          // units of 2 mA
    uint8_t endpoint_count;
    uint8_t endpoints[2];         // addresses; bit 7 = IN
    uint8_t endpoint_attributes;  // transfer type of the endpoints
    uint16_t max_packet;
};

// The pod's identity on the bus.
inline constexpr uint16_t kTbdmlVendorId = 0x0425;
inline constexpr uint16_t kTbdmlProductId = 0x1000;

[[nodiscard]] const UsbIdentity& usb_identity(UsbDeviceKind kind);

enum UsbCallFailure : unsigned {
    kFailOpen = 1u << 0,
    kFailManufacturer = 1u << 1,
    kFailProduct = 1u << 2,
    kFailSerial = 1u << 3,
    kFailConfigure = 1u << 4,
    kFailClaim = 1u << 5,
    kFailRelease = 1u << 6,
    kFailClose = 1u << 7,
};

struct UsbDeviceSpec {
    UsbDeviceKind kind = UsbDeviceKind::kTbdml;
    unsigned bus = 1;
    unsigned number = 0;  // on its bus, from 1; filled by the parser
    bool no_config = false;
    bool no_strings = false;
    bool no_serial = false;
    std::string serial;     // filled by the parser when not given
    unsigned failures = 0;  // UsbCallFailure bits
};

// Parses a layout text. Returns 0, EINVAL with *error saying what is wrong, or ENOMEM.
[[nodiscard]] int parse_usb_bus_layout(const char* text, std::vector<UsbDeviceSpec>* devices,
                                       std::string* error);

}  // namespace zelv::sim
