// The serial-number file: its first line holds the serial number in decimal.
#pragma once

#include <cstdint>
#include <cstdio>

// The value of the first line (at most 127 characters of it); 0 when nothing
// can be read or the line holds no number.
int32_t readSerialFile(FILE* file);
