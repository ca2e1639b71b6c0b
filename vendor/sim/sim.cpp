// The simulated bridge: the thirteen operations against bridges described in a
// JSON state file, for tests and for rehearsing a run without hardware.
//
// CP210X_SIM_STATE names the file. It is read at the first call; every call
// is appended to its "calls" list (this run's calls only) and every write that
// succeeds is applied, and the file is saved after each call, so a run's
// effect and order of calls are visible afterwards and the next run starts
// from them. Without the variable there is one factory-fresh CP2102 held in
// memory only. Strings are kept as single bytes; in the file they are the
// Unicode characters U+0000 to U+00FF of those bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "vendor/cp210x.h"
#include "vendor/parts.h"

namespace {

using Json = nlohmann::ordered_json;

struct Bridge {
    std::string serial = "0001";
    std::string product = "CP2102 USB to UART Bridge Controller";
    std::string path = "/dev/bus/usb/001/002";
    const PartInfo* part = partByName("CP2102");
    uint16_t vid = 0x10C4;
    uint16_t pid = 0xEA60;
    bool selfPowered = false;
    uint8_t maxPower = 50;  // 2 mA units, as the chip stores it
    uint16_t deviceVersion = 0x0100;
    std::vector<BAUD_CONFIG> baudTable;  // empty: the part's factory table
    bool locked = false;
    std::map<std::string, CP210x_STATUS> faults;
    bool open = false;
};

struct Sim {
    bool loaded = false;
    std::string file;  // empty: built-in bridge, nothing saved
    std::vector<Bridge> bridges;
    std::map<std::string, CP210x_STATUS> faults;  // for every bridge
    std::vector<std::string> calls;
    bool broken = false;  // the state file could not be read
};

// --- text -------------------------------------------------------------------

std::string latin1FromUtf8(const std::string& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
            ++i;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            bytes += code <= 0xFF ? static_cast<char>(code) : '?';
            i += 2;
        } else {
            // Beyond U+00FF: no single byte holds it.
            bytes += '?';
            ++i;
            while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        }
    }
    return bytes;
}

std::string utf8FromLatin1(const std::string& bytes) {
    std::string text;
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            text += ch;
        } else {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

// A byte string for the call log: quoted, non-printable bytes as \xNN.
std::string quoted(const std::string& bytes) {
    std::string out = "\"";
    for (char ch : bytes) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string hex4(unsigned value) {
    char text[8];
    snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string baudEntryText(const BAUD_CONFIG& entry) {
    char text[48];
    snprintf(text, sizeof text, "%04X %04X %u %u", entry.BaudGen, entry.Timer0Reload,
             entry.Prescaler, static_cast<unsigned>(entry.BaudRate));
    return text;
}

bool sameEntry(const BAUD_CONFIG& a, const BAUD_CONFIG& b) {
    return a.BaudGen == b.BaudGen && a.Timer0Reload == b.Timer0Reload &&
           a.Prescaler == b.Prescaler && a.BaudRate == b.BaudRate;
}

// "32 x FE5F FF63 1 57600", or runs of equal entries joined by ", ".
std::string baudTableText(const std::vector<BAUD_CONFIG>& table) {
    std::string text;
    for (size_t i = 0; i < table.size();) {
        size_t run = 1;
        while (i + run < table.size() && sameEntry(table[i], table[i + run])) ++run;
        if (!text.empty()) text += ", ";
        text += std::to_string(run) + " x " + baudEntryText(table[i]);
        i += run;
    }
    return text;
}

// --- the state file ---------------------------------------------------------

// The inverse of baudTableText; "factory" is the part's own table.
std::vector<BAUD_CONFIG> baudTableFrom(const std::string& text) {
    std::vector<BAUD_CONFIG> table;
    if (text == "factory") return table;
    std::istringstream runs(text);
    std::string run;
    while (std::getline(runs, run, ',')) {
        unsigned count = 0, gen = 0, timer = 0, prescaler = 0, rate = 0;
        char times = 0;
        if (sscanf(run.c_str(), " %u %c %x %x %u %u", &count, &times, &gen, &timer, &prescaler,
                   &rate) != 6 || times != 'x') {
            throw std::runtime_error("baud table \"" + text +
                                     "\" is not \"factory\" or runs of \"N x RELOAD TIMER0 PRESCALER RATE\"");
        }
        if (count > NUM_BAUD_CONFIGS - table.size()) {
            throw std::runtime_error("baud table \"" + text + "\" has more than 32 entries");
        }
        BAUD_CONFIG entry = {};
        entry.BaudGen = static_cast<uint16_t>(gen);
        entry.Timer0Reload = static_cast<uint16_t>(timer);
        entry.Prescaler = static_cast<uint8_t>(prescaler);
        entry.BaudRate = rate;
        table.insert(table.end(), count, entry);
    }
    return table;
}

unsigned numberField(const Json& value, const char* name) {
    if (value.is_number_unsigned()) return value.get<unsigned>();
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        unsigned long number = strtoul(text.c_str(), &end, 16);
        if (!text.empty() && *end == '\0') return static_cast<unsigned>(number);
    }
    throw std::runtime_error(std::string("\"") + name + "\" is neither a number nor hex text");
}

std::map<std::string, CP210x_STATUS> faultsFrom(const Json& value) {
    std::map<std::string, CP210x_STATUS> faults;
    for (const auto& item : value.items()) faults[item.key()] = item.value().get<CP210x_STATUS>();
    return faults;
}

Bridge bridgeFrom(const Json& in) {
    Bridge b;
    if (in.contains("serial")) b.serial = latin1FromUtf8(in["serial"].get<std::string>());
    if (in.contains("product")) b.product = latin1FromUtf8(in["product"].get<std::string>());
    if (in.contains("path")) b.path = latin1FromUtf8(in["path"].get<std::string>());
    if (in.contains("part")) {
        const std::string name = in["part"].get<std::string>();
        b.part = partByName(name.c_str());
        if (b.part == nullptr) throw std::runtime_error("unknown part \"" + name + "\"");
    }
    if (in.contains("vid")) b.vid = static_cast<uint16_t>(numberField(in["vid"], "vid"));
    if (in.contains("pid")) b.pid = static_cast<uint16_t>(numberField(in["pid"], "pid"));
    if (in.contains("selfPowered")) b.selfPowered = in["selfPowered"].get<bool>();
    if (in.contains("maxPower")) b.maxPower = in["maxPower"].get<uint8_t>();
    if (in.contains("deviceVersion")) {
        b.deviceVersion = static_cast<uint16_t>(numberField(in["deviceVersion"], "deviceVersion"));
    }
    if (in.contains("baudTable")) b.baudTable = baudTableFrom(in["baudTable"].get<std::string>());
    if (in.contains("locked")) b.locked = in["locked"].get<bool>();
    if (in.contains("faults")) b.faults = faultsFrom(in["faults"]);
    return b;
}

Json jsonFrom(const std::map<std::string, CP210x_STATUS>& faults) {
    Json out = Json::object();
    for (const auto& fault : faults) out[fault.first] = fault.second;
    return out;
}

Json jsonFrom(const Bridge& b) {
    Json out;
    out["serial"] = utf8FromLatin1(b.serial);
    out["product"] = utf8FromLatin1(b.product);
    out["path"] = utf8FromLatin1(b.path);
    out["part"] = b.part->name;
    out["vid"] = hex4(b.vid);
    out["pid"] = hex4(b.pid);
    out["selfPowered"] = b.selfPowered;
    out["maxPower"] = b.maxPower;
    out["deviceVersion"] = hex4(b.deviceVersion);
    out["baudTable"] = b.baudTable.empty() ? std::string("factory") : baudTableText(b.baudTable);
    out["locked"] = b.locked;
    if (!b.faults.empty()) out["faults"] = jsonFrom(b.faults);
    return out;
}

void save(Sim& sim) {
    if (sim.file.empty() || sim.broken) return;
    Json doc;
    doc["bridges"] = Json::array();
    for (const Bridge& b : sim.bridges) doc["bridges"].push_back(jsonFrom(b));
    if (!sim.faults.empty()) doc["faults"] = jsonFrom(sim.faults);
    doc["calls"] = Json::array();
    for (const std::string& call : sim.calls) doc["calls"].push_back(utf8FromLatin1(call));

    // Written beside the file and renamed over it, so a reader never sees half a state.
    const std::string temp = sim.file + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << doc.dump(2) << '\n';
        if (!out) {
            fprintf(stderr, "cp210x-sim: cannot write %s\n", temp.c_str());
            return;
        }
    }
    if (rename(temp.c_str(), sim.file.c_str()) != 0) {
        remove(sim.file.c_str());
        if (rename(temp.c_str(), sim.file.c_str()) != 0) {
            fprintf(stderr, "cp210x-sim: cannot replace %s\n", sim.file.c_str());
        }
    }
}

void load(Sim& sim) {
    const char* file = getenv("CP210X_SIM_STATE");
    if (file == nullptr || *file == '\0') {
        sim.bridges.push_back(Bridge());
        return;
    }
    sim.file = file;
    try {
        std::ifstream in(sim.file, std::ios::binary);
        if (!in) throw std::runtime_error("cannot be opened");
        const Json doc = Json::parse(in);
        if (doc.contains("bridges")) {
            for (const Json& b : doc["bridges"]) sim.bridges.push_back(bridgeFrom(b));
        }
        if (doc.contains("faults")) sim.faults = faultsFrom(doc["faults"]);
    } catch (const std::exception& e) {
        // A state that can't be read shows no bridge and is left as it is.
        fprintf(stderr, "cp210x-sim: %s: %s\n", sim.file.c_str(), e.what());
        sim.bridges.clear();
        sim.faults.clear();
        sim.broken = true;
    }
}

Sim& state() {
    static Sim sim;
    if (!sim.loaded) {
        sim.loaded = true;
        load(sim);
    }
    return sim;
}

// --- operations -------------------------------------------------------------

CP210x_STATUS record(Sim& sim, const std::string& call, CP210x_STATUS status,
                     const std::string& detail = std::string()) {
    sim.calls.push_back(call + " = " + std::to_string(status) + detail);
    save(sim);
    return status;
}

// The named fault for this operation, bridge first; 0 when none is set.
CP210x_STATUS faultFor(const Sim& sim, const Bridge* b, const std::string& operation) {
    if (b != nullptr) {
        auto it = b->faults.find(operation);
        if (it != b->faults.end()) return it->second;
    }
    auto it = sim.faults.find(operation);
    return it != sim.faults.end() ? it->second : CP210x_SUCCESS;
}

Bridge* bridgeOf(Sim& sim, CP210x_HANDLE hDev) {
    uintptr_t index = reinterpret_cast<uintptr_t>(hDev);
    if (index == 0 || index > sim.bridges.size()) return nullptr;
    Bridge& b = sim.bridges[index - 1];
    return b.open ? &b : nullptr;
}

enum class Needs { fieldWrites, baudTable, lock };

// A write as a chip takes it: open handle, named fault, the part's support,
// the arguments, then the lock; `apply` changes the bridge on success.
template <typename Check, typename Apply>
CP210x_STATUS write(CP210x_HANDLE hDev, const std::string& call, Needs needs, Check argumentsOk,
                    Apply apply) {
    Sim& sim = state();
    Bridge* b = bridgeOf(sim, hDev);
    if (b == nullptr) return record(sim, call, CP210x_INVALID_HANDLE);
    const std::string operation = call.substr(0, call.find('('));
    if (CP210x_STATUS fault = faultFor(sim, b, operation)) return record(sim, call, fault);
    const bool supported = needs == Needs::fieldWrites ? b->part->fieldWrites
                           : needs == Needs::baudTable ? b->part->baudTable
                                                       : b->part->lock;
    if (!supported) return record(sim, call, CP210x_FUNCTION_NOT_SUPPORTED);
    if (!argumentsOk(*b)) return record(sim, call, CP210x_INVALID_PARAMETER);
    // A locked chip stalls every configuration request.
    if (b->locked) return record(sim, call, CP210x_DEVICE_IO_FAILED);
    apply(*b);
    return record(sim, call, CP210x_SUCCESS);
}

// The bytes of a string argument: single-byte text, or UTF-16LE code units
// (length counts characters) narrowed to bytes.
std::string textArgument(const void* text, uint8_t length, int32_t isText) {
    if (text == nullptr) return std::string();
    const unsigned char* p = static_cast<const unsigned char*>(text);
    if (isText) return std::string(reinterpret_cast<const char*>(p), length);
    std::string bytes;
    for (uint8_t i = 0; i < length; ++i) {
        unsigned unit = p[2 * i] | (p[2 * i + 1] << 8);
        bytes += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return bytes;
}

std::string stringCall(const char* name, const std::string& bytes, uint8_t length, int32_t isText) {
    return std::string(name) + "(" + quoted(bytes) + ", " + std::to_string(length) + ", " +
           std::to_string(isText) + ")";
}

}  // namespace

extern "C" {

CP210x_STATUS CP210X_API CP210x_GetNumDevices(uint32_t* count) {
    Sim& sim = state();
    if (sim.broken) return record(sim, "GetNumDevices()", CP210x_GLOBAL_DATA_ERROR);
    if (CP210x_STATUS fault = faultFor(sim, nullptr, "GetNumDevices")) {
        return record(sim, "GetNumDevices()", fault);
    }
    if (count == nullptr) return record(sim, "GetNumDevices()", CP210x_INVALID_PARAMETER);
    *count = static_cast<uint32_t>(sim.bridges.size());
    return record(sim, "GetNumDevices()", CP210x_SUCCESS, ", count " + std::to_string(*count));
}

CP210x_STATUS CP210X_API CP210x_GetProductString(uint32_t index, void* buffer, uint32_t selector) {
    Sim& sim = state();
    const std::string call =
        "GetProductString(" + std::to_string(index) + ", " + std::to_string(selector) + ")";
    if (index >= sim.bridges.size() || buffer == nullptr) {
        return record(sim, call, CP210x_INVALID_PARAMETER);
    }
    const Bridge& b = sim.bridges[index];
    if (CP210x_STATUS fault = faultFor(sim, &b, "GetProductString")) return record(sim, call, fault);

    const std::string* text = nullptr;
    size_t size = 0;
    switch (selector) {
        case CP210x_RETURN_SERIAL_NUMBER: text = &b.serial; size = CP210x_MAX_SERIAL_STRLEN; break;
        case CP210x_RETURN_DESCRIPTION: text = &b.product; size = CP210x_MAX_DESCRIPTION_STRLEN; break;
        case CP210x_RETURN_FULL_PATH: text = &b.path; size = CP210x_MAX_PATH_STRLEN; break;
        default: return record(sim, call, CP210x_INVALID_PARAMETER);
    }
    // Never more than the selector's buffer: a string that fills it has no
    // room left for the terminator and gets none.
    const size_t n = text->size() < size ? text->size() : size;
    memcpy(buffer, text->data(), n);
    if (n < size) static_cast<char*>(buffer)[n] = '\0';
    return record(sim, call, CP210x_SUCCESS, ", " + quoted(text->substr(0, n)));
}

CP210x_STATUS CP210X_API CP210x_Open(uint32_t index, CP210x_HANDLE* hDev) {
    Sim& sim = state();
    const std::string call = "Open(" + std::to_string(index) + ")";
    if (index >= sim.bridges.size()) return record(sim, call, CP210x_DEVICE_NOT_FOUND);
    Bridge& b = sim.bridges[index];
    if (CP210x_STATUS fault = faultFor(sim, &b, "Open")) return record(sim, call, fault);
    if (hDev == nullptr) return record(sim, call, CP210x_INVALID_PARAMETER);
    b.open = true;
    *hDev = reinterpret_cast<CP210x_HANDLE>(static_cast<uintptr_t>(index) + 1);
    return record(sim, call, CP210x_SUCCESS);
}

CP210x_STATUS CP210X_API CP210x_Close(CP210x_HANDLE hDev) {
    Sim& sim = state();
    Bridge* b = bridgeOf(sim, hDev);
    if (b == nullptr) return record(sim, "Close()", CP210x_INVALID_HANDLE);
    if (CP210x_STATUS fault = faultFor(sim, b, "Close")) {
        b->open = false;
        return record(sim, "Close()", fault);
    }
    b->open = false;
    return record(sim, "Close()", CP210x_SUCCESS);
}

CP210x_STATUS CP210X_API CP210x_SetVid(CP210x_HANDLE hDev, uint16_t vid) {
    return write(
        hDev, "SetVid(" + hex4(vid) + ")", Needs::fieldWrites, [](const Bridge&) { return true; },
        [vid](Bridge& b) { b.vid = vid; });
}

CP210x_STATUS CP210X_API CP210x_SetPid(CP210x_HANDLE hDev, uint16_t pid) {
    return write(
        hDev, "SetPid(" + hex4(pid) + ")", Needs::fieldWrites, [](const Bridge&) { return true; },
        [pid](Bridge& b) { b.pid = pid; });
}

CP210x_STATUS CP210X_API CP210x_SetProductString(CP210x_HANDLE hDev, void* text, uint8_t length,
                                                 int32_t isText) {
    const std::string bytes = textArgument(text, length, isText);
    return write(
        hDev, stringCall("SetProductString", bytes, length, isText), Needs::fieldWrites,
        [&](const Bridge& b) { return text != nullptr && length > 0 && length <= b.part->productMax; },
        [&](Bridge& b) { b.product = bytes; });
}

CP210x_STATUS CP210X_API CP210x_SetSerialNumber(CP210x_HANDLE hDev, void* text, uint8_t length,
                                                int32_t isText) {
    const std::string bytes = textArgument(text, length, isText);
    return write(
        hDev, stringCall("SetSerialNumber", bytes, length, isText), Needs::fieldWrites,
        [&](const Bridge& b) { return text != nullptr && length > 0 && length <= b.part->serialMax; },
        [&](Bridge& b) { b.serial = bytes; });
}

CP210x_STATUS CP210X_API CP210x_SetSelfPower(CP210x_HANDLE hDev, int32_t selfPower) {
    return write(
        hDev, "SetSelfPower(" + std::to_string(selfPower) + ")", Needs::fieldWrites,
        [](const Bridge&) { return true; }, [selfPower](Bridge& b) { b.selfPowered = selfPower != 0; });
}

CP210x_STATUS CP210X_API CP210x_SetMaxPower(CP210x_HANDLE hDev, uint8_t maxPower) {
    // The chip takes at most 250 units (500 mA).
    return write(
        hDev, "SetMaxPower(" + std::to_string(maxPower) + ")", Needs::fieldWrites,
        [maxPower](const Bridge&) { return maxPower <= 250; },
        [maxPower](Bridge& b) { b.maxPower = maxPower; });
}

CP210x_STATUS CP210X_API CP210x_SetDeviceVersion(CP210x_HANDLE hDev, uint16_t version) {
    return write(
        hDev, "SetDeviceVersion(" + hex4(version) + ")", Needs::fieldWrites,
        [](const Bridge&) { return true; }, [version](Bridge& b) { b.deviceVersion = version; });
}

CP210x_STATUS CP210X_API CP210x_SetBaudRateConfig(CP210x_HANDLE hDev, BAUD_CONFIG* table) {
    std::vector<BAUD_CONFIG> rows;
    if (table != nullptr) rows.assign(table, table + NUM_BAUD_CONFIGS);
    return write(
        hDev, "SetBaudRateConfig(" + baudTableText(rows) + ")", Needs::baudTable,
        [table](const Bridge&) { return table != nullptr; },
        [&rows](Bridge& b) { b.baudTable = rows; });
}

CP210x_STATUS CP210X_API CP210x_SetLockValue(CP210x_HANDLE hDev) {
    return write(
        hDev, "SetLockValue()", Needs::lock, [](const Bridge&) { return true; },
        [](Bridge& b) { b.locked = true; });
}

}  // extern "C"
