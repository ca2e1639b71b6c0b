#include "usb_test_bus.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string devicesFile(const std::string& folder) { return folder + "/devices.json"; }
std::string logFile(const std::string& folder) { return folder + "/fake-libusb.log"; }

std::string hexText(const std::vector<uint8_t>& data) {
    std::string text;
    char byte[4];
    for (uint8_t b : data) {
        snprintf(byte, sizeof byte, " %02X", b);
        text += byte;
    }
    return text;
}

std::string setup(const std::string& port, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                  uint16_t length) {
    char text[64];
    snprintf(text, sizeof text, " %02X %02X %04X %04X %04X t1000 = ", type, request, value, index, length);
    return port + text;
}

}  // namespace

FakeBus::FakeBus() {
    char pattern[] = "/tmp/stelloprog-usb-XXXXXX";
    folder = mkdtemp(pattern);
    sysfs = folder + "/sys";
    setenv("FAKE_LIBUSB_DEVICES", devicesFile(folder).c_str(), 1);
    setenv("FAKE_LIBUSB_LOG", logFile(folder).c_str(), 1);
    devices({});
}

FakeBus::~FakeBus() {
    unsetenv("FAKE_LIBUSB_DEVICES");
    unsetenv("FAKE_LIBUSB_LOG");
    fs::remove_all(folder);
}

void FakeBus::devices(const std::vector<std::string>& objects) const {
    std::string json = R"({"devices": [)";
    for (const std::string& o : objects) json += (json.back() == '[' ? "" : ", ") + o;
    std::ofstream(devicesFile(folder), std::ios::binary | std::ios::trunc) << json << "]}\n";
}

void FakeBus::sysfsFile(const std::string& path, const std::string& content) const {
    const fs::path file = fs::path(folder) / "sys" / path;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

std::vector<std::string> FakeBus::log() const {
    std::ifstream in(logFile(folder), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void FakeBus::clearLog() const { fs::remove(logFile(folder)); }

std::string opened(const std::string& port, const std::string& result) { return "open " + port + " = " + result; }

std::string closed(const std::string& port) { return "close " + port; }

std::string vendorWrite(const std::string& port, uint16_t value, uint16_t index, const std::string& result) {
    return setup(port, 0x40, 0xFF, value, index, 0) + result;
}

std::string vendorWrite(const std::string& port, uint16_t value, const std::vector<uint8_t>& data,
                        const std::string& result) {
    const uint16_t length = static_cast<uint16_t>(data.size());
    return setup(port, 0x40, 0xFF, value, 0, length) + (result.empty() ? std::to_string(length) : result) + " :" +
           hexText(data);
}

std::string partRead(const std::string& port, uint8_t part) {
    return setup(port, 0xC0, 0xFF, 0x370B, 0, 1) + "1 :" + hexText({part});
}

std::string stringRead(const std::string& port, uint8_t index, const std::string& text) {
    std::vector<uint8_t> descriptor = {static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) descriptor.insert(descriptor.end(), {static_cast<uint8_t>(c), 0});
    return setup(port, 0x80, 0x06, static_cast<uint16_t>(0x0300 | index), 0x0409, 255) +
           std::to_string(descriptor.size()) + " :" + hexText(descriptor);
}

std::vector<uint8_t> bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    std::istringstream in(hex);
    for (unsigned b; in >> std::hex >> b;) out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::vector<uint8_t> repeated(const std::vector<uint8_t>& part, size_t count) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; ++i) out.insert(out.end(), part.begin(), part.end());
    return out;
}
