#include "discovery.h"

#include <cstdio>
#include <cstring>

#include "serialnumber.h"
#include "vendor/cp210x.h"

int32_t deviceSerial = 0;

int32_t serialNumberOf(const char* serial) {
    char buf[128];
    size_t n = 0;
    for (const char* p = serial; *p != '\0' && n + 1 < sizeof buf; ++p) {
        if (*p >= '0' && *p <= '9') buf[n++] = *p;
    }
    buf[n] = '\0';
    return decimalValue(buf);
}

uint32_t listDevices() {
    // A count the library fails to report stays 0.
    uint32_t count = 0;
    CP210x_GetNumDevices(&count);
    printf("Found %d devices\n", static_cast<int>(count));
    if (count == 0) fprintf(stderr, "Keine CP210x-Devices gefunden!\n");
    if (count > 1) fprintf(stderr, "Mehr als ein CP210x-Device gefunden!\n");

    for (uint32_t i = 0; i < count; ++i) {
        // One byte beyond what the library may fill, so a string of full
        // length still ends in a terminator.
        char serial[CP210x_MAX_SERIAL_STRLEN + 1];
        char prod[CP210x_MAX_DESCRIPTION_STRLEN + 1];
        char dev[CP210x_MAX_PATH_STRLEN + 1];
        memset(dev, 0, sizeof dev);
        memset(prod, 0, sizeof prod);
        memset(serial, 0, sizeof serial);
        CP210x_GetProductString(i, serial, CP210x_RETURN_SERIAL_NUMBER);
        CP210x_GetProductString(i, prod, CP210x_RETURN_DESCRIPTION);
        CP210x_GetProductString(i, dev, CP210x_RETURN_FULL_PATH);
        serial[sizeof serial - 1] = '\0';
        prod[sizeof prod - 1] = '\0';
        dev[sizeof dev - 1] = '\0';
        printf("%d: %s | %s | %s\n", static_cast<int>(i), serial, prod, dev);
        deviceSerial = serialNumberOf(serial);
    }
    return count;
}
