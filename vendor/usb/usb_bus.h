// The USB side of the module: which attached devices are bridges, in a
// stable order, where their nodes are, and the strings a listing shows,
// from the device or from sysfs.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cp210x_requests.h"

// Where sysfs is mounted: "/sys", except where a test builds its own tree.
// Defined by whatever links the module.
const char* sysfsRoot();

struct UsbBridge {
    libusb_device* device;  // referenced until releaseBridges
    uint8_t bus;
    uint8_t address;
    std::vector<uint8_t> ports;  // from the root hub down
    libusb_device_descriptor descriptor;
};

// The device's name in sysfs, e.g. "1-4.2" (bus 1, root port 4, port 2).
std::string portName(uint8_t bus, const std::vector<uint8_t>& ports);

// The usbfs node, e.g. "/dev/bus/usb/001/004".
std::string deviceNode(uint8_t bus, uint8_t address);

// Whether the kernel's cp210x driver holds an interface of the device.
bool boundToCp210x(const char* sysfs, const std::string& port);

// The bridges among ctx's devices: those with a bridge ID and those bound to
// the cp210x driver, ordered by bus, then port path. Returns 0 or the libusb
// error of the device list.
int findBridges(libusb_context* ctx, const char* sysfs, std::vector<UsbBridge>* bridges);

// Drops the references findBridges took and empties the list.
void releaseBridges(std::vector<UsbBridge>* bridges);

// Sends `request` (an IN request reads into its data) with the module's
// timeout; libusb's result: the bytes moved, or a negative error.
int sendRequest(libusb_device_handle* handle, ControlRequest* request);

// String descriptor `index` of an open device as single bytes into `out`
// (`size` bytes, terminated within); index 0, no such string, gives the
// empty text. False when the device doesn't answer.
bool readStringDescriptor(libusb_device_handle* handle, uint8_t index, char* out, size_t size);

// The sysfs attribute ("serial", "product") of the device at `port` as single
// bytes into `out` (`size` bytes, terminated within). False when it isn't there.
bool readSysfsString(const char* sysfs, const std::string& port, const char* attribute, char* out, size_t size);

// A string descriptor's text: each UTF-16 code unit up to 0xFF as that byte,
// others as '?'. At most size - 1 bytes and a terminator; returns the length.
size_t textFromStringDescriptor(const uint8_t* descriptor, size_t length, char* out, size_t size);

// UTF-8 as single bytes, the same way; malformed bytes become '?'.
size_t textFromUtf8(const char* utf8, size_t length, char* out, size_t size);
