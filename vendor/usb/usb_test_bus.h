// For the tests of the USB module: a folder with the devices the fake
// libusb presents, the log it writes and a sysfs tree, and the log lines
// the fake writes for each thing a bridge is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Made fresh for each test and pointed at by FAKE_LIBUSB_DEVICES and
// FAKE_LIBUSB_LOG while it lives.
struct FakeBus {
    FakeBus();
    ~FakeBus();
    FakeBus(const FakeBus&) = delete;
    FakeBus& operator=(const FakeBus&) = delete;

    std::string folder;
    std::string sysfs;  // folder/sys, absent until a file is put there

    // The devices, each a JSON object of the fake's description.
    void devices(const std::vector<std::string>& objects) const;
    // A file under sysfs, e.g. "bus/usb/devices/1-1/serial"; folders made as needed.
    void sysfsFile(const std::string& path, const std::string& content) const;
    std::vector<std::string> log() const;
    void clearLog() const;
};

// The lines of the fake's log for what a device at `port` is sent.
std::string opened(const std::string& port, const std::string& result = "0");
std::string closed(const std::string& port);
// A vendor OUT request without data stage, with the result the fake logs
// for it ("0", or an error such as "PIPE").
std::string vendorWrite(const std::string& port, uint16_t value, uint16_t index, const std::string& result = "0");
// A vendor OUT request with `data`; taken whole unless `result` says otherwise.
std::string vendorWrite(const std::string& port, uint16_t value, const std::vector<uint8_t>& data,
                        const std::string& result = "");
// The part-number read answered with `part`.
std::string partRead(const std::string& port, uint8_t part);
// GET_DESCRIPTOR of string `index` answered with `text` (ASCII).
std::string stringRead(const std::string& port, uint8_t index, const std::string& text);

// Bytes of a hex text such as "FE 5F FF 63".
std::vector<uint8_t> bytes(const std::string& hex);
// `count` copies of `part`, back to back.
std::vector<uint8_t> repeated(const std::vector<uint8_t>& part, size_t count);
