#include "programming.h"

#include <cstdio>

#include "discovery.h"
#include "status.h"
#include "vendor/cp210x.h"

int32_t vidFlag = 0;
int32_t pidFlag = 0;
int32_t resetPidFlag = 0;
int32_t lockFlag = 0;

namespace {

// What a step may need besides the handle.
struct StepInput {
    CP210x_HANDLE hDev;
    int32_t fileSerial;
    char* serial;
    BAUD_CONFIG* baud;
};

struct Step {
    const char* name;
    bool (*condition)(const StepInput&);
    CP210x_STATUS (*operation)(const StepInput&);
    const char* success;  // nullptr: the step is silent when it succeeds
    const char* failure;  // "%s" takes the status text
};

char productString[] = "nolt Quintavelor";

bool always(const StepInput&) { return true; }

const Step steps[] = {
    {"vendor ID",
     [](const StepInput&) { return vidFlag != 0; },
     [](const StepInput& in) { return CP210x_SetVid(in.hDev, 0x10C4); },
     "VID is set\n", "Kann VID nicht setzen (%s)\n"},
    {"product ID",
     [](const StepInput&) { return pidFlag != 0 && resetPidFlag == 0; },
     [](const StepInput& in) { return CP210x_SetPid(in.hDev, 0x813F); },
     "PID is set to NOLT\n", "Kann PID nicht setzen (%s)\n"},
    {"product-ID reset",
     [](const StepInput&) { return resetPidFlag != 0 && pidFlag == 0; },
     [](const StepInput& in) { return CP210x_SetPid(in.hDev, 0xEA60); },
     "PID is reset to SI-Labs\n", "Kann PID nicht setzen (%s)\n"},
    {"product string", always,
     [](const StepInput& in) {
         return CP210x_SetProductString(in.hDev, productString, sizeof productString - 1, 1);
     },
     nullptr, "Kann Productstring nicht setzen (%s)\n"},
    {"serial number",
     [](const StepInput& in) { return in.fileSerial > 0; },
     [](const StepInput& in) {
         size_t length = 0;
         while (in.serial[length] != '\0') ++length;
         return CP210x_SetSerialNumber(in.hDev, in.serial, static_cast<uint8_t>(length), 1);
     },
     "SERIAL # is set\n", "Kann Seriennummer nicht setzen (%s)\n"},
    {"self-powered", always,
     [](const StepInput& in) { return CP210x_SetSelfPower(in.hDev, 1); },
     nullptr, "Kann Self-Power-Flag nicht setzen (%s)\n"},
    {"maximum power", always,
     [](const StepInput& in) { return CP210x_SetMaxPower(in.hDev, 0); },
     nullptr, "Kann Max-Power (0 mA) nicht setzen (%s)\n"},
    {"device version", always,
     [](const StepInput& in) { return CP210x_SetDeviceVersion(in.hDev, 0x0100); },
     nullptr, "Kann Versionsnummer nicht setzen (%s)\n"},
    {"baud rates", always,
     [](const StepInput& in) { return CP210x_SetBaudRateConfig(in.hDev, in.baud); },
     nullptr, "Kann Baudraten nicht setzen (%s)\n"},
    // Last, so a bridge is locked only once everything else is in it.
    {"lock",
     [](const StepInput&) { return lockFlag != 0; },
     [](const StepInput& in) { return CP210x_SetLockValue(in.hDev); },
     "device is locked\n", "Kann Device-Lock nicht setzen (%s)\n"},
};

}  // namespace

void serialText(int32_t n, char* serial, size_t size) {
    snprintf(serial, size, "%02d %03d %03d", n / 1000000, (n / 1000) % 1000, n % 1000);
}

int32_t programDevice(int32_t fileSerial) {
    CP210x_HANDLE hDev = nullptr;
    if (CP210x_Open(0, &hDev) != CP210x_SUCCESS) {
        fprintf(stderr, "Fehler beim \xD6" "ffnen des Devices!\n");
        return -1;
    }

    char serial[63];
    serialText(fileSerial != 0 ? fileSerial : deviceSerial, serial, sizeof serial);
    printf("Serial# '%s'\n", serial);

    BAUD_CONFIG baud[NUM_BAUD_CONFIGS] = {};
    for (BAUD_CONFIG& entry : baud) {
        entry.BaudGen = 0xFE5F;
        entry.Timer0Reload = 0xFF63;
        entry.Prescaler = 1;
        entry.BaudRate = 57600;
    }

    const StepInput in = {hDev, fileSerial, serial, baud};
    CP210x_STATUS status = CP210x_SUCCESS;
    for (const Step& step : steps) {
        if (!step.condition(in)) continue;
        status = step.operation(in);
        if (status != CP210x_SUCCESS) {
            fprintf(stderr, step.failure, statusText(status));
            break;
        }
        if (step.success != nullptr) fputs(step.success, stdout);
    }

    CP210x_Close(hDev);
    return status;
}
