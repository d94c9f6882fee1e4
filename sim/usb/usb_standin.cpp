// libusb.so of the virtual target: a stand-in for libusb 0.1 that the program finds on its
// library path when zelvanor-sim runs it. It presents the bus of the layout in its
// environment (usb_bus_layout.h) with the lists and descriptors laid out as libusb 0.1 lays
// them out, and carries the pod's transfers to zelvanor-sim (usb_wire.h), which answers
// them from the virtual MCU. It exports the functions the program resolves and nothing else.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "link/usb_abi.h"
#include "usb/usb_bus_layout.h"
#include "usb/usb_wire.h"

#define ZELV_EXPORT extern "C" __attribute__((visibility("default")))

namespace zelv::libusb0 {

struct VirtualDevice;

struct usb_dev_handle {
    VirtualDevice* device = nullptr;
    int socket = -1;  // the connection to zelvanor-sim; -1 for a device nobody answers for
    int configuration = 0;
    bool claimed = false;
};

// A device with the descriptors its library entry points into.
struct VirtualDevice {
    sim::UsbDeviceSpec plan;
    usb_device device{};
    usb_config_descriptor config{};
    usb_interface interface {};
    usb_interface_descriptor setting{};
    usb_endpoint_descriptor endpoints[2]{};
};

}  // namespace zelv::libusb0

namespace {

using namespace zelv::libusb0;
using zelv::sim::UsbDeviceKind;
using zelv::sim::UsbDeviceSpec;
using zelv::sim::UsbIdentity;
// The exported function usb_device hides the structure's plain name below it.
using Device = zelv::libusb0::usb_device;

struct StandIn {
    bool layout_read = false;
    int layout_error = 0;
    std::vector<UsbDeviceSpec> layout;
    std::vector<std::unique_ptr<usb_bus>> busses;
    std::vector<std::unique_ptr<VirtualDevice>> devices;
    char error[512] = "";
};

StandIn& standin() {
    static StandIn state;
    return state;
}

// One line per library call, for tests that check what the program asked for.
void log_call(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_call(const char* format, ...) {
    const char* path = std::getenv(zelv::sim::kUsbLogEnvironment);
    if (path == nullptr || *path == '\0') {
        return;
    }
    FILE* log = std::fopen(path, "a");
    if (log == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(log, format, args);
    va_end(args);
    std::fputc('\n', log);
    std::fclose(log);
}

// Records the text usb_strerror shows and returns the library's answer, -error.
int fail(const char* what, int error, const char* detail = nullptr) {
    std::snprintf(standin().error, sizeof standin().error, "%s: %s%s%s%s", what,
                  std::strerror(error), detail != nullptr ? " (" : "",
                  detail != nullptr ? detail : "", detail != nullptr ? ")" : "");
    return -error;
}

int read_layout() {
    StandIn& s = standin();
    if (!s.layout_read) {
        std::string problem;
        s.layout_error = zelv::sim::parse_usb_bus_layout(std::getenv(zelv::sim::kUsbBusEnvironment),
                                                         &s.layout, &problem);
        s.layout_read = true;
        if (s.layout_error != 0) {
            std::fprintf(stderr, "virtual USB bus: invalid layout in %s: %s\n",
                         zelv::sim::kUsbBusEnvironment,
                         problem.empty() ? std::strerror(s.layout_error) : problem.c_str());
        }
    }
    return s.layout_error;
}

usb_bus* find_bus(unsigned number) {
    for (const auto& bus : standin().busses) {
        if (bus->location == number) {
            return bus.get();
        }
    }
    return nullptr;
}

void fill_device(VirtualDevice* v, usb_bus* bus) {
    const UsbDeviceSpec& plan = v->plan;
    const UsbIdentity& id = zelv::sim::usb_identity(plan.kind);
    usb_device_descriptor& d = v->device.descriptor;
    d.bLength = 18;
    d.bDescriptorType = 0x01;
    d.bcdUSB = id.bcd_usb;
    d.bDeviceClass = id.device_class;
    d.bMaxPacketSize0 = 64;
    d.idVendor = id.vendor_id;
    d.idProduct = id.product_id;
    d.bcdDevice = id.bcd_device;
    d.iManufacturer = plan.no_strings ? 0 : 1;
    d.iProduct = plan.no_strings ? 0 : 2;
    d.iSerialNumber = plan.no_strings || plan.no_serial ? 0 : 3;
    d.bNumConfigurations = 1;
    std::snprintf(v->device.filename, sizeof v->device.filename, "%03u", plan.number);
    v->device.bus = bus;
    v->device.devnum = static_cast<uint8_t>(plan.number);

    for (unsigned i = 0; i < id.endpoint_count; ++i) {
        usb_endpoint_descriptor& e = v->endpoints[i];
        e.bLength = 7;
        e.bDescriptorType = 0x05;
        e.bEndpointAddress = id.endpoints[i];
        e.bmAttributes = id.endpoint_attributes;
        e.wMaxPacketSize = id.max_packet;
        e.bInterval = id.endpoint_attributes == 0x03 ? 255 : 0;
    }
    usb_interface_descriptor& s = v->setting;
    s.bLength = 9;
    s.bDescriptorType = 0x04;
    s.bNumEndpoints = id.endpoint_count;
    s.bInterfaceClass = id.interface_class;
    s.endpoint = v->endpoints;
    v->interface.altsetting = &v->setting;
    v->interface.num_altsetting = 1;
    usb_config_descriptor& c = v->config;
    c.bLength = 9;
    c.bDescriptorType = 0x02;
    c.wTotalLength = static_cast<uint16_t>(9 + 9 + 7 * id.endpoint_count);
    c.bNumInterfaces = 1;
    c.bConfigurationValue = 1;
    c.bmAttributes = id.config_attributes;
    c.MaxPower = id.max_power;
    c.interface = &v->interface;
    v->device.config = plan.no_config ? nullptr : &v->config;
}

VirtualDevice* device_of(const Device* dev) {
    for (const auto& v : standin().devices) {
        if (&v->device == dev) {
            return v.get();
        }
    }
    return nullptr;
}

bool has_endpoint(const VirtualDevice& v, int endpoint) {
    const UsbIdentity& id = zelv::sim::usb_identity(v.plan.kind);
    return std::find(id.endpoints, id.endpoints + id.endpoint_count, endpoint) !=
           id.endpoints + id.endpoint_count;
}

void wait_ms(int ms) {
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Connects an opened pod to zelvanor-sim and says which device it is. Returns 0 or an
// errno value; *socket_fd stays -1 when no zelvanor-sim is named.
int connect_device(const VirtualDevice& v, int* socket_fd) {
    *socket_fd = -1;
    const char* path = std::getenv(zelv::sim::kUsbSocketEnvironment);
    if (v.plan.kind != UsbDeviceKind::kTbdml || path == nullptr || *path == '\0') {
        return 0;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        return ENAMETOOLONG;
    }
    std::strcpy(address.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    zelv::sim::UsbWireRequest hello;
    hello.kind = zelv::sim::kWireHello;
    hello.bus = v.plan.bus;
    hello.device = v.plan.number;
    zelv::sim::UsbWireReply reply;
    std::size_t got = 0;
    int error = zelv::sim::wire_send(fd, &hello, sizeof hello, nullptr, 0);
    if (error == 0) {
        error = zelv::sim::wire_receive(fd, &reply, sizeof reply, nullptr, 0, &got, 5000);
    }
    if (error == 0 && (reply.magic != zelv::sim::kUsbWireMagic || reply.result != 0)) {
        error = reply.result < 0 ? -reply.result : EPROTO;
    }
    if (error != 0) {
        close(fd);
        return error;
    }
    *socket_fd = fd;
    return 0;
}

// One transfer through zelvanor-sim. Returns the bytes moved or -errno, as the library does.
int transfer(usb_dev_handle* h, const char* what, zelv::sim::UsbWireRequest request,
             const uint8_t* out, std::size_t out_length, uint8_t* in, std::size_t in_capacity,
             int timeout_ms) {
    if (h == nullptr || h->device == nullptr) {
        return fail(what, EINVAL);
    }
    if (h->socket < 0) {
        // Only the pod has someone behind it; the other devices stall every request.
        return h->device->plan.kind == UsbDeviceKind::kTbdml
                   ? fail(what, ENODEV, "no zelvanor-sim behind the virtual bus")
                   : fail(what, EPIPE);
    }
    request.timeout_ms = static_cast<uint32_t>(std::max(timeout_ms, 0));
    zelv::sim::UsbWireReply reply;
    std::size_t got = 0;
    int error = zelv::sim::wire_send(h->socket, &request, sizeof request, out, out_length);
    if (error == 0) {
        // zelvanor-sim answers at once; the margin only keeps a stuck one from hanging us.
        error = zelv::sim::wire_receive(h->socket, &reply, sizeof reply, in, in_capacity, &got,
                                        std::max(timeout_ms, 0) + 5000);
    }
    if (error == 0 && reply.magic != zelv::sim::kUsbWireMagic) {
        error = EPROTO;
    }
    if (error != 0) {
        return fail(what, ENODEV, "zelvanor-sim does not answer");
    }
    if (reply.result < 0) {
        if (reply.result == -ETIMEDOUT) {
            wait_ms(std::max(timeout_ms, 0));
        }
        return fail(what, -reply.result);
    }
    // An IN transfer moved the bytes that came back; an OUT transfer at most what it sent.
    const std::size_t limit = in_capacity > 0 ? got : out_length;
    return static_cast<int>(std::min(static_cast<std::size_t>(reply.result), limit));
}

}  // namespace

ZELV_EXPORT void usb_init() {
    log_call("usb_init");
    (void)read_layout();
}

ZELV_EXPORT char* usb_strerror() {
    return standin().error;
}

ZELV_EXPORT int usb_find_busses() {
    const int layout = read_layout();
    if (layout != 0) {
        return fail("could not read the virtual bus layout", layout);
    }
    StandIn& s = standin();
    int added = 0;
    try {
        for (const UsbDeviceSpec& plan : s.layout) {
            if (find_bus(plan.bus) != nullptr) {
                continue;
            }
            auto bus = std::make_unique<usb_bus>();
            std::snprintf(bus->dirname, sizeof bus->dirname, "%03u", plan.bus);
            bus->location = plan.bus;
            if (!s.busses.empty()) {
                bus->prev = s.busses.back().get();
                s.busses.back()->next = bus.get();
            }
            s.busses.push_back(std::move(bus));
            ++added;
        }
    } catch (const std::bad_alloc&) {
        return fail("could not list the busses", ENOMEM);
    }
    log_call("usb_find_busses %d", added);
    return added;
}

ZELV_EXPORT int usb_find_devices() {
    StandIn& s = standin();
    int added = 0;
    try {
        for (std::size_t i = s.devices.size(); i < s.layout.size(); ++i) {
            usb_bus* bus = find_bus(s.layout[i].bus);
            if (bus == nullptr) {
                break;  // the busses have not been looked for yet
            }
            auto v = std::make_unique<VirtualDevice>();
            v->plan = s.layout[i];
            fill_device(v.get(), bus);
            Device** tail = &bus->devices;
            Device* prev = nullptr;
            while (*tail != nullptr) {
                prev = *tail;
                tail = &(*tail)->next;
            }
            v->device.prev = prev;
            *tail = &v->device;
            if (bus->root_dev == nullptr) {
                bus->root_dev = &v->device;
            }
            s.devices.push_back(std::move(v));
            ++added;
        }
    } catch (const std::bad_alloc&) {
        return fail("could not list the devices", ENOMEM);
    }
    log_call("usb_find_devices %d", added);
    return added;
}

ZELV_EXPORT usb_bus* usb_get_busses() {
    const StandIn& s = standin();
    return s.busses.empty() ? nullptr : s.busses.front().get();
}

#ifndef ZELV_STANDIN_WITHOUT_USB_DEVICE
ZELV_EXPORT Device* usb_device(usb_dev_handle* h) {
    return h != nullptr && h->device != nullptr ? &h->device->device : nullptr;
}
#endif

ZELV_EXPORT usb_dev_handle* usb_open(Device* dev) {
    VirtualDevice* v = device_of(dev);
    if (v == nullptr) {
        fail("could not open the device", ENODEV);
        return nullptr;
    }
    log_call("usb_open %03u/%03u", v->plan.bus, v->plan.number);
    if ((v->plan.failures & zelv::sim::kFailOpen) != 0) {
        fail("could not open the device", EACCES);
        return nullptr;
    }
    auto* h = new (std::nothrow) usb_dev_handle;
    if (h == nullptr) {
        fail("could not open the device", ENOMEM);
        return nullptr;
    }
    h->device = v;
    const int error = connect_device(*v, &h->socket);
    if (error != 0) {
        fail("could not open the device", error, "zelvanor-sim does not answer");
        delete h;
        return nullptr;
    }
    return h;
}

ZELV_EXPORT int usb_close(usb_dev_handle* h) {
    if (h == nullptr) {
        return fail("could not close the device", EINVAL);
    }
    log_call("usb_close");
    const bool failing = (h->device->plan.failures & zelv::sim::kFailClose) != 0;
    if (h->socket >= 0) {
        close(h->socket);
    }
    delete h;
    return failing ? fail("could not close the device", EIO) : 0;
}

ZELV_EXPORT int usb_set_configuration(usb_dev_handle* h, int configuration) {
    if (h == nullptr) {
        return fail("could not set config", EINVAL);
    }
    log_call("usb_set_configuration %d", configuration);
    if ((h->device->plan.failures & zelv::sim::kFailConfigure) != 0) {
        return fail("could not set config", EBUSY);
    }
    if (configuration != 0 && configuration != 1) {
        return fail("could not set config", EINVAL);
    }
    h->configuration = configuration;
    return 0;
}

ZELV_EXPORT int usb_claim_interface(usb_dev_handle* h, int interface) {
    if (h == nullptr) {
        return fail("could not claim interface", EINVAL);
    }
    log_call("usb_claim_interface %d", interface);
    if ((h->device->plan.failures & zelv::sim::kFailClaim) != 0) {
        return fail("could not claim interface", EBUSY);
    }
    if (interface != 0) {
        return fail("could not claim interface", EINVAL);
    }
    h->claimed = true;
    return 0;
}

ZELV_EXPORT int usb_release_interface(usb_dev_handle* h, int interface) {
    if (h == nullptr) {
        return fail("could not release interface", EINVAL);
    }
    log_call("usb_release_interface %d", interface);
    if ((h->device->plan.failures & zelv::sim::kFailRelease) != 0) {
        return fail("could not release interface", ENODEV);
    }
    if (interface != 0 || !h->claimed) {
        return fail("could not release interface", EINVAL);
    }
    h->claimed = false;
    return 0;
}

ZELV_EXPORT int usb_get_string_simple(usb_dev_handle* h, int index, char* buf, std::size_t buflen) {
    if (h == nullptr || buf == nullptr || buflen == 0) {
        return fail("could not get string descriptor", EINVAL);
    }
    log_call("usb_get_string_simple %d", index);
    const UsbDeviceSpec& plan = h->device->plan;
    const UsbIdentity& id = zelv::sim::usb_identity(plan.kind);
    const char* text = nullptr;
    unsigned failure = 0;
    switch (index) {
        case 0:
            // String 0 is the table of language IDs; read as a string, its one entry
            // (0x0409) is no Latin-1 character.
            text = "?";
            break;
        case 1:
            text = id.manufacturer;
            failure = zelv::sim::kFailManufacturer;
            break;
        case 2:
            text = id.product;
            failure = zelv::sim::kFailProduct;
            break;
        case 3:
            text = plan.serial.c_str();
            failure = zelv::sim::kFailSerial;
            break;
        default:
            break;
    }
    // A device stalls a request for a string it does not have.
    if (text == nullptr || (plan.failures & failure) != 0 || (plan.no_strings && index != 0)) {
        return fail("could not get string descriptor", EPIPE);
    }
    const std::size_t length = std::min(std::strlen(text), buflen - 1);
    std::memcpy(buf, text, length);
    buf[length] = '\0';
    return static_cast<int>(length);
}

ZELV_EXPORT int usb_control_msg(usb_dev_handle* h, int requesttype, int request, int value,
                                int index, char* bytes, int size, int timeout) {
    log_call("usb_control_msg %02x %02x %04x %04x %d", static_cast<unsigned>(requesttype),
             static_cast<unsigned>(request), static_cast<unsigned>(value),
             static_cast<unsigned>(index), size);
    constexpr const char* kWhat = "error sending control message";
    if (size < 0 || static_cast<std::size_t>(size) > zelv::sim::kUsbWireMaxData ||
        (size > 0 && bytes == nullptr)) {
        return fail(kWhat, EINVAL);
    }
    zelv::sim::UsbWireRequest r;
    r.kind = zelv::sim::kWireControl;
    r.request_type = static_cast<uint8_t>(requesttype);
    r.request = static_cast<uint8_t>(request);
    r.value = static_cast<uint16_t>(value);
    r.index = static_cast<uint16_t>(index);
    r.length = static_cast<uint32_t>(size);
    auto* data = reinterpret_cast<uint8_t*>(bytes);
    const auto length = static_cast<std::size_t>(size);
    const bool in = (requesttype & 0x80) != 0;
    return transfer(h, kWhat, r, in ? nullptr : data, in ? 0 : length, in ? data : nullptr,
                    in ? length : 0, timeout);
}

ZELV_EXPORT int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
    log_call("usb_bulk_read %02x %d", static_cast<unsigned>(ep), size);
    constexpr const char* kWhat = "error reading from bulk endpoint";
    if (h == nullptr || size < 0 || static_cast<std::size_t>(size) > zelv::sim::kUsbWireMaxData ||
        (size > 0 && bytes == nullptr) || (ep & 0x80) == 0 || !has_endpoint(*h->device, ep)) {
        return fail(kWhat, EINVAL);
    }
    zelv::sim::UsbWireRequest r;
    r.kind = zelv::sim::kWireBulkIn;
    r.endpoint = static_cast<uint8_t>(ep);
    r.length = static_cast<uint32_t>(size);
    return transfer(h, kWhat, r, nullptr, 0, reinterpret_cast<uint8_t*>(bytes),
                    static_cast<std::size_t>(size), timeout);
}

ZELV_EXPORT int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size,
                               int timeout) {
    log_call("usb_bulk_write %02x %d", static_cast<unsigned>(ep), size);
    constexpr const char* kWhat = "error writing to bulk endpoint";
    if (h == nullptr || size < 0 || static_cast<std::size_t>(size) > zelv::sim::kUsbWireMaxData ||
        (size > 0 && bytes == nullptr) || (ep & 0x80) != 0 || !has_endpoint(*h->device, ep)) {
        return fail(kWhat, EINVAL);
    }
    zelv::sim::UsbWireRequest r;
    r.kind = zelv::sim::kWireBulkOut;
    r.endpoint = static_cast<uint8_t>(ep);
    r.length = static_cast<uint32_t>(size);
    return transfer(h, kWhat, r, reinterpret_cast<const uint8_t*>(bytes),
                    static_cast<std::size_t>(size), nullptr, 0, timeout);
}
