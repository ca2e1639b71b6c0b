// The thirteen operations of the USB module called directly, on the fake
// bus, with a sysfs tree of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "usb_bus.h"
#include "usb_test_bus.h"
#include "vendor/cp210x.h"

namespace {

std::string testSysfs = "/nonexistent";

}  // namespace

const char* sysfsRoot() { return testSysfs.c_str(); }

namespace {

// A bus of `devices`, counted, with this test's sysfs.
struct Listed {
    FakeBus bus;
    uint32_t count = 0;
    explicit Listed(const std::vector<std::string>& devices,
                    const std::vector<std::pair<std::string, std::string>>& sysfs = {}) {
        bus.devices(devices);
        for (const auto& file : sysfs) bus.sysfsFile(file.first, file.second);
        testSysfs = bus.sysfs;
        EXPECT_EQ(CP210x_GetNumDevices(&count), CP210x_SUCCESS);
    }
    ~Listed() { testSysfs = "/nonexistent"; }
};

// Reads `selector` of bridge `index` into a buffer much larger than the
// selector's, so whatever it writes beyond its size shows.
struct StringRead {
    CP210x_STATUS status;
    std::string text;
    size_t written;  // bytes changed from the start of the buffer
};
StringRead readString(uint32_t index, uint32_t selector) {
    unsigned char buffer[400];
    memset(buffer, 0xEE, sizeof buffer);
    StringRead r;
    r.status = CP210x_GetProductString(index, buffer, selector);
    r.text = std::string(reinterpret_cast<char*>(buffer), strnlen(reinterpret_cast<char*>(buffer), sizeof buffer));
    r.written = sizeof buffer;
    while (r.written > 0 && buffer[r.written - 1] == 0xEE) --r.written;
    return r;
}

TEST(UsbCount, NeedsSomewhereToPutIt) {
    EXPECT_EQ(CP210x_GetNumDevices(nullptr), CP210x_INVALID_PARAMETER);
}

TEST(UsbStrings, NeverBeyondTheSelectorsBufferAndAlwaysTerminated) {
    Listed l({R"({"serial": ")" + std::string(100, 'S') + R"(", "product": ")" + std::string(126, 'P') +
              R"(", "bus": 255, "address": 127})"});
    ASSERT_EQ(l.count, 1u);
    const struct {
        uint32_t selector;
        std::string text;
    } rows[] = {
        {CP210x_RETURN_SERIAL_NUMBER, std::string(62, 'S')},
        {CP210x_RETURN_DESCRIPTION, std::string(125, 'P')},
        {CP210x_RETURN_FULL_PATH, "/dev/bus/usb/255/127"},
    };
    for (const auto& row : rows) {
        const StringRead r = readString(0, row.selector);
        EXPECT_EQ(r.status, CP210x_SUCCESS) << row.selector;
        EXPECT_EQ(r.text, row.text) << row.selector;
        EXPECT_EQ(r.written, row.text.size() + 1) << row.selector;
    }
}

TEST(UsbStrings, RefusedArguments) {
    Listed l({"{}"});
    char buffer[256];
    EXPECT_EQ(CP210x_GetProductString(1, buffer, CP210x_RETURN_SERIAL_NUMBER), CP210x_INVALID_PARAMETER);
    EXPECT_EQ(CP210x_GetProductString(0, buffer, 3), CP210x_INVALID_PARAMETER);
    EXPECT_EQ(CP210x_GetProductString(0, nullptr, CP210x_RETURN_SERIAL_NUMBER), CP210x_INVALID_PARAMETER);
}

TEST(UsbStrings, FromTheDeviceAsSingleBytes) {
    Listed l({R"({"product": "Ger\u00e4t \u2126", "serial": null})"});
    EXPECT_EQ(readString(0, CP210x_RETURN_DESCRIPTION).text, "Ger\xE4t ?");
    const StringRead serial = readString(0, CP210x_RETURN_SERIAL_NUMBER);
    EXPECT_EQ(serial.status, CP210x_SUCCESS);
    EXPECT_EQ(serial.text, "");
}

// Where the device can't be opened the listing takes sysfs's strings; where
// sysfs has none either, the strings are empty and the read says why.
TEST(UsbStrings, FromSysfsWhereTheDeviceCantBeOpened) {
    Listed l({R"({"ports": [1], "openError": "ACCESS"})", R"({"ports": [2], "openError": "ACCESS"})"},
             {{"bus/usb/devices/1-1/serial", "SN-0042/7\n"}, {"bus/usb/devices/1-1/product", "Ger\xC3\xA4t\n"}});
    ASSERT_EQ(l.count, 2u);
    EXPECT_EQ(readString(0, CP210x_RETURN_SERIAL_NUMBER).text, "SN-0042/7");
    EXPECT_EQ(readString(0, CP210x_RETURN_DESCRIPTION).text, "Ger\xE4t");
    const StringRead none = readString(1, CP210x_RETURN_SERIAL_NUMBER);
    EXPECT_EQ(none.text, "");
    EXPECT_EQ(none.status, CP210x_DEVICE_NOT_FOUND);
    EXPECT_EQ(readString(1, CP210x_RETURN_FULL_PATH).text, "/dev/bus/usb/001/002");
}

TEST(UsbStrings, DeviceThatDoesntAnswerFallsBackToSysfs) {
    Listed l({R"({"fail": {"0303": "TIMEOUT"}})"}, {{"bus/usb/devices/1-1/serial", "0042\n"}});
    EXPECT_EQ(readString(0, CP210x_RETURN_SERIAL_NUMBER).text, "0042");
    EXPECT_EQ(readString(0, CP210x_RETURN_DESCRIPTION).text, "CP2102 USB to UART Bridge Controller");
}

TEST(UsbCount, DeviceOfTheCp210xDriverCountsOthersDont) {
    Listed l({R"({"bus": 42, "ports": [3], "vid": "0x0403", "pid": "0x6001", "serial": "bound"})",
              R"({"bus": 42, "ports": [4], "vid": "0x0403", "pid": "0x6001", "serial": "foreign"})"},
             {{"bus/usb/drivers/cp210x/42-3:1.0", ""}});
    ASSERT_EQ(l.count, 1u);
    EXPECT_EQ(readString(0, CP210x_RETURN_SERIAL_NUMBER).text, "bound");
    for (const std::string& line : l.bus.log()) EXPECT_EQ(line.find("42-4"), std::string::npos) << line;
}

// An open bridge of `part` with the log cleared after the open.
struct Opened : Listed {
    CP210x_HANDLE hDev = nullptr;
    explicit Opened(const std::string& device) : Listed({device}) {
        EXPECT_EQ(CP210x_Open(0, &hDev), CP210x_SUCCESS);
        bus.clearLog();
    }
    ~Opened() { CP210x_Close(hDev); }
};

TEST(UsbOpen, ReadsThePartNumberOnceAndKeepsIt) {
    Listed l({R"({"part": "0x04"})"});
    CP210x_HANDLE hDev = nullptr;
    l.bus.clearLog();
    ASSERT_EQ(CP210x_Open(0, &hDev), CP210x_SUCCESS);
    ASSERT_NE(hDev, nullptr);
    BAUD_CONFIG table[NUM_BAUD_CONFIGS] = {};
    EXPECT_EQ(CP210x_SetBaudRateConfig(hDev, table), CP210x_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(CP210x_SetDeviceVersion(hDev, 0x0100), CP210x_SUCCESS);
    EXPECT_EQ(CP210x_Close(hDev), CP210x_SUCCESS);
    EXPECT_EQ(l.bus.log(), (std::vector<std::string>{opened("1-1"), partRead("1-1", 0x04),
                                                     vendorWrite("1-1", 0x3707, 0x0100), closed("1-1")}));
}

TEST(UsbOpen, RefusedOpens) {
    const struct {
        const char* device;
        CP210x_STATUS status;
        std::vector<std::string> log;
    } rows[] = {
        {R"({"openError": "ACCESS"})", CP210x_DEVICE_NOT_FOUND, {opened("1-1", "ACCESS")}},
        {R"({"openError": "BUSY"})", CP210x_DEVICE_NOT_FOUND, {opened("1-1", "BUSY")}},
        {R"({"fail": {"370B": "TIMEOUT"}})", CP210x_DEVICE_IO_FAILED,
         {opened("1-1"), "1-1 C0 FF 370B 0000 0001 t1000 = TIMEOUT", closed("1-1")}},
        {R"({"fail": {"370B": "NO_DEVICE"}})", CP210x_DEVICE_NOT_FOUND,
         {opened("1-1"), "1-1 C0 FF 370B 0000 0001 t1000 = NO_DEVICE", closed("1-1")}},
    };
    for (const auto& row : rows) {
        Listed l({row.device});
        l.bus.clearLog();
        CP210x_HANDLE hDev = reinterpret_cast<CP210x_HANDLE>(1);
        EXPECT_EQ(CP210x_Open(0, &hDev), row.status) << row.device;
        EXPECT_EQ(hDev, nullptr) << row.device;
        EXPECT_EQ(l.bus.log(), row.log) << row.device;
    }
    Listed l({"{}"});
    CP210x_HANDLE hDev = nullptr;
    EXPECT_EQ(CP210x_Open(1, &hDev), CP210x_DEVICE_NOT_FOUND);
    EXPECT_EQ(CP210x_Open(0, nullptr), CP210x_INVALID_PARAMETER);
}

TEST(UsbHandles, ClosedOrMadeUpHandlesAreRefused) {
    Listed l({"{}"});
    CP210x_HANDLE hDev = nullptr;
    ASSERT_EQ(CP210x_Open(0, &hDev), CP210x_SUCCESS);
    EXPECT_EQ(CP210x_Close(hDev), CP210x_SUCCESS);
    l.bus.clearLog();
    EXPECT_EQ(CP210x_Close(hDev), CP210x_INVALID_HANDLE);
    EXPECT_EQ(CP210x_SetVid(hDev, 0x10C4), CP210x_INVALID_HANDLE);
    EXPECT_EQ(CP210x_SetLockValue(hDev), CP210x_INVALID_HANDLE);
    EXPECT_EQ(CP210x_Close(nullptr), CP210x_INVALID_HANDLE);
    EXPECT_EQ(CP210x_SetSelfPower(nullptr, 1), CP210x_INVALID_HANDLE);
    EXPECT_EQ(CP210x_SetMaxPower(reinterpret_cast<CP210x_HANDLE>(0x1234), 0), CP210x_INVALID_HANDLE);
    EXPECT_EQ(l.bus.log(), std::vector<std::string>{}) << "nothing reaches the bridge";
}

const std::string text126(126, 'x');

// Arguments the module refuses before sending, and their neighbours that go out.
TEST(UsbWrites, ArgumentsCheckedBeforeAnythingIsSent) {
    const struct {
        const char* name;
        const char* device;
        std::function<CP210x_STATUS(CP210x_HANDLE)> write;
        CP210x_STATUS status;
    } rows[] = {
        {"product of 126", "{}", [](CP210x_HANDLE h) { return CP210x_SetProductString(h, (void*)text126.data(), 126, 1); }, 0},
        {"product of 127", "{}", [](CP210x_HANDLE h) { return CP210x_SetProductString(h, (void*)text126.data(), 127, 1); }, 2},
        {"product of 0", "{}", [](CP210x_HANDLE h) { return CP210x_SetProductString(h, (void*)"x", 0, 1); }, 2},
        {"no product", "{}", [](CP210x_HANDLE h) { return CP210x_SetProductString(h, nullptr, 3, 1); }, 2},
        {"serial of 63", "{}", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)text126.data(), 63, 1); }, 0},
        {"serial of 64", "{}", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)text126.data(), 64, 1); }, 2},
        {"serial with 0x80", "{}", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)"12\x80", 3, 1); }, 2},
        {"serial with 0x9F", "{}", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)"\x9F", 1, 1); }, 2},
        {"serial with 0xA0", "{}", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)"\xA0", 1, 1); }, 0},
        {"CP2105 serial of 17", R"({"part": "0x05"})", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)text126.data(), 17, 1); }, 2},
        {"CP2105 serial of 16", R"({"part": "0x05"})", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)text126.data(), 16, 1); }, 0},
        {"CP2102N serial of 0", R"({"part": "0x20"})", [](CP210x_HANDLE h) { return CP210x_SetSerialNumber(h, (void*)"x", 0, 1); }, 4},
        {"502 mA", "{}", [](CP210x_HANDLE h) { return CP210x_SetMaxPower(h, 251); }, 2},
        {"500 mA", "{}", [](CP210x_HANDLE h) { return CP210x_SetMaxPower(h, 250); }, 0},
        {"no baud table", "{}", [](CP210x_HANDLE h) { return CP210x_SetBaudRateConfig(h, nullptr); }, 2},
        {"unknown part", R"({"part": "0x55"})", [](CP210x_HANDLE h) { return CP210x_SetDeviceVersion(h, 0x0100); }, 4},
        {"CP2101 lock", R"({"part": "stall"})", [](CP210x_HANDLE h) { return CP210x_SetLockValue(h); }, 4},
        {"CP2101 vendor ID", R"({"part": "stall"})", [](CP210x_HANDLE h) { return CP210x_SetVid(h, 0x10C4); }, 0},
    };
    for (const auto& row : rows) {
        Opened o(row.device);
        EXPECT_EQ(row.write(o.hDev), row.status) << row.name;
        EXPECT_EQ(o.bus.log().size(), row.status == CP210x_SUCCESS ? 1u : 0u) << row.name;
    }
}

TEST(UsbWrites, SingleBytesOrUtf16) {
    Opened o("{}");
    const char16_t units[] = u"\u20AC1";
    EXPECT_EQ(CP210x_SetProductString(o.hDev, (void*)units, 2, 0), CP210x_SUCCESS);
    EXPECT_EQ(CP210x_SetProductString(o.hDev, (void*)"\xE4", 1, 1), CP210x_SUCCESS);
    EXPECT_EQ(o.bus.log(), (std::vector<std::string>{vendorWrite("1-1", 0x3703, bytes("06 03 AC 20 31 00")),
                                                      vendorWrite("1-1", 0x3703, bytes("04 03 E4 00"))}));
}

// Each way a transfer fails, as a status.
TEST(UsbWrites, FailedTransfers) {
    const struct {
        const char* failure;
        CP210x_STATUS status;
    } rows[] = {
        {"PIPE", CP210x_DEVICE_IO_FAILED},     {"TIMEOUT", CP210x_DEVICE_IO_FAILED},
        {"IO", CP210x_DEVICE_IO_FAILED},       {"OVERFLOW", CP210x_DEVICE_IO_FAILED},
        {"SHORT", CP210x_DEVICE_IO_FAILED},    {"NO_DEVICE", CP210x_DEVICE_NOT_FOUND},
    };
    for (const auto& row : rows) {
        Opened o(std::string(R"({"fail": {"3703": ")") + row.failure + R"("}})");
        EXPECT_EQ(CP210x_SetProductString(o.hDev, (void*)"ab", 2, 1), row.status) << row.failure;
        EXPECT_EQ(CP210x_SetDeviceVersion(o.hDev, 0x0100), CP210x_SUCCESS) << "the handle stays usable";
    }
}

TEST(UsbWrites, LockedBridgeStalls) {
    Opened o(R"({"locked": true})");
    EXPECT_EQ(CP210x_SetSelfPower(o.hDev, 1), CP210x_DEVICE_IO_FAILED);
    EXPECT_EQ(CP210x_SetLockValue(o.hDev), CP210x_DEVICE_IO_FAILED);
}

}  // namespace
