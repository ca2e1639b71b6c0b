// stelloprog: lists the attached CP210x bridges and programs the single one.
#include <cstdint>

#include "bridge/discovery.h"
#include "bridge/programming.h"
#include "cmdline.h"
#include "platform.h"

int main(int argc, char** argv) {
    int32_t fileSerial = parseArgs(argc, argv);
    if (fileSerial < 0) usage(argv[0]);

    loadManufacturingLibrary();

    uint32_t count = listDevices();
    int32_t result = -1;
    if (count == 1 && (fileSerial > 0 || deviceSerial > 0)) {
        result = programDevice(fileSerial > 0 ? fileSerial : 0);
    }

    unloadManufacturingLibrary();
    return exitCode(result);
}
