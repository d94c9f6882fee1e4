#include "usb/usb_bus_layout.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

namespace zelv::sim {

namespace {

// A full-speed pod with one vendor interface and a bulk endpoint pair numbered 2, bus
// powered; a root hub; and two devices that match the pod in one ID only.
// clang-format off
constexpr UsbIdentity kIdentities[] = {
    {.kind_name = "tbdml", .vendor_id = kTbdmlVendorId, .product_id = kTbdmlProductId,
     .bcd_usb = 0x0110, .bcd_device = 0x0100, .device_class = 0x00, .interface_class = 0xFF,
     .manufacturer = "zelvanor-sim", .product = "virtual TBDML", .serial_prefix = "SIM-",
     .config_attributes = 0x80, .max_power = 50, .endpoint_count = 2, .endpoints = {0x82, 0x02},
     .endpoint_attributes = 0x02, .max_packet = 64},
    {.kind_name = "hub", .vendor_id = 0x1D6B, .product_id = 0x0001, .bcd_usb = 0x0110,
     .bcd_device = 0x0600, .device_class = 0x09, .interface_class = 0x09,
     .manufacturer = "zelvanor-sim", .product = "virtual root hub", .serial_prefix = "HUB-",
     .config_attributes = 0xE0, .max_power = 0, .endpoint_count = 1, .endpoints = {0x81, 0x00},
     .endpoint_attributes = 0x03, .max_packet = 2},
    {.kind_name = "same-vendor", .vendor_id = kTbdmlVendorId, .product_id = 0x1001,
     .bcd_usb = 0x0200, .bcd_device = 0x0100, .device_class = 0x00, .interface_class = 0xFF,
     .manufacturer = "zelvanor-sim", .product = "virtual USB device", .serial_prefix = "DEV-",
     .config_attributes = 0x80, .max_power = 100, .endpoint_count = 2, .endpoints = {0x81, 0x01},
     .endpoint_attributes = 0x02, .max_packet = 64},
    {.kind_name = "same-product", .vendor_id = 0x0426, .product_id = kTbdmlProductId,
     .bcd_usb = 0x0200, .bcd_device = 0x0100, .device_class = 0x00, .interface_class = 0xFF,
     .manufacturer = "zelvanor-sim", .product = "virtual USB device", .serial_prefix = "DEV-",
     .config_attributes = 0x80, .max_power = 100, .endpoint_count = 2, .endpoints = {0x81, 0x01},
     .endpoint_attributes = 0x02, .max_packet = 64},
};
// clang-format on

constexpr UsbDeviceKind kKinds[] = {UsbDeviceKind::kTbdml, UsbDeviceKind::kHub,
                                    UsbDeviceKind::kSameVendor, UsbDeviceKind::kSameProduct};

struct FlagName {
    const char* name;
    unsigned failure;
};

constexpr FlagName kFailures[] = {
    {"fail-open", kFailOpen},           {"fail-manufacturer", kFailManufacturer},
    {"fail-product", kFailProduct},     {"fail-serial", kFailSerial},
    {"fail-configure", kFailConfigure}, {"fail-claim", kFailClaim},
    {"fail-release", kFailRelease},     {"fail-close", kFailClose},
};

int invalid(std::string* error, const std::string& what) {
    try {
        *error = what;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return EINVAL;
}

bool parse_bus(const std::string& text, unsigned* bus) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    *bus = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
    return *bus >= 1 && *bus <= 127;
}

bool apply_flag(const std::string& flag, UsbDeviceSpec* plan) {
    if (flag == "no-config") {
        plan->no_config = true;
        return true;
    }
    if (flag == "no-strings") {
        plan->no_strings = true;
        return true;
    }
    if (flag == "no-serial") {
        plan->no_serial = true;
        return true;
    }
    if (flag.rfind("serial=", 0) == 0 && flag.size() > 7) {
        plan->serial = flag.substr(7);
        return true;
    }
    for (const FlagName& failure : kFailures) {
        if (flag == failure.name) {
            plan->failures |= failure.failure;
            return true;
        }
    }
    return false;
}

int parse_device(const std::string& entry, UsbDeviceSpec* plan, std::string* error) {
    size_t end = entry.find(':');
    const std::string head = entry.substr(0, end);
    const size_t at = head.find('@');
    const std::string kind = head.substr(0, at);
    bool known = false;
    for (const UsbDeviceKind candidate : kKinds) {
        if (kind == usb_identity(candidate).kind_name) {
            plan->kind = candidate;
            known = true;
        }
    }
    if (!known) {
        return invalid(error, "unknown device kind \"" + kind + "\"");
    }
    if (at != head.npos && !parse_bus(head.substr(at + 1), &plan->bus)) {
        return invalid(error, "invalid bus number in \"" + head + "\"");
    }
    while (end != entry.npos) {
        const size_t next = entry.find(':', end + 1);
        const std::string flag = entry.substr(end + 1, next - end - 1);
        if (!apply_flag(flag, plan)) {
            return invalid(error, "unknown device flag \"" + flag + "\"");
        }
        end = next;
    }
    return 0;
}

}  // namespace

const UsbIdentity& usb_identity(UsbDeviceKind kind) {
    return kIdentities[static_cast<int>(kind)];
}

int parse_usb_bus_layout(const char* text, std::vector<UsbDeviceSpec>* devices,
                         std::string* error) {
    devices->clear();
    try {
        const std::string layout = text != nullptr ? text : "";
        if (layout.empty()) {
            return 0;
        }
        unsigned on_bus[128] = {};
        unsigned of_kind[std::size(kKinds)] = {};
        size_t start = 0;
        for (;;) {
            const size_t end = layout.find(',', start);
            UsbDeviceSpec plan;
            const int result = parse_device(layout.substr(start, end - start), &plan, error);
            if (result != 0) {
                devices->clear();
                return result;
            }
            plan.number = ++on_bus[plan.bus];
            if (plan.number > 127) {
                devices->clear();
                return invalid(error, "more than 127 devices on one bus");
            }
            const unsigned ordinal = ++of_kind[static_cast<int>(plan.kind)];
            if (plan.serial.empty()) {
                char serial[32];
                std::snprintf(serial, sizeof serial, "%s%04u",
                              usb_identity(plan.kind).serial_prefix, ordinal);
                plan.serial = serial;
            }
            devices->push_back(plan);
            if (end == layout.npos) {
                return 0;
            }
            start = end + 1;
        }
    } catch (const std::bad_alloc&) {
        devices->clear();
        return ENOMEM;
    }
}

}  // namespace zelv::sim
