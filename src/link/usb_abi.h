// The structures and functions of libusb 0.1, laid out exactly as that library defines them
// on Linux. The library is loaded at run time rather than linked, so its header is not used:
// these declarations stand in for it, and the program reads the library's bus and device
// lists through them. A unit test compares every offset and size with the library's own
// header where that is installed.
//
// Names follow the library, so that the two can be read side by side.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelv::libusb0 {

// The library sizes its name fields by PATH_MAX, which is 4096 on Linux.
inline constexpr std::size_t kPathMax = 4096;

struct usb_endpoint_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bEndpointAddress;
    uint8_t bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval;
    uint8_t bRefresh;
    uint8_t bSynchAddress;
    unsigned char* extra;
    int extralen;
};

struct usb_interface_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
    usb_endpoint_descriptor* endpoint;
    unsigned char* extra;
    int extralen;
};

struct usb_interface {
    usb_interface_descriptor* altsetting;
    int num_altsetting;
};

// One entry of a device's configuration array (bNumConfigurations entries).
struct usb_config_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces;
    uint8_t bConfigurationValue;
    uint8_t iConfiguration;
    uint8_t bmAttributes;  // bit 0x40: self-powered
    uint8_t MaxPower;      // in units of 2 mA
    usb_interface* interface;
    unsigned char* extra;
    int extralen;
};

// The descriptor as it travels on the bus: packed, 18 bytes.
struct __attribute__((packed)) usb_device_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;  // string descriptor indices; 0 means no string
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};

struct usb_bus;

struct usb_device {
    usb_device* next;
    usb_device* prev;
    char filename[kPathMax + 1];
    usb_bus* bus;
    usb_device_descriptor descriptor;
    usb_config_descriptor* config;  // may be missing (nullptr) when it could not be read
    void* dev;
    uint8_t devnum;
    unsigned char num_children;
    usb_device** children;
};

struct usb_bus {
    usb_bus* next;
    usb_bus* prev;
    char dirname[kPathMax + 1];
    usb_device* devices;
    uint32_t location;
    usb_device* root_dev;
};

// The library's open-device handle; its inside is the library's own.
struct usb_dev_handle;

// The functions the program resolves, by their signatures in the library.
using usb_init_function = void (*)();
using usb_strerror_function = char* (*)();
using usb_find_busses_function = int (*)();
using usb_find_devices_function = int (*)();
using usb_get_busses_function = usb_bus* (*)();
using usb_device_function = usb_device* (*)(usb_dev_handle*);
using usb_open_function = usb_dev_handle* (*)(usb_device*);
using usb_close_function = int (*)(usb_dev_handle*);
using usb_set_configuration_function = int (*)(usb_dev_handle*, int);
using usb_claim_interface_function = int (*)(usb_dev_handle*, int);
using usb_release_interface_function = int (*)(usb_dev_handle*, int);
using usb_control_msg_function = int (*)(usb_dev_handle*, int, int, int, int, char*, int, int);
using usb_bulk_read_function = int (*)(usb_dev_handle*, int, char*, int, int);
using usb_bulk_write_function = int (*)(usb_dev_handle*, int, const char*, int, int);
using usb_get_string_simple_function = int (*)(usb_dev_handle*, int, char*, std::size_t);

}  // namespace zelv::libusb0
