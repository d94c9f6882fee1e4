// The USB device of the TBDML target: every transfer in answers from the fuzz input, the
// first byte of each answer its length, so that short and empty replies are reached too.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fuzz_input.h"
#include "link/usb_access.h"

namespace zelv::fuzz {
std::size_t usb_take(uint8_t* out, std::size_t wanted);
}

namespace zelv {
namespace {
int device = 0;
}

int usblib_load() {
    return 0;
}
int usblib_unload() {
    return 0;
}
int usbdev_open(UsbHandle* handle, uint16_t, uint16_t) {
    *handle = reinterpret_cast<UsbHandle>(&device);
    return 0;
}
int usbdev_close(UsbHandle* handle) {
    *handle = nullptr;
    return 0;
}

int usbdev_control(UsbHandle, unsigned request_type, unsigned, unsigned, unsigned, uint8_t* buffer,
                   std::size_t* size, unsigned) {
    if ((request_type & 0x80) == 0) {
        return 0;  // out: taken
    }
    uint8_t length = 0;
    if (fuzz::usb_take(&length, 1) == 0) {
        return ETIMEDOUT;
    }
    *size = fuzz::usb_take(buffer, length < *size ? length : *size);
    return 0;
}

int usbdev_bulk_read(UsbHandle handle, unsigned, uint8_t* buffer, std::size_t* size,
                     unsigned timeout_ms) {
    return usbdev_control(handle, 0xC0, 0, 0, 0, buffer, size, timeout_ms);
}

int usbdev_bulk_write(UsbHandle, unsigned, const uint8_t*, std::size_t*, unsigned) {
    return 0;
}

void usb_version_text(char (&text)[kUsbVersionTextSize], uint16_t version) {
    std::snprintf(text, sizeof text, "%u.%u", version >> 8, (version >> 4) & 0xF);
}

}  // namespace zelv
