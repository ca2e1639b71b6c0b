// What the emulated CP210x bridge answers to each control request on its
// endpoint 0: the chip without the USB I/O, so the answers can be tested on
// the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A part the emulator can be, with what it supports.
struct EmulatedPart {
    const char* name;
    uint8_t number;            // answer to the part-number read
    bool answersPartNumber;    // a CP2101 often stalls that read
    bool fieldWrites;          // IDs, strings, power, release
    bool baudTable;
    bool lock;
    uint8_t productMax;        // characters
    uint8_t serialMax;
    const char* product;       // the factory product string
};

// nullptr for an unknown name.
const EmulatedPart* emulatedPart(const std::string& name);

// The configuration the chip holds; strings as UTF-16 code units.
struct BridgeConfig {
    const EmulatedPart* part = nullptr;
    uint16_t vid = 0x10C4;
    uint16_t pid = 0xEA60;
    std::u16string manufacturer = u"Silicon Labs";
    std::u16string product;
    std::u16string serial = u"0001";
    uint8_t attributes = 0x80;   // bus-powered
    uint8_t maxPower = 50;       // 2 mA units: 100 mA
    uint16_t release = 0x0100;
    std::vector<uint8_t> baudTable;  // the 322 bytes last written; empty: the factory table
    bool locked = false;
};

// A factory-fresh bridge of the part.
BridgeConfig factoryConfig(const EmulatedPart& part);

// The UART side that the kernel's serial driver drives.
struct SerialState {
    bool enabled = false;
    uint32_t baudRate = 9600;
    uint16_t lineControl = 0x0800;   // 8 data bits, no parity, 1 stop bit
    uint8_t modemControl = 0;        // bit 0 DTR, bit 1 RTS
    uint16_t eventMask = 0;
    std::vector<uint8_t> flow = std::vector<uint8_t>(16, 0);
    std::vector<uint8_t> chars = std::vector<uint8_t>(6, 0);
};

struct Chip {
    BridgeConfig config;
    SerialState serial;
};

struct Setup {
    uint8_t requestType;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// How the chip answers. A request is stalled before its data stage; once an
// OUT data stage is taken, the status stage follows by itself, so a payload
// the chip can't use is Ignored.
struct Reply {
    enum Kind { Data, Ack, Stall, Ignored } kind;
    std::vector<uint8_t> data;   // Data: at most the request's length
    std::string reason;          // Stall, Ignored
};

// Stall when the chip refuses the request before any data stage, else Ack.
Reply screen(const Chip& chip, const Setup& setup);

// `out` is the OUT data stage (empty for IN requests and requests without
// one). Runs screen() first.
Reply answer(Chip& chip, const Setup& setup, const std::vector<uint8_t>& out);

// A short name for the request: "part number", "SET_LINE_CTL", "unknown".
std::string requestName(const Setup& setup);

// One line of the request log:
// "part number: C0 FF 370B 0000 0001 -> 02"
// "product string: 40 FF 3703 0000 0022 22036E00... -> ack"
std::string logLine(const Setup& setup, const std::vector<uint8_t>& out, const Reply& reply);

// The configuration as "key=value" lines, every field.
std::string configText(const BridgeConfig& config);

// The text as UTF-8, as the gadget layer takes strings.
std::string utf8(const std::u16string& text);

// Hex of bytes, upper case, no separators.
std::string hexBytes(const std::vector<uint8_t>& bytes);
