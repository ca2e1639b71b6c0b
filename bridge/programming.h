// The fixed configuration written into the single attached bridge.
#pragma once

#include <cstddef>
#include <cstdint>

// Option flags, each exactly 0 or 1, set by the command line.
extern int32_t vidFlag;
extern int32_t pidFlag;
extern int32_t resetPidFlag;
extern int32_t lockFlag;

// Opens bridge 0 and runs the steps; -1 when it can't be opened, otherwise the
// status of the step it stopped at (0: all done). fileSerial 0: keep the
// bridge's serial number.
int32_t programDevice(int32_t fileSerial);

// n as "%02d %03d %03d" of millions, thousands and units.
void serialText(int32_t n, char* serial, size_t size);
