#include "usb_bus.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

std::string portName(uint8_t bus, const std::vector<uint8_t>& ports) {
    if (ports.empty()) return "usb" + std::to_string(bus);
    std::string name = std::to_string(bus) + "-";
    for (size_t i = 0; i < ports.size(); ++i) {
        if (i > 0) name += '.';
        name += std::to_string(ports[i]);
    }
    return name;
}

std::string deviceNode(uint8_t bus, uint8_t address) {
    char node[32];
    snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, address);
    return node;
}

bool boundToCp210x(const char* sysfs, const std::string& port) {
    // The driver's folder holds one link per interface it drives, named
    // "<port>:<configuration>.<interface>".
    const std::string folder = std::string(sysfs) + "/bus/usb/drivers/cp210x";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    const std::string prefix = port + ":";
    bool bound = false;
    while (const dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            bound = true;
            break;
        }
    }
    closedir(dir);
    return bound;
}

int findBridges(libusb_context* ctx, const char* sysfs, std::vector<UsbBridge>* bridges) {
    releaseBridges(bridges);
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &list);
    if (count < 0) return static_cast<int>(count);
    for (ssize_t i = 0; i < count; ++i) {
        // Only what libusb already holds is looked at here: nothing is sent
        // to a device before it is known to be a bridge.
        UsbBridge b = {};
        b.device = list[i];
        if (libusb_get_device_descriptor(b.device, &b.descriptor) != 0) continue;
        b.bus = libusb_get_bus_number(b.device);
        b.address = libusb_get_device_address(b.device);
        uint8_t ports[8];
        const int depth = libusb_get_port_numbers(b.device, ports, sizeof ports);
        if (depth > 0) b.ports.assign(ports, ports + depth);
        if (!isBridgeId(b.descriptor.idVendor, b.descriptor.idProduct) &&
            !boundToCp210x(sysfs, portName(b.bus, b.ports))) {
            continue;
        }
        libusb_ref_device(b.device);
        bridges->push_back(b);
    }
    libusb_free_device_list(list, 1);
    std::sort(bridges->begin(), bridges->end(), [](const UsbBridge& a, const UsbBridge& b) {
        if (a.bus != b.bus) return a.bus < b.bus;
        return a.ports < b.ports;
    });
    return 0;
}

void releaseBridges(std::vector<UsbBridge>* bridges) {
    for (UsbBridge& b : *bridges) libusb_unref_device(b.device);
    bridges->clear();
}

int sendRequest(libusb_device_handle* handle, ControlRequest* request) {
    return libusb_control_transfer(handle, request->requestType, request->request, request->value,
                                   request->index, request->data, request->length, transferTimeoutMs);
}

bool readStringDescriptor(libusb_device_handle* handle, uint8_t index, char* out, size_t size) {
    out[0] = '\0';
    if (index == 0) return true;
    ControlRequest request = stringDescriptorRequest(index);
    const int result = sendRequest(handle, &request);
    if (result < 2 || request.data[1] != LIBUSB_DT_STRING) return false;
    const size_t length = std::min<size_t>(request.data[0], static_cast<size_t>(result));
    if (length < 2) return false;
    textFromStringDescriptor(request.data + 2, length - 2, out, size);
    return true;
}

bool readSysfsString(const char* sysfs, const std::string& port, const char* attribute, char* out,
                     size_t size) {
    out[0] = '\0';
    const std::string path = std::string(sysfs) + "/bus/usb/devices/" + port + "/" + attribute;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char text[1024];
    size_t length = fread(text, 1, sizeof text, file);
    fclose(file);
    // The kernel ends every attribute with a line feed.
    if (length > 0 && text[length - 1] == '\n') --length;
    textFromUtf8(text, length, out, size);
    return true;
}

size_t textFromStringDescriptor(const uint8_t* descriptor, size_t length, char* out, size_t size) {
    size_t n = 0;
    for (size_t i = 0; i + 1 < length && n + 1 < size; i += 2) {
        const unsigned unit = descriptor[i] | descriptor[i + 1] << 8;
        out[n++] = unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    out[n] = '\0';
    return n;
}

size_t textFromUtf8(const char* utf8, size_t length, char* out, size_t size) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(utf8);
    size_t n = 0;
    for (size_t i = 0; i < length && n + 1 < size;) {
        const unsigned char c = in[i];
        size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
        if (extra == 4 || i + extra >= length) {
            out[n++] = '?';
            ++i;
            continue;
        }
        unsigned code = extra == 0 ? c : c & (0x3F >> extra);
        bool wellFormed = true;
        for (size_t k = 1; k <= extra; ++k) {
            if ((in[i + k] & 0xC0) != 0x80) wellFormed = false;
            code = code << 6 | (in[i + k] & 0x3F);
        }
        if (!wellFormed) {
            out[n++] = '?';
            ++i;
            continue;
        }
        out[n++] = code <= 0xFF ? static_cast<char>(code) : '?';
        i += 1 + extra;
    }
    out[n] = '\0';
    return n;
}
