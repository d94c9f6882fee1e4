// USB device access for the USB pod: libusb 0.1, loaded at run time on the first use and
// unloaded after the last, and a handful of operations on top of it.
//
// Calling order: usblib_load, usbdev_open, transfers, usbdev_close, usblib_unload; after a
// failed usbdev_open only usblib_unload. The library stays loaded while a handle is open.
// Every operation reports its own failure through report_error and returns an errno value;
// an error taken from the library is its negative result negated.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/usb_abi.h"

namespace zelv {

// An open device, as the library hands it out; nullptr when none is open.
using UsbHandle = libusb0::usb_dev_handle*;

// The library is looked up by these names in this order. "libusb.so" is the development
// name; where that is a linker script (as Debian ships it) or missing, the runtime name of
// libusb 0.1 still finds the library.
inline constexpr const char* kUsbLibraryNames[] = {"libusb.so", "libusb-0.1.so.4"};

// Loads the library and resolves its 15 functions on the first call, then initialises it
// and scans the busses (the counts are traced under -d); further calls only count. A failed
// load leaves the library unloaded.
[[nodiscard]] int usblib_load();

// Counts one use down; the last one closes the library. 0 when nothing is loaded.
[[nodiscard]] int usblib_unload();

// Opens the first device, in bus order and then device order, with these IDs; prints what
// it finds (while `verbose` is set), selects configuration 1 and claims interface 0. A
// missing device is ENOENT ("USB device not found"). On failure nothing stays open.
[[nodiscard]] int usbdev_open(UsbHandle* handle, uint16_t vendor_id, uint16_t product_id);

// Releases interface 0 and closes the device; failures are reported and otherwise ignored.
// An empty handle is left alone. Always 0; the handle is empty afterwards.
int usbdev_close(UsbHandle* handle);

// One control transfer. The request type and request are cut to 8 bits, value and index to
// 16. *size is wLength on entry and the count transferred on return; fewer bytes than asked
// for is success, the caller judges it.
[[nodiscard]] int usbdev_control(UsbHandle handle, unsigned request_type, unsigned request,
                                 unsigned value, unsigned index, uint8_t* buffer, std::size_t* size,
                                 unsigned timeout_ms);

// One bulk IN transfer from the endpoint number (the IN direction is added). *size is the
// count wanted on entry and the count received on return.
[[nodiscard]] int usbdev_bulk_read(UsbHandle handle, unsigned endpoint, uint8_t* buffer,
                                   std::size_t* size, unsigned timeout_ms);

// One bulk OUT transfer to the endpoint number. *size is the count to send on entry and the
// count sent on return.
[[nodiscard]] int usbdev_bulk_write(UsbHandle handle, unsigned endpoint, const uint8_t* data,
                                    std::size_t* size, unsigned timeout_ms);

inline constexpr std::size_t kUsbVersionTextSize = 80;

// A BCD version of a descriptor as text: the high byte as one decimal number, then bits 4-7,
// then bits 0-3 only when they are not 0 (0x0110 -> "1.1", 0x0123 -> "1.2.3").
void usb_version_text(char (&text)[kUsbVersionTextSize], uint16_t version);

}  // namespace zelv
