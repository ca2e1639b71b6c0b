// What the program prints and calls in the command-line and serial-file
// cases, built from the switches and the serial number that should take effect.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tests/program_run.h"

// One factory-fresh bridge with serial string "0001", its calls logged.
const std::string oneBridge = R"({"bridges": [{}]})";

struct Switches {
    bool vid;
    bool pid;
    bool resetPid;
    bool lock;
};

const Switches noSwitch = {false, false, false, false};

// The usage screen for a program started under the name argv0.
inline std::string usageScreen(const std::string& argv0) {
    const std::string name = argv0.substr(argv0.find_last_of('\\') + 1);
    return "usage: " + name + " [options] <serial-file>\n"
           "Options:\n"
           "   -v     Setzen der Vendor-ID 0x10C4 (Silicon Labs)\n"
           "   -p     Setzen der Product-ID 0x813F (Nolt Quintavelor)\n"
           "   -r     R\xFC" "cksetzen der Product-ID auf 0xEA60 (SI-Labs CP2102)\n"
           "   -l     Abschlie\xDF" "end das Device locken (Kann nicht r\xFC" "ckg\xE4" "ngig gemacht werden!)\n"
           "\n"
           "   Es wird der USB-Chip der angeschlossen Stellomatikon programmiert.\n"
           "   Das Programm liest die Seriennummer aus <serial-file> und schreibt sie in der\n"
           "   Form 'nn nnn nnn' in das USB-Device.\n"
           "   Wird kein Seriennummern-File spezifiziert, werden lediglich die gefundenen\n"
           "   Devices aufgelistet.\n";
}

// The usage screen under the name the cases run the program with.
inline std::string usageScreen() {
    return usageScreen(programName());
}

// Ends before discovery with `err` on standard error: the bridge sees no call.
inline ProgramCase endsEarly(const std::string& name, const std::vector<std::string>& args,
                             const std::vector<CaseFile>& files, const std::string& err, int32_t code) {
    return {name, oneBridge, args, files, "", err, code, {}};
}

inline ProgramCase usageShown(const std::string& name, const std::vector<std::string>& args,
                              const std::vector<CaseFile>& files = {}, const std::string& before = "") {
    return endsEarly(name, args, files, before + usageScreen(), -1);
}

inline ProgramCase zeroRefused(const std::string& name, const std::vector<std::string>& args,
                               const std::vector<CaseFile>& files) {
    return endsEarly(name, args, files, "failed: 0 is not a valid serial number!\n", -2);
}

// The bridge programmed with `serial` from a file (0: it keeps its own) and
// the optional writes the switches ask for.
inline ProgramCase programmed(const std::string& name, const std::vector<std::string>& args,
                              const std::vector<CaseFile>& files, int32_t serial, Switches on) {
    char text[32];
    snprintf(text, sizeof text, "%02d %03d %03d", serial / 1000000, (serial / 1000) % 1000, serial % 1000);
    const std::string serialText = serial > 0 ? text : "00 000 001";
    ProgramCase c = {name, oneBridge, args, files, "", "", 0, {}};
    c.out = "Found 1 devices\n0: 0001 | CP2102 USB to UART Bridge Controller | /dev/bus/usb/001/002\n"
            "Serial# '" + serialText + "'\n";
    c.calls = {"GetNumDevices() = 0, count 1",
               "GetProductString(0, 0) = 0, \"0001\"",
               "GetProductString(0, 1) = 0, \"CP2102 USB to UART Bridge Controller\"",
               "GetProductString(0, 2) = 0, \"/dev/bus/usb/001/002\"",
               "Open(0) = 0"};
    const struct {
        bool on;
        const char* call;
        const char* success;
    } steps[] = {
        {on.vid, "SetVid(0x10C4) = 0", "VID is set\n"},
        {on.pid, "SetPid(0x813F) = 0", "PID is set to NOLT\n"},
        {on.resetPid, "SetPid(0xEA60) = 0", "PID is reset to SI-Labs\n"},
        {true, "SetProductString(\"nolt Quintavelor\", 16, 1) = 0", ""},
        {serial > 0, nullptr, "SERIAL # is set\n"},
        {true, "SetSelfPower(1) = 0", ""},
        {true, "SetMaxPower(0) = 0", ""},
        {true, "SetDeviceVersion(0x0100) = 0", ""},
        {true, "SetBaudRateConfig(32 x FE5F FF63 1 57600) = 0", ""},
        {on.lock, "SetLockValue() = 0", "device is locked\n"},
    };
    for (const auto& step : steps) {
        if (!step.on) continue;
        c.calls.push_back(step.call != nullptr ? step.call
                                               : "SetSerialNumber(\"" + serialText + "\", " +
                                                     std::to_string(serialText.size()) + ", 1) = 0");
        c.out += step.success;
    }
    c.calls.push_back("Close() = 0");
    return c;
}
