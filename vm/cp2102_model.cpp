#include "cp2102_model.h"

#include <cstdio>

namespace {

const EmulatedPart parts[] = {
    {"CP2101", 0x01, false, true, false, false, 126, 63, "CP2101 USB to UART Bridge Controller"},
    {"CP2102", 0x02, true, true, true, true, 126, 63, "CP2102 USB to UART Bridge Controller"},
    {"CP2103", 0x03, true, true, true, true, 126, 63, "CP2103 USB to UART Bridge Controller"},
    {"CP2104", 0x04, true, true, false, true, 126, 63, "CP2104 USB to UART Bridge Controller"},
    {"CP2105", 0x05, true, true, false, true, 47, 16, "CP2105 Dual USB to UART Bridge Controller"},
    {"CP2108", 0x08, true, true, false, true, 126, 63, "CP2108 Quad USB to UART Bridge Controller"},
    {"CP2109", 0x09, true, true, true, true, 126, 63, "CP2109 USB to UART Bridge Controller"},
    // Its configuration lives in a checksummed block that no per-field
    // request reaches.
    {"CP2102N", 0x20, true, false, false, false, 126, 63, "CP2102N USB to UART Bridge Controller"},
};

Reply ack() { return {Reply::Ack, {}, ""}; }
Reply stall(const std::string& reason) { return {Reply::Stall, {}, reason}; }
Reply ignored(const std::string& reason) { return {Reply::Ignored, {}, reason}; }
Reply data(std::vector<uint8_t> bytes) { return {Reply::Data, std::move(bytes), ""}; }

std::vector<uint8_t> le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
std::vector<uint8_t> le32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
uint32_t readLe32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// The text of a string-descriptor payload, or the reason it is not one.
bool decodeString(const std::vector<uint8_t>& d, size_t limit, std::u16string& text, std::string& why) {
    if (d.size() < 2 || d[0] != d.size()) {
        why = "length byte is not the payload length";
    } else if (d[1] != 0x03) {
        why = "not a string descriptor";
    } else if (d.size() % 2 != 0) {
        why = "odd length";
    } else if (d.size() == 2) {
        why = "empty string";
    } else if ((d.size() - 2) / 2 > limit) {
        why = "longer than " + std::to_string(limit) + " characters";
    } else {
        text.clear();
        for (size_t i = 2; i < d.size(); i += 2) text.push_back(char16_t(d[i] | d[i + 1] << 8));
        return true;
    }
    return false;
}

// --- the configuration registers: bRequest 0xFF to the device

enum class Needs { Nothing, FieldWrites, BaudTable, Lock };

enum : size_t { baudEntries = 32, baudEntrySize = 10, baudPayloadSize = baudEntries * baudEntrySize + 2 };

struct Register {
    uint16_t value;
    bool in;
    const char* name;
    bool dataStage;
    Needs needs;
    // Applies a write the part supports, or says why it is refused.
    Reply (*run)(Chip&, const Setup&, const std::vector<uint8_t>&);
};

Reply writeString(std::u16string& field, size_t limit, const Setup& s, const std::vector<uint8_t>& out) {
    std::u16string text;
    std::string why;
    if (s.index != 0) return ignored("wIndex is not 0");
    if (!decodeString(out, limit, text, why)) return ignored(why);
    field = text;
    return ack();
}

bool isBcd(uint16_t v) {
    for (int shift = 0; shift < 16; shift += 4) {
        if (((v >> shift) & 0xF) > 9) return false;
    }
    return true;
}

const Register registers[] = {
    {0x3701, false, "vendor ID", false, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>&) { c.config.vid = s.index; return ack(); }},
    {0x3702, false, "product ID", false, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>&) { c.config.pid = s.index; return ack(); }},
    {0x3703, false, "product string", true, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>& out) {
         return writeString(c.config.product, c.config.part->productMax, s, out);
     }},
    {0x3704, false, "serial string", true, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>& out) {
         return writeString(c.config.serial, c.config.part->serialMax, s, out);
     }},
    {0x3705, false, "configuration attributes", false, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>&) {
         // Bit 7 is always set; bit 6 self-powered, bit 5 remote wake-up.
         if ((s.index & 0x80) == 0 || (s.index & 0xFF1F) != 0) return stall("not an attributes byte");
         c.config.attributes = uint8_t(s.index);
         return ack();
     }},
    {0x3706, false, "maximum power", false, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>&) {
         if (s.index > 250) return stall("above 250 (500 mA)");
         c.config.maxPower = uint8_t(s.index);
         return ack();
     }},
    {0x3707, false, "device release", false, Needs::FieldWrites,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>&) {
         if (!isBcd(s.index)) return stall("not BCD");
         c.config.release = s.index;
         return ack();
     }},
    {0x3709, false, "baud-rate table", true, Needs::BaudTable,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>& out) {
         if (s.index != 0) return ignored("wIndex is not 0");
         if (out.size() != baudPayloadSize) return ignored("not 322 bytes");
         for (size_t e = 0; e < baudEntries; ++e) {
             if (out[e * baudEntrySize + 5] != 0) return ignored("reserved byte of entry " + std::to_string(e) + " not 0");
         }
         if (out[baudPayloadSize - 2] != 0 || out[baudPayloadSize - 1] != 0) return ignored("last two bytes not 0");
         c.config.baudTable = out;
         return ack();
     }},
    {0x370A, false, "lock", false, Needs::Lock,
     [](Chip& c, const Setup& s, const std::vector<uint8_t>&) {
         if (s.index != 0x00F0) return stall("lock value is not 0x00F0");
         c.config.locked = true;
         return ack();
     }},
    {0x370A, true, "lock state", false, Needs::Nothing,
     [](Chip& c, const Setup&, const std::vector<uint8_t>&) {
         return data({uint8_t(c.config.locked ? 0xF0 : 0xFF)});
     }},
    {0x370B, true, "part number", false, Needs::Nothing,
     [](Chip& c, const Setup&, const std::vector<uint8_t>&) {
         if (!c.config.part->answersPartNumber) return stall("this part does not answer it");
         return data({c.config.part->number});
     }},
    // Reads the kernel's cp210x driver makes when it binds, for the pins of
    // these parts. All zeros: no pin set up for anything special.
    {0x370C, true, "port configuration", false, Needs::Nothing,
     [](Chip& c, const Setup&, const std::vector<uint8_t>&) {
         return c.config.part->number == 0x04 ? data(std::vector<uint8_t>(13, 0)) : stall("unknown request");
     }},
    {0x0010, true, "firmware version", false, Needs::Nothing,
     [](Chip& c, const Setup&, const std::vector<uint8_t>&) {
         return c.config.part->number == 0x20 ? data({0, 0, 0}) : stall("unknown request");
     }},
    {0x000E, true, "configuration block", false, Needs::Nothing,
     [](Chip& c, const Setup&, const std::vector<uint8_t>&) {
         return c.config.part->number == 0x20 ? data(std::vector<uint8_t>(678, 0)) : stall("unknown request");
     }},
};

bool supports(const EmulatedPart& part, Needs needs) {
    switch (needs) {
        case Needs::Nothing: return true;
        case Needs::FieldWrites: return part.fieldWrites;
        case Needs::BaudTable: return part.fieldWrites && part.baudTable;
        case Needs::Lock: return part.lock;
    }
    return false;
}

const Register* findRegister(const Setup& s) {
    if ((s.requestType != 0x40 && s.requestType != 0xC0) || s.request != 0xFF) return nullptr;
    const bool in = (s.requestType & 0x80) != 0;
    for (const Register& r : registers) {
        if (r.value == s.value && r.in == in) return &r;
    }
    return nullptr;
}

Reply screenRegister(const Chip& chip, const Register& r, const Setup& s) {
    if (r.in) return ack();
    if (r.dataStage && s.length == 0) return stall("no data stage");
    if (!r.dataStage && s.length != 0) return stall("unexpected data stage");
    if (!supports(*chip.config.part, r.needs)) return stall(std::string("not supported on ") + chip.config.part->name);
    if (chip.config.locked) return stall("locked");
    return ack();
}

// --- the UART commands the kernel's serial driver sends to interface 0

struct SerialCommand {
    uint8_t request;
    bool in;
    const char* name;
    size_t length;   // OUT: the data stage it takes (0: none); IN: the answer's length
    std::vector<uint8_t> (*run)(SerialState&, const Setup&, const std::vector<uint8_t>&);
};

std::vector<uint8_t> none(SerialState&, const Setup&, const std::vector<uint8_t>&) { return {}; }

const SerialCommand serialCommands[] = {
    {0x00, false, "IFC_ENABLE", 0,
     [](SerialState& u, const Setup& s, const std::vector<uint8_t>&) {
         u.enabled = (s.value & 1) != 0;
         return std::vector<uint8_t>();
     }},
    {0x01, false, "SET_BAUDDIV", 0,
     [](SerialState& u, const Setup& s, const std::vector<uint8_t>&) {
         if (s.value != 0) u.baudRate = 3686400 / s.value;
         return std::vector<uint8_t>();
     }},
    {0x02, true, "GET_BAUDDIV", 2,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) {
         return le16(uint16_t(3686400 / (u.baudRate != 0 ? u.baudRate : 1)));
     }},
    {0x03, false, "SET_LINE_CTL", 0,
     [](SerialState& u, const Setup& s, const std::vector<uint8_t>&) {
         u.lineControl = s.value;
         return std::vector<uint8_t>();
     }},
    {0x04, true, "GET_LINE_CTL", 2,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) { return le16(u.lineControl); }},
    {0x05, false, "SET_BREAK", 0, none},
    {0x06, false, "IMM_CHAR", 0, none},
    {0x07, false, "SET_MHS", 0,
     [](SerialState& u, const Setup& s, const std::vector<uint8_t>&) {
         // Low byte: DTR (bit 0), RTS (bit 1); high byte: which of them to change.
         const uint8_t mask = uint8_t(s.value >> 8) & 0x03;
         u.modemControl = uint8_t((u.modemControl & ~mask) | (s.value & mask));
         return std::vector<uint8_t>();
     }},
    {0x08, true, "GET_MDMSTS", 1,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) {
         // DTR and RTS as set; CTS, DSR and DCD present.
         return std::vector<uint8_t>{uint8_t(u.modemControl | 0x10 | 0x20 | 0x80)};
     }},
    {0x09, false, "SET_XON", 0, none},
    {0x0A, false, "SET_XOFF", 0, none},
    {0x0B, false, "SET_EVENTMASK", 0,
     [](SerialState& u, const Setup& s, const std::vector<uint8_t>&) {
         u.eventMask = s.value;
         return std::vector<uint8_t>();
     }},
    {0x0C, true, "GET_EVENTMASK", 2,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) { return le16(u.eventMask); }},
    {0x0D, false, "SET_CHAR", 0, none},
    {0x0E, true, "GET_CHARS", 6,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) { return u.chars; }},
    {0x10, true, "GET_COMM_STATUS", 19,
     [](SerialState&, const Setup&, const std::vector<uint8_t>&) { return std::vector<uint8_t>(19, 0); }},
    {0x11, false, "RESET", 0, none},
    {0x12, false, "PURGE", 0, none},
    {0x13, false, "SET_FLOW", 16,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>& out) {
         u.flow = out;
         return std::vector<uint8_t>();
     }},
    {0x14, true, "GET_FLOW", 16,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) { return u.flow; }},
    {0x15, false, "EMBED_EVENTS", 0, none},
    {0x16, true, "GET_EVENTSTATE", 2,
     [](SerialState&, const Setup&, const std::vector<uint8_t>&) { return le16(0); }},
    {0x19, false, "SET_CHARS", 6,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>& out) {
         u.chars = out;
         return std::vector<uint8_t>();
     }},
    {0x1D, true, "GET_BAUDRATE", 4,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>&) { return le32(u.baudRate); }},
    {0x1E, false, "SET_BAUDRATE", 4,
     [](SerialState& u, const Setup&, const std::vector<uint8_t>& out) {
         u.baudRate = readLe32(out, 0);
         return std::vector<uint8_t>();
     }},
};

const SerialCommand* findSerialCommand(const Setup& s) {
    if (s.requestType != 0x41 && s.requestType != 0xC1) return nullptr;
    const bool in = (s.requestType & 0x80) != 0;
    for (const SerialCommand& c : serialCommands) {
        if (c.request == s.request && c.in == in) return &c;
    }
    return nullptr;
}

Reply screenSerial(const SerialCommand& c, const Setup& s) {
    if (s.index != 0) return stall("no such interface");
    if (!c.in && s.length != c.length) {
        return stall(c.length == 0 ? "unexpected data stage" : "not " + std::to_string(c.length) + " bytes");
    }
    return ack();
}

Reply answerSerial(Chip& chip, const SerialCommand& c, const Setup& s, const std::vector<uint8_t>& out) {
    if (out.size() != (c.in ? 0 : c.length)) return ignored("data stage cut short");
    std::vector<uint8_t> answer = c.run(chip.serial, s, out);
    return c.in ? data(answer) : ack();
}

std::string hex16(uint16_t v) {
    char text[8];
    snprintf(text, sizeof text, "%04X", v);
    return text;
}

std::string baudTableText(const std::vector<uint8_t>& wire) {
    std::string text;
    std::string run;
    size_t count = 0;
    for (size_t e = 0; e <= baudEntries; ++e) {
        std::string entry;
        if (e < baudEntries) {
            const uint8_t* b = wire.data() + e * baudEntrySize;
            entry = hex16(uint16_t(b[0] << 8 | b[1])) + " " + hex16(uint16_t(b[2] << 8 | b[3])) + " " +
                    std::to_string(b[4]) + " " + std::to_string(readLe32(wire, e * baudEntrySize + 6));
        }
        if (entry == run) {
            ++count;
            continue;
        }
        if (count > 0) text += (text.empty() ? "" : ", ") + std::to_string(count) + " x " + run;
        run = entry;
        count = 1;
    }
    return text;
}

std::string quoted(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04X", unsigned(c));
            out += esc;
        }
    }
    return out;
}

}  // namespace

const EmulatedPart* emulatedPart(const std::string& name) {
    for (const EmulatedPart& p : parts) {
        if (name == p.name) return &p;
    }
    return nullptr;
}

BridgeConfig factoryConfig(const EmulatedPart& part) {
    BridgeConfig config;
    config.part = &part;
    for (const char* c = part.product; *c != '\0'; ++c) config.product.push_back(char16_t(*c));
    return config;
}

Reply screen(const Chip& chip, const Setup& setup) {
    if (const Register* r = findRegister(setup)) return screenRegister(chip, *r, setup);
    if (const SerialCommand* c = findSerialCommand(setup)) return screenSerial(*c, setup);
    return stall("unknown request");
}

Reply answer(Chip& chip, const Setup& setup, const std::vector<uint8_t>& out) {
    Reply reply = screen(chip, setup);
    if (reply.kind == Reply::Stall) return reply;
    if (const Register* r = findRegister(setup)) {
        reply = r->run(chip, setup, out);
    } else {
        reply = answerSerial(chip, *findSerialCommand(setup), setup, out);
    }
    if (reply.kind == Reply::Data && reply.data.size() > setup.length) reply.data.resize(setup.length);
    return reply;
}

std::string requestName(const Setup& setup) {
    if (const Register* r = findRegister(setup)) return r->name;
    if (const SerialCommand* c = findSerialCommand(setup)) return c->name;
    return "unknown";
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::string logLine(const Setup& s, const std::vector<uint8_t>& out, const Reply& reply) {
    char head[32];
    snprintf(head, sizeof head, "%02X %02X %04X %04X %04X", s.requestType, s.request, s.value, s.index,
             s.length);
    std::string line = requestName(s) + ": " + head;
    if (!out.empty()) line += " " + hexBytes(out);
    line += " -> ";
    switch (reply.kind) {
        case Reply::Data: line += reply.data.empty() ? "no data" : hexBytes(reply.data); break;
        case Reply::Ack: line += "ack"; break;
        case Reply::Stall: line += "stall (" + reply.reason + ")"; break;
        case Reply::Ignored: line += "ignored (" + reply.reason + ")"; break;
    }
    return line;
}

std::string configText(const BridgeConfig& c) {
    char numbers[128];
    snprintf(numbers, sizeof numbers, "vid=0x%04X\npid=0x%04X\n", c.vid, c.pid);
    std::string text = std::string("part=") + c.part->name + "\n" + numbers;
    text += "manufacturer=" + quoted(c.manufacturer) + "\n";
    text += "product=" + quoted(c.product) + "\n";
    text += "serial=" + quoted(c.serial) + "\n";
    snprintf(numbers, sizeof numbers, "attributes=0x%02X\nmaxPower=%u\nrelease=0x%04X\n", c.attributes,
             unsigned(c.maxPower), c.release);
    text += numbers;
    text += "baudTable=" + (c.baudTable.empty() ? std::string("factory") : baudTableText(c.baudTable)) + "\n";
    text += std::string("locked=") + (c.locked ? "yes" : "no") + "\n";
    return text;
}

std::string utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}
