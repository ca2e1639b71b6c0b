// Each request the module can send, field by field, and each refusal.
#include "cp210x_requests.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> sent(const ControlRequest& r) { return std::vector<uint8_t>(r.data, r.data + r.length); }

std::vector<uint8_t> hexBytes(std::initializer_list<unsigned> values) {
    return std::vector<uint8_t>(values.begin(), values.end());
}

TEST(BridgeIds, OnlyVendor10C4WithAKnownProduct) {
    const struct {
        uint16_t vid, pid;
        bool bridge;
    } rows[] = {
        {0x10C4, 0xEA60, true},  {0x10C4, 0xEA61, true},  {0x10C4, 0xEA63, true},  {0x10C4, 0xEA70, true},
        {0x10C4, 0xEA71, true},  {0x10C4, 0xEA7A, true},  {0x10C4, 0xEA7B, true},  {0x10C4, 0x813F, true},
        {0x10C4, 0xEA62, false}, {0x10C4, 0x0000, false}, {0x10C4, 0x8140, false}, {0x0403, 0xEA60, false},
        {0x10C5, 0x813F, false}, {0x0000, 0x0000, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isBridgeId(row.vid, row.pid), row.bridge) << std::hex << row.vid << ":" << row.pid;
    }
}

TEST(Requests, PartNumberAndStringReads) {
    const ControlRequest part = partNumberRequest();
    EXPECT_EQ(part.requestType, 0xC0);
    EXPECT_EQ(part.request, 0xFF);
    EXPECT_EQ(part.value, 0x370B);
    EXPECT_EQ(part.index, 0);
    EXPECT_EQ(part.length, 1);

    const ControlRequest serial = stringDescriptorRequest(3);
    EXPECT_EQ(serial.requestType, 0x80);
    EXPECT_EQ(serial.request, 0x06);
    EXPECT_EQ(serial.value, 0x0303);
    EXPECT_EQ(serial.index, 0x0409);
    EXPECT_EQ(serial.length, 255);
}

const char productText[] = "nolt Quintavelor";
const char serialText[] = "12 345 678";
const BAUD_CONFIG baudEntry = {0xFE5F, 0xFF63, 1, {0, 0, 0}, 57600};

std::vector<BAUD_CONFIG> baudTable(const BAUD_CONFIG& entry) {
    return std::vector<BAUD_CONFIG>(NUM_BAUD_CONFIGS, entry);
}

// Every write the tool makes, on a CP2102, as it goes on the wire.
TEST(Requests, WritesOfTheFullRun) {
    const PartInfo* cp2102 = partByName("CP2102");
    std::vector<BAUD_CONFIG> table = baudTable(baudEntry);
    std::vector<uint8_t> baudWire;
    for (size_t i = 0; i < NUM_BAUD_CONFIGS; ++i) {
        for (unsigned b : {0xFE, 0x5F, 0xFF, 0x63, 0x01, 0x00, 0x00, 0xE1, 0x00, 0x00}) baudWire.push_back(uint8_t(b));
    }
    baudWire.push_back(0);
    baudWire.push_back(0);

    const struct {
        const char* name;
        std::function<CP210x_STATUS(ControlRequest*)> build;
        uint16_t value, index;
        std::vector<uint8_t> data;
    } rows[] = {
        {"vendor ID", [&](ControlRequest* r) { return vendorIdRequest(cp2102, 0x10C4, r); }, 0x3701, 0x10C4, {}},
        {"product ID", [&](ControlRequest* r) { return productIdRequest(cp2102, 0x813F, r); }, 0x3702, 0x813F, {}},
        {"product ID reset", [&](ControlRequest* r) { return productIdRequest(cp2102, 0xEA60, r); }, 0x3702, 0xEA60,
         {}},
        {"product string",
         [&](ControlRequest* r) { return productStringRequest(cp2102, productText, 16, 1, r); }, 0x3703, 0,
         hexBytes({0x22, 0x03, 'n', 0, 'o', 0, 'l', 0, 't', 0, ' ', 0, 'Q', 0, 'u', 0, 'i', 0, 'n', 0, 't', 0,
                   'a', 0, 'v', 0, 'e', 0, 'l', 0, 'o', 0, 'r', 0})},
        {"serial string",
         [&](ControlRequest* r) { return serialStringRequest(cp2102, serialText, 10, 1, r); }, 0x3704, 0,
         hexBytes({0x16, 0x03, '1', 0, '2', 0, ' ', 0, '3', 0, '4', 0, '5', 0, ' ', 0, '6', 0, '7', 0, '8', 0})},
        {"self-powered", [&](ControlRequest* r) { return selfPowerRequest(cp2102, 1, r); }, 0x3705, 0xC0, {}},
        {"any true value is self-powered", [&](ControlRequest* r) { return selfPowerRequest(cp2102, 7, r); },
         0x3705, 0xC0, {}},
        {"bus-powered", [&](ControlRequest* r) { return selfPowerRequest(cp2102, 0, r); }, 0x3705, 0x80, {}},
        {"0 mA", [&](ControlRequest* r) { return maxPowerRequest(cp2102, 0, r); }, 0x3706, 0, {}},
        {"500 mA", [&](ControlRequest* r) { return maxPowerRequest(cp2102, 250, r); }, 0x3706, 250, {}},
        {"version 1.00", [&](ControlRequest* r) { return deviceVersionRequest(cp2102, 0x0100, r); }, 0x3707, 0x0100,
         {}},
        {"baud table", [&](ControlRequest* r) { return baudTableRequest(cp2102, table.data(), r); }, 0x3709, 0,
         baudWire},
        {"lock", [&](ControlRequest* r) { return lockRequest(cp2102, r); }, 0x370A, 0x00F0, {}},
    };
    for (const auto& row : rows) {
        ControlRequest r;
        memset(&r, 0xEE, sizeof r);
        ASSERT_EQ(row.build(&r), CP210x_SUCCESS) << row.name;
        EXPECT_EQ(r.requestType, 0x40) << row.name;
        EXPECT_EQ(r.request, 0xFF) << row.name;
        EXPECT_EQ(r.value, row.value) << row.name;
        EXPECT_EQ(r.index, row.index) << row.name;
        EXPECT_EQ(r.length, row.data.size()) << row.name;
        EXPECT_EQ(sent(r), row.data) << row.name;
    }
}

// What each part takes: 0, or 4 before anything is built.
TEST(Requests, GatedByPart) {
    std::vector<BAUD_CONFIG> table = baudTable(baudEntry);
    const std::function<CP210x_STATUS(const PartInfo*, ControlRequest*)> writes[] = {
        [](const PartInfo* p, ControlRequest* r) { return vendorIdRequest(p, 0x10C4, r); },
        [](const PartInfo* p, ControlRequest* r) { return productIdRequest(p, 0x813F, r); },
        [](const PartInfo* p, ControlRequest* r) { return productStringRequest(p, productText, 16, 1, r); },
        [](const PartInfo* p, ControlRequest* r) { return serialStringRequest(p, serialText, 10, 1, r); },
        [](const PartInfo* p, ControlRequest* r) { return selfPowerRequest(p, 1, r); },
        [](const PartInfo* p, ControlRequest* r) { return maxPowerRequest(p, 0, r); },
        [](const PartInfo* p, ControlRequest* r) { return deviceVersionRequest(p, 0x0100, r); },
        [&](const PartInfo* p, ControlRequest* r) { return baudTableRequest(p, table.data(), r); },
        [](const PartInfo* p, ControlRequest* r) { return lockRequest(p, r); },
    };
    const int ok = CP210x_SUCCESS, no = CP210x_FUNCTION_NOT_SUPPORTED;
    const struct {
        int number;  // -1: a part number no row knows
        int expected[9];  // vid, pid, product, serial, self-powered, max power, version, baud, lock
    } rows[] = {
        {0x01, {ok, ok, ok, ok, ok, ok, ok, no, no}}, {0x02, {ok, ok, ok, ok, ok, ok, ok, ok, ok}},
        {0x03, {ok, ok, ok, ok, ok, ok, ok, ok, ok}}, {0x04, {ok, ok, ok, ok, ok, ok, ok, no, ok}},
        {0x05, {ok, ok, ok, ok, ok, ok, ok, no, ok}}, {0x08, {ok, ok, ok, ok, ok, ok, ok, no, ok}},
        {0x09, {ok, ok, ok, ok, ok, ok, ok, ok, ok}}, {0x20, {no, no, no, no, no, no, no, no, no}},
        {0x21, {no, no, no, no, no, no, no, no, no}}, {0x22, {no, no, no, no, no, no, no, no, no}},
        {-1, {no, no, no, no, no, no, no, no, no}},
    };
    for (const auto& row : rows) {
        const PartInfo* part = row.number < 0 ? nullptr : partByNumber(static_cast<uint8_t>(row.number));
        ASSERT_TRUE(row.number < 0 || part != nullptr) << row.number;
        for (size_t i = 0; i < 9; ++i) {
            ControlRequest r;
            EXPECT_EQ(writes[i](part, &r), row.expected[i]) << "part " << row.number << ", write " << i;
        }
    }
}

// Arguments a part refuses with 2; the part is checked first.
TEST(Requests, StringLengthsAndValuesOutOfRange) {
    const std::string longText(130, 'x');
    const PartInfo* cp2102 = partByName("CP2102");
    const PartInfo* cp2105 = partByName("CP2105");
    const PartInfo* cp2102n = partByName("CP2102N");
    const struct {
        const char* name;
        std::function<CP210x_STATUS(ControlRequest*)> build;
        CP210x_STATUS expected;
    } rows[] = {
        {"product of 126", [&](ControlRequest* r) { return productStringRequest(cp2102, longText.data(), 126, 1, r); }, 0},
        {"product of 127", [&](ControlRequest* r) { return productStringRequest(cp2102, longText.data(), 127, 1, r); }, 2},
        {"product of 0", [&](ControlRequest* r) { return productStringRequest(cp2102, longText.data(), 0, 1, r); }, 2},
        {"no product", [&](ControlRequest* r) { return productStringRequest(cp2102, nullptr, 5, 1, r); }, 2},
        {"serial of 63", [&](ControlRequest* r) { return serialStringRequest(cp2102, longText.data(), 63, 1, r); }, 0},
        {"serial of 64", [&](ControlRequest* r) { return serialStringRequest(cp2102, longText.data(), 64, 1, r); }, 2},
        {"serial of 0", [&](ControlRequest* r) { return serialStringRequest(cp2102, longText.data(), 0, 1, r); }, 2},
        {"CP2105 product of 47", [&](ControlRequest* r) { return productStringRequest(cp2105, longText.data(), 47, 1, r); }, 0},
        {"CP2105 product of 48", [&](ControlRequest* r) { return productStringRequest(cp2105, longText.data(), 48, 1, r); }, 2},
        {"CP2105 serial of 16", [&](ControlRequest* r) { return serialStringRequest(cp2105, longText.data(), 16, 1, r); }, 0},
        {"CP2105 serial of 17", [&](ControlRequest* r) { return serialStringRequest(cp2105, longText.data(), 17, 1, r); }, 2},
        {"CP2102N refuses before the length", [&](ControlRequest* r) { return serialStringRequest(cp2102n, longText.data(), 0, 1, r); }, 4},
        {"control byte 0x85", [&](ControlRequest* r) { return productStringRequest(cp2102, "ab\x85", 3, 1, r); }, 2},
        {"more than 500 mA", [&](ControlRequest* r) { return maxPowerRequest(cp2102, 251, r); }, 2},
        {"no baud table", [&](ControlRequest* r) { return baudTableRequest(cp2102, nullptr, r); }, 2},
    };
    for (const auto& row : rows) {
        ControlRequest r;
        EXPECT_EQ(row.build(&r), row.expected) << row.name;
    }
}

TEST(Payloads, StringDescriptor) {
    const struct {
        std::string text;
        int32_t isText;
        uint8_t length;  // in characters
        std::vector<uint8_t> expected;  // empty: refused
    } rows[] = {
        {"A", 1, 1, {0x04, 0x03, 'A', 0}},
        {"\x7F" " ~", 1, 3, {0x08, 0x03, 0x7F, 0, ' ', 0, '~', 0}},
        {"\xA0\xE4\xFF", 1, 3, {0x08, 0x03, 0xA0, 0, 0xE4, 0, 0xFF, 0}},
        {"ab\x80", 1, 3, {}},
        {"\x9F", 1, 1, {}},
        {"only two", 1, 2, {0x06, 0x03, 'o', 0, 'n', 0}},
        // UTF-16LE code units pass as they are: U+20AC, U+0080.
        {std::string("\xAC\x20\x80\x00", 4), 0, 2, {0x06, 0x03, 0xAC, 0x20, 0x80, 0x00}},
    };
    for (const auto& row : rows) {
        uint8_t out[300];
        memset(out, 0xEE, sizeof out);
        const size_t size = stringDescriptor(row.text.data(), row.length, row.isText, out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + size), row.expected) << row.text;
        if (size > 0) {
            EXPECT_EQ(out[size], 0xEE) << "nothing beyond the descriptor: " << row.text;
        }
    }
    // The longest product string still fits bLength.
    const std::string longest(126, 'z');
    uint8_t out[300];
    EXPECT_EQ(stringDescriptor(longest.data(), 126, 1, out), 254u);
    EXPECT_EQ(out[0], 254);
}

TEST(Payloads, BaudTableEntriesOnTheWire) {
    std::vector<BAUD_CONFIG> table = baudTable(baudEntry);
    // Reserved bytes carry nothing onto the wire.
    table[1] = BAUD_CONFIG{0x0102, 0x0304, 0x05, {0xAA, 0xBB, 0xCC}, 0x0A0B0C0D};
    table[31] = BAUD_CONFIG{0xFFF0, 0x0001, 0xFF, {0, 0, 0}, 921600};
    uint8_t out[baudPayloadSize + 4];
    memset(out, 0xEE, sizeof out);
    baudPayload(table.data(), out);
    const auto at = [&](size_t entry) { return std::vector<uint8_t>(out + 10 * entry, out + 10 * entry + 10); };
    EXPECT_EQ(at(0), hexBytes({0xFE, 0x5F, 0xFF, 0x63, 0x01, 0x00, 0x00, 0xE1, 0x00, 0x00}));
    EXPECT_EQ(at(1), hexBytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x00, 0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(at(30), at(0));
    EXPECT_EQ(at(31), hexBytes({0xFF, 0xF0, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x10, 0x0E, 0x00}));
    EXPECT_EQ(baudPayloadSize, 322u);
    EXPECT_EQ(out[320], 0);
    EXPECT_EQ(out[321], 0);
    EXPECT_EQ(out[322], 0xEE) << "nothing beyond the payload";
}

TEST(Statuses, OfATransfer) {
    const struct {
        int result;
        uint16_t expected;
        CP210x_STATUS status;
    } rows[] = {
        {0, 0, CP210x_SUCCESS},
        {322, 322, CP210x_SUCCESS},
        {321, 322, CP210x_DEVICE_IO_FAILED},
        {0, 34, CP210x_DEVICE_IO_FAILED},
        {LIBUSB_ERROR_PIPE, 0, CP210x_DEVICE_IO_FAILED},
        {LIBUSB_ERROR_TIMEOUT, 0, CP210x_DEVICE_IO_FAILED},
        {LIBUSB_ERROR_IO, 34, CP210x_DEVICE_IO_FAILED},
        {LIBUSB_ERROR_OVERFLOW, 1, CP210x_DEVICE_IO_FAILED},
        {LIBUSB_ERROR_OTHER, 0, CP210x_DEVICE_IO_FAILED},
        {LIBUSB_ERROR_NO_DEVICE, 0, CP210x_DEVICE_NOT_FOUND},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(transferStatus(row.result, row.expected), row.status) << row.result << " of " << row.expected;
    }
    for (int error : {LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_BUSY, LIBUSB_ERROR_NOT_FOUND}) {
        EXPECT_EQ(openStatus(error), CP210x_DEVICE_NOT_FOUND) << error;
    }
}

TEST(Statuses, OfThePartNumber) {
    const struct {
        int result;
        uint8_t number;
        CP210x_STATUS status;
        const char* part;  // nullptr: none
    } rows[] = {
        {1, 0x02, CP210x_SUCCESS, "CP2102"},
        {1, 0x04, CP210x_SUCCESS, "CP2104"},
        {1, 0x09, CP210x_SUCCESS, "CP2109"},
        {1, 0x20, CP210x_SUCCESS, "CP2102N-QFN28"},
        {1, 0x55, CP210x_SUCCESS, nullptr},
        {LIBUSB_ERROR_PIPE, 0, CP210x_SUCCESS, "CP2101"},
        {0, 0, CP210x_DEVICE_IO_FAILED, nullptr},
        {LIBUSB_ERROR_TIMEOUT, 0, CP210x_DEVICE_IO_FAILED, nullptr},
        {LIBUSB_ERROR_NO_DEVICE, 0, CP210x_DEVICE_NOT_FOUND, nullptr},
    };
    for (const auto& row : rows) {
        const PartAnswer answer = partFromAnswer(row.result, row.number);
        EXPECT_EQ(answer.status, row.status) << row.result;
        EXPECT_STREQ(answer.part != nullptr ? answer.part->name : nullptr, row.part) << row.result;
    }
}

// The udev rule grants the logged-in user the bridges the module knows, and
// nobody else anything.
TEST(UdevRule, CoversExactlyTheBridgeIds) {
    std::ifstream in(UDEV_RULE_FILE);
    ASSERT_TRUE(in) << UDEV_RULE_FILE;
    std::set<uint16_t> products;
    const std::regex product(R"re(ATTR\{idProduct\}=="([0-9a-f]{4})")re");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        EXPECT_NE(line.find(R"(SUBSYSTEM=="usb")"), std::string::npos) << line;
        EXPECT_NE(line.find(R"(ATTR{idVendor}=="10c4")"), std::string::npos) << line;
        EXPECT_NE(line.find(R"(TAG+="uaccess")"), std::string::npos) << line;
        EXPECT_EQ(line.find("MODE"), std::string::npos) << "no mode of its own: " << line;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, product)) << line;
        products.insert(static_cast<uint16_t>(std::stoul(match[1], nullptr, 16)));
    }
    EXPECT_EQ(products, std::set<uint16_t>(bridgeProductIds, bridgeProductIds + bridgeProductIdCount));
    EXPECT_EQ(products.count(0x813F), 1u);
}

}  // namespace
