// Counting and listing the attached bridges.
#pragma once

#include <cstdint>

// The serial number the listed bridge carries (of the last one listed); 0 at start.
extern int32_t deviceSerial;

// Prints the count and one line per bridge, sets deviceSerial; returns the count.
uint32_t listDevices();

// The number formed by all decimal digits of a serial string, clamped; 0 without digits.
int32_t serialNumberOf(const char* serial);
