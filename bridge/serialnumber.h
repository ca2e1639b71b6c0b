// Serial numbers as the tool reads them: the decimal conversion shared by the
// serial file and the bridge's serial string.
#pragma once

#include <cstdint>

// Leading white space (0x09-0x0D, 0x20), one optional sign directly before a
// digit, then decimal digits; 0 when there is no digit; clamped to the
// signed 32-bit range.
int32_t decimalValue(const char* text);
