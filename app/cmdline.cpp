#include "cmdline.h"

#include <cstdio>
#include <cstdlib>

#include "bridge/programming.h"
#include "platform.h"
#include "serialfile.h"

namespace {

// Each list ends with an absent entry.
const char* const optionTexts[] = {
    "-v     Setzen der Vendor-ID 0x10C4 (Silicon Labs)",
    "-p     Setzen der Product-ID 0x813F (Nolt Quintavelor)",
    "-r     R\xFC" "cksetzen der Product-ID auf 0xEA60 (SI-Labs CP2102)",
    "-l     Abschlie\xDF" "end das Device locken (Kann nicht r\xFC" "ckg\xE4" "ngig gemacht werden!)",
    nullptr,
};

const char* const descriptionTexts[] = {
    "Es wird der USB-Chip der angeschlossen Stellomatikon programmiert.",
    "Das Programm liest die Seriennummer aus <serial-file> und schreibt sie in der",
    "Form 'nn nnn nnn' in das USB-Device.",
    "Wird kein Seriennummern-File spezifiziert, werden lediglich die gefundenen",
    "Devices aufgelistet.",
    nullptr,
};

// The number in an open serial file; a zero ends the run.
int32_t serialFromFile(FILE* file) {
    int32_t value = readSerialFile(file);
    fclose(file);
    if (value == 0) {
        fprintf(stderr, "failed: 0 is not a valid serial number!\n");
        exit(-2);
    }
    return value;
}

}  // namespace

const char* baseName(const char* path) {
    if (path == nullptr) return nullptr;
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\') name = p + 1;
    }
    return name;
}

void usage(const char* argv0) {
    // A process started without even a program name still gets a whole screen.
    const char* name = baseName(argv0);
    fprintf(stderr, "usage: %s %s\n", name != nullptr ? name : "", "[options] <serial-file>");
    fprintf(stderr, "Options:\n");
    for (const char* const* text = optionTexts; *text != nullptr; ++text) {
        fprintf(stderr, "   %s\n", *text);
    }
    fprintf(stderr, "\n");
    for (const char* const* text = descriptionTexts; *text != nullptr; ++text) {
        fprintf(stderr, "   %s\n", *text);
    }
    exit(-1);
}

int32_t parseArgs(int argc, char** argv) {
    int32_t fileSerial = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            FILE* file = openSerialFile(arg);
            if (file == nullptr) {
                fprintf(stderr, "unable to open file '%s'\n", arg);
                return -1;
            }
            fileSerial = serialFromFile(file);
            continue;
        }
        switch (arg[1]) {
            case 'v': vidFlag = !vidFlag; break;
            case 'p': pidFlag = !pidFlag; resetPidFlag = 0; break;
            case 'r': resetPidFlag = !resetPidFlag; pidFlag = 0; break;
            case 'l': lockFlag = !lockFlag; break;
            default: usage(argv[0]);
        }
    }
    return fileSerial;
}
