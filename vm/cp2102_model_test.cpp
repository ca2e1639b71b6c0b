#include "cp2102_model.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string repeat(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

// A string descriptor of `text` as hex.
std::string descriptor(const std::string& text) {
    char head[8];
    snprintf(head, sizeof head, "%02X03", unsigned(2 + 2 * text.size()));
    std::string hex = head;
    for (unsigned char c : text) {
        char unit[8];
        snprintf(unit, sizeof unit, "%02X00", c);
        hex += unit;
    }
    return hex;
}

const std::string baudEntry = "FE5FFF63010000E10000";
const std::string baudPayload = repeat(baudEntry, 32) + "0000";

struct RequestCase {
    const char* name;
    const char* part;
    bool locked;
    Setup setup;
    std::string out;        // hex of the OUT data stage
    std::string line;       // the log line
    std::string changed;    // a "key=value" line the configuration then holds; empty: unchanged
};

const RequestCase requestCases[] = {
    {"part number CP2102", "CP2102", false, {0xC0, 0xFF, 0x370B, 0, 1}, "",
     "part number: C0 FF 370B 0000 0001 -> 02", ""},
    {"part number CP2104", "CP2104", false, {0xC0, 0xFF, 0x370B, 0, 1}, "",
     "part number: C0 FF 370B 0000 0001 -> 04", ""},
    {"part number CP2102N", "CP2102N", false, {0xC0, 0xFF, 0x370B, 0, 1}, "",
     "part number: C0 FF 370B 0000 0001 -> 20", ""},
    {"part number CP2101 unanswered", "CP2101", false, {0xC0, 0xFF, 0x370B, 0, 1}, "",
     "part number: C0 FF 370B 0000 0001 -> stall (this part does not answer it)", ""},
    {"lock state unlocked", "CP2102", false, {0xC0, 0xFF, 0x370A, 0, 1}, "",
     "lock state: C0 FF 370A 0000 0001 -> FF", ""},
    {"lock state locked", "CP2102", true, {0xC0, 0xFF, 0x370A, 0, 1}, "",
     "lock state: C0 FF 370A 0000 0001 -> F0", ""},
    {"vendor ID", "CP2102", false, {0x40, 0xFF, 0x3701, 0x10C4, 0}, "",
     "vendor ID: 40 FF 3701 10C4 0000 -> ack", "vid=0x10C4"},
    {"product ID", "CP2102", false, {0x40, 0xFF, 0x3702, 0x813F, 0}, "",
     "product ID: 40 FF 3702 813F 0000 -> ack", "pid=0x813F"},
    {"product string", "CP2102", false, {0x40, 0xFF, 0x3703, 0, 34}, descriptor("nolt Quintavelor"),
     "product string: 40 FF 3703 0000 0022 " + descriptor("nolt Quintavelor") + " -> ack",
     "product=nolt Quintavelor"},
    {"serial string, Latin-1 kept", "CP2102", false, {0x40, 0xFF, 0x3704, 0, 8}, "0803E9003100FF00",
     "serial string: 40 FF 3704 0000 0008 0803E9003100FF00 -> ack", "serial=\\u00E91\\u00FF"},
    {"self-powered", "CP2102", false, {0x40, 0xFF, 0x3705, 0x00C0, 0}, "",
     "configuration attributes: 40 FF 3705 00C0 0000 -> ack", "attributes=0xC0"},
    {"maximum power 0", "CP2102", false, {0x40, 0xFF, 0x3706, 0, 0}, "",
     "maximum power: 40 FF 3706 0000 0000 -> ack", "maxPower=0"},
    {"device release", "CP2102", false, {0x40, 0xFF, 0x3707, 0x0100, 0}, "",
     "device release: 40 FF 3707 0100 0000 -> ack", "release=0x0100"},
    {"baud table", "CP2102", false, {0x40, 0xFF, 0x3709, 0, 322}, baudPayload,
     "baud-rate table: 40 FF 3709 0000 0142 " + baudPayload + " -> ack", "baudTable=32 x FE5F FF63 1 57600"},
    {"lock", "CP2102", false, {0x40, 0xFF, 0x370A, 0x00F0, 0}, "",
     "lock: 40 FF 370A 00F0 0000 -> ack", "locked=yes"},

    {"pin configuration of a CP2104", "CP2104", false, {0xC0, 0xFF, 0x370C, 0, 13}, "",
     "port configuration: C0 FF 370C 0000 000D -> " + std::string(26, '0'), ""},
    {"no pin configuration on a CP2102", "CP2102", false, {0xC0, 0xFF, 0x370C, 0, 13}, "",
     "port configuration: C0 FF 370C 0000 000D -> stall (unknown request)", ""},
    {"configuration block of a CP2102N", "CP2102N", false, {0xC0, 0xFF, 0x000E, 0, 678}, "",
     "configuration block: C0 FF 000E 0000 02A6 -> " + std::string(1356, '0'), ""},

    // Refusals: what a chip stalls or drops.
    {"attributes without bit 7", "CP2102", false, {0x40, 0xFF, 0x3705, 0x0040, 0}, "",
     "configuration attributes: 40 FF 3705 0040 0000 -> stall (not an attributes byte)", ""},
    {"maximum power above 500 mA", "CP2102", false, {0x40, 0xFF, 0x3706, 251, 0}, "",
     "maximum power: 40 FF 3706 00FB 0000 -> stall (above 250 (500 mA))", ""},
    {"release not BCD", "CP2102", false, {0x40, 0xFF, 0x3707, 0x010A, 0}, "",
     "device release: 40 FF 3707 010A 0000 -> stall (not BCD)", ""},
    {"lock with another value", "CP2102", false, {0x40, 0xFF, 0x370A, 0x0000, 0}, "",
     "lock: 40 FF 370A 0000 0000 -> stall (lock value is not 0x00F0)", ""},
    {"IN on the vendor-ID register", "CP2102", false, {0xC0, 0xFF, 0x3701, 0, 2}, "",
     "unknown: C0 FF 3701 0000 0002 -> stall (unknown request)", ""},
    {"firmware-update entry", "CP2102", false, {0x40, 0xFF, 0x37FF, 0, 0}, "",
     "unknown: 40 FF 37FF 0000 0000 -> stall (unknown request)", ""},
    {"locked part refuses a plain write", "CP2102", true, {0x40, 0xFF, 0x3701, 0x10C4, 0}, "",
     "vendor ID: 40 FF 3701 10C4 0000 -> stall (locked)", ""},
    {"locked part refuses a write with data", "CP2102", true, {0x40, 0xFF, 0x3703, 0, 34}, "",
     "product string: 40 FF 3703 0000 0022 -> stall (locked)", ""},
    {"CP2104 has no baud table", "CP2104", false, {0x40, 0xFF, 0x3709, 0, 322}, "",
     "baud-rate table: 40 FF 3709 0000 0142 -> stall (not supported on CP2104)", ""},
    {"CP2102N takes no field write", "CP2102N", false, {0x40, 0xFF, 0x3705, 0x00C0, 0}, "",
     "configuration attributes: 40 FF 3705 00C0 0000 -> stall (not supported on CP2102N)", ""},
    {"CP2101 cannot lock", "CP2101", false, {0x40, 0xFF, 0x370A, 0x00F0, 0}, "",
     "lock: 40 FF 370A 00F0 0000 -> stall (not supported on CP2101)", ""},
    {"string without data stage", "CP2102", false, {0x40, 0xFF, 0x3704, 0, 0}, "",
     "serial string: 40 FF 3704 0000 0000 -> stall (no data stage)", ""},
    {"scalar register with a data stage", "CP2102", false, {0x40, 0xFF, 0x3706, 0, 1}, "",
     "maximum power: 40 FF 3706 0000 0001 -> stall (unexpected data stage)", ""},
    {"descriptor length byte wrong", "CP2102", false, {0x40, 0xFF, 0x3704, 0, 6}, "08033100",
     "serial string: 40 FF 3704 0000 0006 08033100 -> ignored (length byte is not the payload length)", ""},
    {"not a string descriptor", "CP2102", false, {0x40, 0xFF, 0x3704, 0, 4}, "04013100",
     "serial string: 40 FF 3704 0000 0004 04013100 -> ignored (not a string descriptor)", ""},
    {"serial of 64 characters", "CP2102", false, {0x40, 0xFF, 0x3704, 0, 130}, descriptor(std::string(64, '1')),
     "serial string: 40 FF 3704 0000 0082 " + descriptor(std::string(64, '1')) +
         " -> ignored (longer than 63 characters)", ""},
    {"serial of 63 characters", "CP2102", false, {0x40, 0xFF, 0x3704, 0, 128}, descriptor(std::string(63, '1')),
     "serial string: 40 FF 3704 0000 0080 " + descriptor(std::string(63, '1')) + " -> ack",
     "serial=" + std::string(63, '1')},
    {"CP2105 serial of 17 characters", "CP2105", false, {0x40, 0xFF, 0x3704, 0, 36},
     descriptor(std::string(17, '1')),
     "serial string: 40 FF 3704 0000 0024 " + descriptor(std::string(17, '1')) +
         " -> ignored (longer than 16 characters)", ""},
    {"baud table one byte short", "CP2102", false, {0x40, 0xFF, 0x3709, 0, 321}, baudPayload.substr(2),
     "baud-rate table: 40 FF 3709 0000 0141 " + baudPayload.substr(2) + " -> ignored (not 322 bytes)", ""},
    {"baud entry with its reserved byte set", "CP2102", false, {0x40, 0xFF, 0x3709, 0, 322},
     "FE5FFF63010100E10000" + repeat(baudEntry, 31) + "0000",
     "baud-rate table: 40 FF 3709 0000 0142 FE5FFF63010100E10000" + repeat(baudEntry, 31) +
         "0000 -> ignored (reserved byte of entry 0 not 0)", ""},

    // The UART commands of the kernel's serial driver.
    {"enable the UART", "CP2102", false, {0x41, 0x00, 0x0001, 0, 0}, "",
     "IFC_ENABLE: 41 00 0001 0000 0000 -> ack", ""},
    {"baud rate", "CP2102", false, {0x41, 0x1E, 0, 0, 4}, "00E10000",
     "SET_BAUDRATE: 41 1E 0000 0000 0004 00E10000 -> ack", ""},
    {"modem status", "CP2102", false, {0xC1, 0x08, 0, 0, 1}, "",
     "GET_MDMSTS: C1 08 0000 0000 0001 -> B0", ""},
    {"comm status", "CP2102", false, {0xC1, 0x10, 0, 0, 19}, "",
     "GET_COMM_STATUS: C1 10 0000 0000 0013 -> " + std::string(38, '0'), ""},
    {"flow control of the wrong size", "CP2102", false, {0x41, 0x13, 0, 0, 8}, "",
     "SET_FLOW: 41 13 0000 0000 0008 -> stall (not 16 bytes)", ""},
    {"second interface", "CP2102", false, {0xC1, 0x04, 0, 1, 2}, "",
     "GET_LINE_CTL: C1 04 0000 0001 0002 -> stall (no such interface)", ""},
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class Requests : public testing::TestWithParam<RequestCase> {};

TEST_P(Requests, AnswerLogAndConfiguration) {
    const RequestCase& c = GetParam();
    Chip chip;
    chip.config = factoryConfig(*emulatedPart(c.part));
    chip.config.locked = c.locked;
    const std::string before = configText(chip.config);
    const std::vector<uint8_t> out = fromHex(c.out);
    const Reply screened = screen(chip, c.setup);

    const Reply reply = answer(chip, c.setup, out);

    EXPECT_EQ(logLine(c.setup, out, reply), c.line);
    if (c.changed.empty()) {
        EXPECT_EQ(configText(chip.config), before);
    } else {
        EXPECT_NE(configText(chip.config).find(c.changed + "\n"), std::string::npos) << configText(chip.config);
    }
    // Once an OUT data stage is taken it can't be stalled any more: such a
    // stall must already come from screen().
    if ((c.setup.requestType & 0x80) == 0 && c.setup.length > 0 && reply.kind == Reply::Stall) {
        EXPECT_EQ(screened.kind, Reply::Stall);
    }
}

INSTANTIATE_TEST_SUITE_P(Chip, Requests, testing::ValuesIn(requestCases),
                         [](const testing::TestParamInfo<RequestCase>& param) {
                             std::string name;
                             for (const char* p = param.param.name; *p != '\0'; ++p) {
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST(Chip, LineControlReadsBackWhatWasSet) {
    Chip chip;
    chip.config = factoryConfig(*emulatedPart("CP2102"));
    answer(chip, {0x41, 0x03, 0x0801, 0, 0}, {});
    EXPECT_EQ(answer(chip, {0xC1, 0x04, 0, 0, 2}, {}).data, fromHex("0108"));
    answer(chip, {0x41, 0x1E, 0, 0, 4}, fromHex("80250000"));
    EXPECT_EQ(answer(chip, {0xC1, 0x1D, 0, 0, 4}, {}).data, fromHex("80250000"));
    answer(chip, {0x41, 0x07, 0x0101, 0, 0}, {});   // DTR on, RTS untouched
    EXPECT_EQ(answer(chip, {0xC1, 0x08, 0, 0, 1}, {}).data, fromHex("B1"));
}

TEST(Chip, AnswersNoMoreThanAsked) {
    Chip chip;
    chip.config = factoryConfig(*emulatedPart("CP2102"));
    EXPECT_EQ(answer(chip, {0xC1, 0x10, 0, 0, 4}, {}).data.size(), 4u);
}

TEST(Chip, FactoryConfigurationHoldsEveryField) {
    EXPECT_EQ(configText(factoryConfig(*emulatedPart("CP2102"))),
              "part=CP2102\n"
              "vid=0x10C4\n"
              "pid=0xEA60\n"
              "manufacturer=Silicon Labs\n"
              "product=CP2102 USB to UART Bridge Controller\n"
              "serial=0001\n"
              "attributes=0x80\n"
              "maxPower=50\n"
              "release=0x0100\n"
              "baudTable=factory\n"
              "locked=no\n");
}

TEST(Chip, BaudTableRunsInOrder) {
    Chip chip;
    chip.config = factoryConfig(*emulatedPart("CP2102"));
    const std::string payload = repeat("FFC0FFF0010080250000", 2) + repeat(baudEntry, 30) + "0000";
    answer(chip, {0x40, 0xFF, 0x3709, 0, 322}, fromHex(payload));
    EXPECT_NE(configText(chip.config).find("baudTable=2 x FFC0 FFF0 1 9600, 30 x FE5F FF63 1 57600\n"),
              std::string::npos);
}

TEST(Chip, StringsForTheGadgetLayer) {
    EXPECT_EQ(utf8(u"12 345 678"), "12 345 678");
    EXPECT_EQ(utf8(u"\u00D6l"), "\xC3\x96l");
    EXPECT_EQ(utf8(u"\u20AC"), "\xE2\x82\xAC");
}

}  // namespace
