// The thirteen operations of the CP210x manufacturing library that stelloprog
// uses, and the baud-rate entry. Our own declarations: every module that
// reaches a bridge (the vendor's DLL on Windows, our USB module on Linux, the
// simulated bridge) provides exactly these. On Windows they are imported by
// the ordinal given with each one.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define CP210X_API __stdcall
#else
#define CP210X_API
#endif

// Result of every operation; 0 is success.
typedef int32_t CP210x_STATUS;

enum : CP210x_STATUS {
    CP210x_SUCCESS = 0x00,
    CP210x_INVALID_HANDLE = 0x01,
    CP210x_INVALID_PARAMETER = 0x02,
    CP210x_DEVICE_IO_FAILED = 0x03,
    CP210x_FUNCTION_NOT_SUPPORTED = 0x04,
    CP210x_GLOBAL_DATA_ERROR = 0x05,
    CP210x_FILE_ERROR = 0x06,
    CP210x_DEVICE_NOT_FOUND = 0xFF,
};

// Selectors of CP210x_GetProductString and the buffer each one fills at most.
enum : uint32_t {
    CP210x_RETURN_SERIAL_NUMBER = 0x00,
    CP210x_RETURN_DESCRIPTION = 0x01,
    CP210x_RETURN_FULL_PATH = 0x02,
};
enum : size_t {
    CP210x_MAX_SERIAL_STRLEN = 63,
    CP210x_MAX_DESCRIPTION_STRLEN = 126,
    CP210x_MAX_PATH_STRLEN = 256,
};

// Opaque handle of an open bridge.
typedef void* CP210x_HANDLE;

// One row of the bridge's baud-rate table as the library takes it: 12 bytes,
// little-endian, the table is 32 of them back to back.
struct BAUD_CONFIG {
    uint16_t BaudGen;   // baud-generator reload
    uint16_t Timer0Reload;
    uint8_t Prescaler;
    uint8_t Reserved[3];
    uint32_t BaudRate;
};
enum : size_t { NUM_BAUD_CONFIGS = 32 };

static_assert(sizeof(BAUD_CONFIG) == 12, "baud entry is 12 bytes");
static_assert(offsetof(BAUD_CONFIG, BaudGen) == 0, "reload at 0");
static_assert(offsetof(BAUD_CONFIG, Timer0Reload) == 2, "timer-0 reload at 2");
static_assert(offsetof(BAUD_CONFIG, Prescaler) == 4, "prescaler at 4");
static_assert(offsetof(BAUD_CONFIG, BaudRate) == 8, "baud rate at 8");

extern "C" {

// ordinal 1: number of attached bridges into *count.
CP210x_STATUS CP210X_API CP210x_GetNumDevices(uint32_t* count);
// ordinal 2: one of the three strings of bridge `index`, zero-terminated, at
// most the selector's buffer size in bytes.
CP210x_STATUS CP210X_API CP210x_GetProductString(uint32_t index, void* buffer, uint32_t selector);
// ordinal 3: opens bridge `index`.
CP210x_STATUS CP210X_API CP210x_Open(uint32_t index, CP210x_HANDLE* hDev);
// ordinal 4
CP210x_STATUS CP210X_API CP210x_Close(CP210x_HANDLE hDev);
// ordinal 5
CP210x_STATUS CP210X_API CP210x_SetVid(CP210x_HANDLE hDev, uint16_t vid);
// ordinal 6
CP210x_STATUS CP210X_API CP210x_SetPid(CP210x_HANDLE hDev, uint16_t pid);
// ordinal 7: `length` bytes of `text`, no terminator; isText 1 for single-byte text.
CP210x_STATUS CP210X_API CP210x_SetProductString(CP210x_HANDLE hDev, void* text, uint8_t length,
                                                 int32_t isText);
// ordinal 8: as ordinal 7, for the serial string.
CP210x_STATUS CP210X_API CP210x_SetSerialNumber(CP210x_HANDLE hDev, void* text, uint8_t length,
                                                int32_t isText);
// ordinal 9
CP210x_STATUS CP210X_API CP210x_SetSelfPower(CP210x_HANDLE hDev, int32_t selfPower);
// ordinal 10: in 2 mA units.
CP210x_STATUS CP210X_API CP210x_SetMaxPower(CP210x_HANDLE hDev, uint8_t maxPower);
// ordinal 11: BCD, 0x0100 is 1.00.
CP210x_STATUS CP210X_API CP210x_SetDeviceVersion(CP210x_HANDLE hDev, uint16_t version);
// ordinal 22: the NUM_BAUD_CONFIGS entries starting at `table`.
CP210x_STATUS CP210X_API CP210x_SetBaudRateConfig(CP210x_HANDLE hDev, BAUD_CONFIG* table);
// ordinal 24: locks the configuration for good.
CP210x_STATUS CP210X_API CP210x_SetLockValue(CP210x_HANDLE hDev);

}  // extern "C"
