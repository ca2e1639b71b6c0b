// What each CP210x part supports, for the modules that stand between the
// tool and a chip. Shared so the simulated bridge refuses what a real one does.
#pragma once

#include <cstdint>

struct PartInfo {
    uint8_t number;        // as the chip reports it (request 0x370B)
    const char* name;      // "CP2102"
    bool fieldWrites;      // vendor ID, product ID, strings, power, version
    bool baudTable;
    bool lock;
    uint8_t productMax;    // longest product string, in characters
    uint8_t serialMax;     // longest serial string, in characters
};

// nullptr for a number or name no row knows.
const PartInfo* partByNumber(uint8_t number);
const PartInfo* partByName(const char* name);
