#include "parts.h"

#include <cstring>

namespace {

// CP2108's string limits are not documented where we looked; it gets the
// common ones. CP2102N keeps its configuration in a checksummed block that no
// per-field request reaches, so it supports none of them.
const PartInfo parts[] = {
    {0x01, "CP2101", true, false, false, 126, 63},
    {0x02, "CP2102", true, true, true, 126, 63},
    {0x03, "CP2103", true, true, true, 126, 63},
    {0x04, "CP2104", true, false, true, 126, 63},
    {0x05, "CP2105", true, false, true, 47, 16},
    {0x08, "CP2108", true, false, true, 126, 63},
    {0x09, "CP2109", true, true, true, 126, 63},
    {0x20, "CP2102N-QFN28", false, false, false, 126, 63},
    {0x21, "CP2102N-QFN24", false, false, false, 126, 63},
    {0x22, "CP2102N-QFN20", false, false, false, 126, 63},
};

}  // namespace

const PartInfo* partByNumber(uint8_t number) {
    for (const PartInfo& part : parts) {
        if (part.number == number) return &part;
    }
    return nullptr;
}

const PartInfo* partByName(const char* name) {
    for (const PartInfo& part : parts) {
        if (strcmp(part.name, name) == 0) return &part;
    }
    // "CP2102N" alone names the most common package.
    if (strcmp(name, "CP2102N") == 0) return partByNumber(0x20);
    return nullptr;
}
