// Finding bridges on the fake bus and in a sysfs tree, and turning their
// strings into single bytes.
#include "usb_bus.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "usb_test_bus.h"

namespace {

TEST(UsbNames, PortAndNode) {
    EXPECT_EQ(portName(1, {}), "usb1");
    EXPECT_EQ(portName(1, {4}), "1-4");
    EXPECT_EQ(portName(3, {1, 12, 3}), "3-1.12.3");
    EXPECT_EQ(deviceNode(1, 2), "/dev/bus/usb/001/002");
    EXPECT_EQ(deviceNode(255, 127), "/dev/bus/usb/255/127");
}

TEST(UsbDriver, BoundOnlyByAnInterfaceOfThatVeryDevice) {
    FakeBus bus;
    EXPECT_FALSE(boundToCp210x(bus.sysfs.c_str(), "1-4.2")) << "no driver folder";
    for (const char* entry : {"1-4.2:1.0", "bind", "unbind", "new_id", "module", "3-1:1.1"}) {
        bus.sysfsFile(std::string("bus/usb/drivers/cp210x/") + entry, "");
    }
    const struct {
        const char* port;
        bool bound;
    } rows[] = {{"1-4.2", true}, {"3-1", true}, {"1-4", false}, {"1-4.20", false}, {"1-4.2.1", false},
                {"3-1.1", false}, {"usb1", false}};
    for (const auto& row : rows) EXPECT_EQ(boundToCp210x(bus.sysfs.c_str(), row.port), row.bound) << row.port;
}

TEST(UsbText, FromStringDescriptor) {
    const struct {
        std::vector<uint8_t> units;
        size_t size;
        std::string expected;
    } rows[] = {
        {{'A', 0, 0xE9, 0x00, 0xAC, 0x20}, 16, "A\xE9?"},
        {{'a', 0, 'b', 0, 'c', 0}, 3, "ab"},
        {{'a', 0, 'b'}, 16, "a"},  // half a code unit is dropped
        {{}, 16, ""},
    };
    for (const auto& row : rows) {
        char out[32];
        memset(out, 0x55, sizeof out);
        const size_t n = textFromStringDescriptor(row.units.data(), row.units.size(), out, row.size);
        EXPECT_EQ(std::string(out, n), row.expected);
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(out[row.size], 0x55) << "nothing beyond the buffer";
    }
}

TEST(UsbText, FromUtf8) {
    const struct {
        std::string utf8;
        size_t size;
        std::string expected;
    } rows[] = {
        {"Gr\xC3\xBC\xC3\x9F" "e", 16, "Gr\xFC\xDF" "e"},
        {"\xE2\x82\xAC 5", 16, "? 5"},
        {"\xF0\x9F\x98\x80!", 16, "?!"},
        {"\xFF" "a", 16, "?a"},
        {"a\xC3", 16, "a?"},
        {"\xC3(", 16, "?("},
        {"abcdef", 4, "abc"},
    };
    for (const auto& row : rows) {
        char out[32];
        memset(out, 0x55, sizeof out);
        const size_t n = textFromUtf8(row.utf8.data(), row.utf8.size(), out, row.size);
        EXPECT_EQ(std::string(out, n), row.expected) << row.utf8;
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(out[row.size], 0x55) << "nothing beyond the buffer";
    }
}

TEST(UsbSysfs, AttributesWithoutTheLineFeedAndCut) {
    FakeBus bus;
    bus.sysfsFile("bus/usb/devices/1-1/serial", "01 234 567\n");
    bus.sysfsFile("bus/usb/devices/1-1/product", std::string(100, 'P') + "\n");
    char out[80];
    EXPECT_TRUE(readSysfsString(bus.sysfs.c_str(), "1-1", "serial", out, 63));
    EXPECT_STREQ(out, "01 234 567");
    EXPECT_TRUE(readSysfsString(bus.sysfs.c_str(), "1-1", "product", out, 63));
    EXPECT_EQ(std::string(out), std::string(62, 'P'));
    EXPECT_FALSE(readSysfsString(bus.sysfs.c_str(), "1-2", "serial", out, 63));
    EXPECT_STREQ(out, "");
}

// Bridge IDs and devices the cp210x driver holds, in bus and port order;
// every other device is left out.
TEST(UsbFind, BridgesByIdOrDriverInPortOrder) {
    FakeBus bus;
    bus.devices({R"({"bus": 2, "ports": [1], "address": 3})",
                 R"({"bus": 42, "ports": [3], "address": 4, "vid": "0x0403", "pid": "0x6001"})",
                 R"({"bus": 42, "ports": [2], "address": 5, "vid": "0x0403", "pid": "0x6001"})",
                 R"({"bus": 1, "ports": [3, 2], "address": 6, "pid": "0xEA70"})",
                 R"({"bus": 1, "ports": [3], "address": 7, "pid": "0xEA62"})",
                 R"({"bus": 1, "ports": [10], "address": 8, "pid": "0x813F"})",
                 R"({"bus": 1, "ports": [3, 1, 5], "address": 9, "pid": "0xEA63"})"});
    bus.sysfsFile("bus/usb/drivers/cp210x/42-3:1.0", "");

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    std::vector<UsbBridge> bridges;
    ASSERT_EQ(findBridges(ctx, bus.sysfs.c_str(), &bridges), 0);
    std::vector<std::string> found;
    for (const UsbBridge& b : bridges) found.push_back(portName(b.bus, b.ports) + " " + deviceNode(b.bus, b.address));
    EXPECT_EQ(found, (std::vector<std::string>{"1-3.1.5 /dev/bus/usb/001/009", "1-3.2 /dev/bus/usb/001/006",
                                               "1-10 /dev/bus/usb/001/008", "2-1 /dev/bus/usb/002/003",
                                               "42-3 /dev/bus/usb/042/004"}));
    releaseBridges(&bridges);
    EXPECT_TRUE(bridges.empty());
    EXPECT_EQ(bus.log(), std::vector<std::string>{}) << "finding sends nothing";
    libusb_exit(ctx);
}

}  // namespace
