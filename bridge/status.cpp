#include "status.h"

namespace {

struct StatusRow {
    CP210x_STATUS code;
    const char* text;
};

// The last row is the fallback: it answers every code the rows above don't name.
const StatusRow statusTable[] = {
    {CP210x_SUCCESS, "SUCCESS"},
    {CP210x_INVALID_HANDLE, "invalid Handle"},
    {CP210x_INVALID_PARAMETER, "invalid PARAMETER"},
    {CP210x_DEVICE_IO_FAILED, "Device IO failed"},
    {CP210x_FUNCTION_NOT_SUPPORTED, "Function not supported"},
    {CP210x_GLOBAL_DATA_ERROR, "Global Data Error"},
    {CP210x_FILE_ERROR, "File Error"},
    {CP210x_DEVICE_NOT_FOUND, "Device not found"},
    {0, "UNKNOWN CP210x-Error"},
};
const size_t statusRows = sizeof statusTable / sizeof statusTable[0];

}  // namespace

const char* statusText(CP210x_STATUS code) {
    size_t i = 0;
    while (i + 1 < statusRows && statusTable[i].code != code) ++i;
    return statusTable[i].text;
}
