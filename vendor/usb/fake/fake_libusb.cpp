// A stand-in for libusb-1.0, for tests only: built as libusb-1.0.so.0 and
// found before the real one through LD_LIBRARY_PATH. It provides the
// functions the CP210x module calls, against emulated bridges and other
// devices, and records everything that reaches a device.
//
// FAKE_LIBUSB_DEVICES names a JSON file of devices, made anew whenever the
// name or the content changes (as if devices were plugged); without it the
// bus is empty.
// FAKE_LIBUSB_LOG names a file that gets one line per open, close, reset and
// control transfer, appended as it happens, and "exit" at libusb_exit:
//   open 1-1 = 0
//   1-1 40 FF 3701 10C4 0000 t1000 = 0
//   1-1 C0 FF 370B 0000 0001 t1000 = 1 : 02
//   close 1-1
// A transfer line holds the port, bmRequestType, bRequest, wValue, wIndex,
// wLength and timeout, then the result (bytes moved or a libusb error name)
// and the data that moved: what was sent, or what was read back.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct libusb_context {
    int unused;
};

struct libusb_device {
    std::string port;  // "1-4.2"
    uint8_t bus = 1;
    uint8_t address = 2;
    std::vector<uint8_t> ports = {1};
    uint16_t vid = 0x10C4;
    uint16_t pid = 0xEA60;
    uint16_t release = 0x0100;
    int part = 0x02;  // answer to the part-number read; -1: it stalls
    std::vector<std::u16string> strings;  // index 1 manufacturer, 2 product, 3 serial; empty: none
    bool locked = false;
    long goneAfter = -1;  // transfers before it disappears; -1: never
    long transfers = 0;
    int openError = 0;
    std::vector<std::pair<uint16_t, int>> failures;  // wValue, libusb error or 1 for a short transfer
    int refs = 0;
    bool current = true;  // still in the latest description
};

struct libusb_device_handle {
    libusb_device* device;
    bool open;
};

namespace {

using Json = nlohmann::json;

const int shortTransfer = 1;

struct Bus {
    std::string description;  // the file and content the devices were made from
    std::vector<std::unique_ptr<libusb_device>> devices;  // every one ever made, so old pointers stay valid
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
};

// Never destroyed: a module may call libusb_exit from its own destructor,
// after this library's statics would be gone.
Bus& bus() {
    static Bus* b = new Bus;
    return *b;
}

libusb_context theContext = {0};

void log(const std::string& line) {
    const char* file = getenv("FAKE_LIBUSB_LOG");
    if (file == nullptr || *file == '\0') return;
    FILE* out = fopen(file, "ab");
    if (out == nullptr) return;
    fprintf(out, "%s\n", line.c_str());
    fclose(out);
}

const struct {
    const char* name;
    int error;
} errorNames[] = {
    {"IO", LIBUSB_ERROR_IO},
    {"INVALID_PARAM", LIBUSB_ERROR_INVALID_PARAM},
    {"ACCESS", LIBUSB_ERROR_ACCESS},
    {"NO_DEVICE", LIBUSB_ERROR_NO_DEVICE},
    {"NOT_FOUND", LIBUSB_ERROR_NOT_FOUND},
    {"BUSY", LIBUSB_ERROR_BUSY},
    {"TIMEOUT", LIBUSB_ERROR_TIMEOUT},
    {"OVERFLOW", LIBUSB_ERROR_OVERFLOW},
    {"PIPE", LIBUSB_ERROR_PIPE},
    {"NO_MEM", LIBUSB_ERROR_NO_MEM},
    {"OTHER", LIBUSB_ERROR_OTHER},
    {"SHORT", shortTransfer},
};

int errorFrom(const std::string& name) {
    for (const auto& e : errorNames) {
        if (name == e.name) return e.error;
    }
    throw std::runtime_error("unknown libusb error \"" + name + "\"");
}

std::string resultText(int result) {
    if (result >= 0) return std::to_string(result);
    for (const auto& e : errorNames) {
        if (e.error == result) return e.name;
    }
    return std::to_string(result);
}

unsigned hexNumber(const Json& value) {
    if (value.is_number_unsigned()) return value.get<unsigned>();
    const std::string text = value.get<std::string>();
    char* end = nullptr;
    const unsigned long number = strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0') throw std::runtime_error("\"" + text + "\" is no hex number");
    return static_cast<unsigned>(number);
}

// UTF-8 to UTF-16 code units; the basic plane is enough for a test.
std::u16string utf16(const std::string& utf8) {
    std::u16string units;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : 2;
        unsigned code = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
            code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        units += static_cast<char16_t>(code);
        i += 1 + extra;
    }
    return units;
}

std::unique_ptr<libusb_device> deviceFrom(const Json& in) {
    auto d = std::make_unique<libusb_device>();
    if (in.contains("bus")) d->bus = in["bus"].get<uint8_t>();
    if (in.contains("address")) d->address = in["address"].get<uint8_t>();
    if (in.contains("ports")) d->ports = in["ports"].get<std::vector<uint8_t>>();
    if (in.contains("vid")) d->vid = static_cast<uint16_t>(hexNumber(in["vid"]));
    if (in.contains("pid")) d->pid = static_cast<uint16_t>(hexNumber(in["pid"]));
    if (in.contains("part")) {
        d->part = in["part"] == "stall" ? -1 : static_cast<int>(hexNumber(in["part"]));
    }
    const char* names[] = {"manufacturer", "product", "serial"};
    const char* defaults[] = {"Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001"};
    for (size_t i = 0; i < 3; ++i) {
        if (!in.contains(names[i])) {
            d->strings.push_back(utf16(defaults[i]));
        } else if (in[names[i]].is_null()) {
            d->strings.push_back(std::u16string());
        } else {
            d->strings.push_back(utf16(in[names[i]].get<std::string>()));
        }
    }
    if (in.contains("locked")) d->locked = in["locked"].get<bool>();
    if (in.contains("goneAfter")) d->goneAfter = in["goneAfter"].get<long>();
    if (in.contains("openError")) d->openError = errorFrom(in["openError"].get<std::string>());
    if (in.contains("fail")) {
        for (const auto& item : in["fail"].items()) {
            d->failures.push_back({static_cast<uint16_t>(hexNumber(Json(item.key()))),
                                   errorFrom(item.value().get<std::string>())});
        }
    }
    d->port = std::to_string(d->bus) + "-";
    for (size_t i = 0; i < d->ports.size(); ++i) d->port += (i > 0 ? "." : "") + std::to_string(d->ports[i]);
    return d;
}

// Makes the devices anew when the description changed since the last look.
void refresh() {
    Bus& b = bus();
    std::string text;
    const char* file = getenv("FAKE_LIBUSB_DEVICES");
    if (file != nullptr && *file != '\0') {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text = content.str();
    }
    // Another file is another bus, even where it says the same.
    const std::string description = std::string(file != nullptr ? file : "") + "\n" + text;
    if (description == b.description) return;
    b.description = description;
    for (auto& d : b.devices) d->current = false;
    if (text.empty()) return;
    try {
        const Json doc = Json::parse(text);
        for (const Json& d : doc.at("devices")) b.devices.push_back(deviceFrom(d));
    } catch (const std::exception& e) {
        fprintf(stderr, "fake libusb: %s: %s\n", file, e.what());
    }
}

bool gone(const libusb_device* d) {
    return d->goneAfter >= 0 && d->transfers > d->goneAfter;
}

std::string hex(const uint8_t* data, size_t length) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < length; ++i) {
        snprintf(byte, sizeof byte, " %02X", data[i]);
        text += byte;
    }
    return text;
}

// A string descriptor of the device, cut to what the host asked for.
int stringDescriptor(const libusb_device* d, uint8_t index, uint8_t* data, uint16_t length) {
    std::vector<uint8_t> descriptor = {0, LIBUSB_DT_STRING};
    if (index == 0) {
        descriptor.insert(descriptor.end(), {0x09, 0x04});
    } else if (index <= d->strings.size() && !d->strings[index - 1].empty()) {
        for (char16_t unit : d->strings[index - 1]) {
            if (descriptor.size() + 2 > 255) break;
            descriptor.push_back(static_cast<uint8_t>(unit));
            descriptor.push_back(static_cast<uint8_t>(unit >> 8));
        }
    } else {
        return LIBUSB_ERROR_PIPE;
    }
    descriptor[0] = static_cast<uint8_t>(descriptor.size());
    const size_t n = descriptor.size() < length ? descriptor.size() : length;
    memcpy(data, descriptor.data(), n);
    return static_cast<int>(n);
}

// What the emulated chip makes of a vendor request: the bytes moved, or the
// error a stall or a missing device gives.
int vendorRequest(libusb_device* d, uint8_t requestType, uint16_t value, uint16_t index, uint8_t* data,
                  uint16_t length) {
    if (requestType == 0xC0) {
        if (value == 0x370B && length >= 1 && d->part >= 0) {
            data[0] = static_cast<uint8_t>(d->part);
            return 1;
        }
        if (value == 0x370A && length >= 1) {
            data[0] = d->locked ? 0x00 : 0xFF;
            return 1;
        }
        return LIBUSB_ERROR_PIPE;
    }
    // A locked chip stalls every configuration write.
    if (d->locked) return LIBUSB_ERROR_PIPE;
    switch (value) {
        case 0x3701: case 0x3702: case 0x3705: case 0x3706: case 0x3707:
            return length == 0 ? 0 : int(LIBUSB_ERROR_PIPE);
        case 0x3703: case 0x3704:
            // A whole string descriptor, as long as it says.
            return length >= 4 && length % 2 == 0 && data[0] == length && data[1] == LIBUSB_DT_STRING
                       ? int(length)
                       : int(LIBUSB_ERROR_PIPE);
        case 0x3709:
            return length == 322 ? int(length) : int(LIBUSB_ERROR_PIPE);
        case 0x370A:
            if (length != 0 || index != 0x00F0) return LIBUSB_ERROR_PIPE;
            d->locked = true;
            return 0;
        default:
            return LIBUSB_ERROR_PIPE;
    }
}

int emulate(libusb_device* d, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
            uint16_t length) {
    ++d->transfers;
    if (gone(d)) return LIBUSB_ERROR_NO_DEVICE;
    for (const auto& failure : d->failures) {
        if (failure.first != value) continue;
        if (failure.second != shortTransfer) return failure.second;
        const int moved = vendorRequest(d, requestType, value, index, data, length);
        return moved > 0 ? moved - 1 : LIBUSB_ERROR_PIPE;
    }
    if (requestType == 0x80 && request == LIBUSB_REQUEST_GET_DESCRIPTOR && value >> 8 == LIBUSB_DT_STRING) {
        return stringDescriptor(d, static_cast<uint8_t>(value), data, length);
    }
    if ((requestType == 0x40 || requestType == 0xC0) && request == 0xFF) {
        return vendorRequest(d, requestType, value, index, data, length);
    }
    return LIBUSB_ERROR_PIPE;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    refresh();
    if (ctx != nullptr) *ctx = &theContext;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context*) {
    Bus& b = bus();
    size_t open = 0, referenced = 0;
    for (const auto& h : b.handles) open += h->open ? 1 : 0;
    for (const auto& d : b.devices) referenced += d->refs > 0 ? 1 : 0;
    std::string line = "exit";
    if (open > 0) line += ", " + std::to_string(open) + " handles open";
    if (referenced > 0) line += ", " + std::to_string(referenced) + " devices referenced";
    log(line);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list) {
    refresh();
    std::vector<libusb_device*> present;
    for (auto& d : bus().devices) {
        if (d->current && !gone(d.get())) present.push_back(d.get());
    }
    libusb_device** out = new libusb_device*[present.size() + 1];
    for (size_t i = 0; i < present.size(); ++i) {
        ++present[i]->refs;
        out[i] = present[i];
    }
    out[present.size()] = nullptr;
    *list = out;
    return static_cast<ssize_t>(present.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) return;
    if (unref_devices) {
        for (libusb_device** d = list; *d != nullptr; ++d) --(*d)->refs;
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev == nullptr) return;
    if (dev->refs <= 0) log("unref of a released device " + dev->port);
    --dev->refs;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = dev->vid;
    desc->idProduct = dev->pid;
    desc->bcdDevice = dev->release;
    desc->iManufacturer = dev->strings[0].empty() ? 0 : 1;
    desc->iProduct = dev->strings[1].empty() ? 0 : 2;
    desc->iSerialNumber = dev->strings[2].empty() ? 0 : 3;
    desc->bNumConfigurations = 1;
    return 0;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev->bus; }

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev->address; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len) {
    if (port_numbers_len < 0 || dev->ports.size() > static_cast<size_t>(port_numbers_len)) {
        return LIBUSB_ERROR_OVERFLOW;
    }
    memcpy(port_numbers, dev->ports.data(), dev->ports.size());
    return static_cast<int>(dev->ports.size());
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    int result = dev->openError;
    if (dev->refs <= 0) {
        log("open of a released device " + dev->port);
        result = LIBUSB_ERROR_NO_DEVICE;
    } else if (gone(dev)) {
        result = LIBUSB_ERROR_NO_DEVICE;
    }
    log("open " + dev->port + " = " + resultText(result));
    if (result != 0) return result;
    bus().handles.push_back(std::make_unique<libusb_device_handle>(libusb_device_handle{dev, true}));
    ++dev->refs;
    *dev_handle = bus().handles.back().get();
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) return;
    if (!dev_handle->open) {
        log("close of a closed handle " + dev_handle->device->port);
        return;
    }
    dev_handle->open = false;
    --dev_handle->device->refs;
    log("close " + dev_handle->device->port);
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle) {
    log("reset " + dev_handle->device->port);
    return 0;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
    libusb_device* d = dev_handle->device;
    char setup[64];
    snprintf(setup, sizeof setup, "%s %02X %02X %04X %04X %04X t%u", d->port.c_str(), request_type, bRequest, wValue,
             wIndex, wLength, timeout);
    if (!dev_handle->open) {
        log(std::string(setup) + " on a closed handle");
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (data == nullptr && wLength > 0) {
        log(std::string(setup) + " without data");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
    const int result = emulate(d, request_type, bRequest, wValue, wIndex, data, wLength);
    std::string line = std::string(setup) + " = " + resultText(result);
    const size_t shown = in ? (result > 0 ? static_cast<size_t>(result) : 0) : wLength;
    if (shown > 0) line += " :" + hex(data, shown);
    log(line);
    return result;
}

}  // extern "C"
