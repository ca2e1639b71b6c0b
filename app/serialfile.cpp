#include "serialfile.h"

#include "bridge/serialnumber.h"

int32_t readSerialFile(FILE* file) {
    char line[128];
    if (fgets(line, sizeof line, file) == nullptr) return 0;
    return decimalValue(line);
}
