// The libusb 0.1 structures as the program declares them, against the library's own header
// (Debian's libusb-dev). The program reads the library's lists through its declarations, so
// a field that sat elsewhere would be read as garbage.
#include <gtest/gtest.h>

#include <cstddef>

#include "link/usb_abi.h"

#ifdef ZELV_HAVE_USB_H
#include <usb.h>

// Offset and size of one field in both declarations. The library's usb_device is also a
// function, hence the elaborated names.
#define EXPECT_SAME_FIELD(type, field)                                                     \
    EXPECT_EQ(offsetof(struct ::type, field), offsetof(struct zelv::libusb0::type, field)) \
        << #type "." #field;                                                               \
    EXPECT_EQ(sizeof(static_cast<struct ::type*>(nullptr)->field),                         \
              sizeof(static_cast<struct zelv::libusb0::type*>(nullptr)->field))            \
        << #type "." #field

#define EXPECT_SAME_SHAPE(type)                                                    \
    EXPECT_EQ(sizeof(struct ::type), sizeof(struct zelv::libusb0::type)) << #type; \
    EXPECT_EQ(alignof(struct ::type), alignof(struct zelv::libusb0::type)) << #type
#endif

namespace {

TEST(UsbAbiLayout, MatchesTheLibrarysHeader) {
#ifndef ZELV_HAVE_USB_H
    GTEST_SKIP() << "usb.h is not installed (Debian package libusb-dev)";
#else
    // What the program reads: the bus list, the device list, the descriptors.
    EXPECT_SAME_SHAPE(usb_bus);
    EXPECT_SAME_FIELD(usb_bus, next);
    EXPECT_SAME_FIELD(usb_bus, dirname);
    EXPECT_SAME_FIELD(usb_bus, devices);

    EXPECT_SAME_SHAPE(usb_device);
    EXPECT_SAME_FIELD(usb_device, next);
    EXPECT_SAME_FIELD(usb_device, filename);
    EXPECT_SAME_FIELD(usb_device, descriptor);
    EXPECT_SAME_FIELD(usb_device, config);

    EXPECT_SAME_SHAPE(usb_device_descriptor);
    EXPECT_SAME_FIELD(usb_device_descriptor, bcdUSB);
    EXPECT_SAME_FIELD(usb_device_descriptor, idVendor);
    EXPECT_SAME_FIELD(usb_device_descriptor, idProduct);
    EXPECT_SAME_FIELD(usb_device_descriptor, bcdDevice);
    EXPECT_SAME_FIELD(usb_device_descriptor, iManufacturer);
    EXPECT_SAME_FIELD(usb_device_descriptor, iProduct);
    EXPECT_SAME_FIELD(usb_device_descriptor, iSerialNumber);
    EXPECT_SAME_FIELD(usb_device_descriptor, bNumConfigurations);

    // The configurations are an array: its stride is the structure's size.
    EXPECT_SAME_SHAPE(usb_config_descriptor);
    EXPECT_SAME_FIELD(usb_config_descriptor, bmAttributes);
    EXPECT_SAME_FIELD(usb_config_descriptor, MaxPower);

    // What the virtual target's stand-in library fills in besides.
    EXPECT_SAME_FIELD(usb_bus, prev);
    EXPECT_SAME_FIELD(usb_bus, location);
    EXPECT_SAME_FIELD(usb_bus, root_dev);
    EXPECT_SAME_FIELD(usb_device, prev);
    EXPECT_SAME_FIELD(usb_device, bus);
    EXPECT_SAME_FIELD(usb_device, devnum);
    EXPECT_SAME_FIELD(usb_device_descriptor, bLength);
    EXPECT_SAME_FIELD(usb_device_descriptor, bDescriptorType);
    EXPECT_SAME_FIELD(usb_device_descriptor, bDeviceClass);
    EXPECT_SAME_FIELD(usb_device_descriptor, bMaxPacketSize0);
    EXPECT_SAME_FIELD(usb_config_descriptor, wTotalLength);
    EXPECT_SAME_FIELD(usb_config_descriptor, bNumInterfaces);
    EXPECT_SAME_FIELD(usb_config_descriptor, bConfigurationValue);
    EXPECT_SAME_FIELD(usb_config_descriptor, interface);
    EXPECT_SAME_SHAPE(usb_interface);
    EXPECT_SAME_FIELD(usb_interface, altsetting);
    EXPECT_SAME_FIELD(usb_interface, num_altsetting);
    EXPECT_SAME_SHAPE(usb_interface_descriptor);
    EXPECT_SAME_FIELD(usb_interface_descriptor, bNumEndpoints);
    EXPECT_SAME_FIELD(usb_interface_descriptor, bInterfaceClass);
    EXPECT_SAME_FIELD(usb_interface_descriptor, endpoint);
    EXPECT_SAME_SHAPE(usb_endpoint_descriptor);
    EXPECT_SAME_FIELD(usb_endpoint_descriptor, bEndpointAddress);
    EXPECT_SAME_FIELD(usb_endpoint_descriptor, bmAttributes);
    EXPECT_SAME_FIELD(usb_endpoint_descriptor, wMaxPacketSize);
    EXPECT_SAME_FIELD(usb_endpoint_descriptor, bInterval);
#endif
}

}  // namespace
