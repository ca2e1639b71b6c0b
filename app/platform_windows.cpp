#include <share.h>
#include <windows.h>

#include "platform.h"

// Whether the C runtime expands wildcards in the arguments before main sees
// them depends on how the toolchain was built; this says it doesn't. A
// pattern is a serial-file name like any other, one that can't be opened.
extern "C" {
int _dowildcard = 0;
}

namespace {

HMODULE libraryHandle = nullptr;

}  // namespace

void loadManufacturingLibrary() {
    // The program is already bound to the DLL; this only counts a reference.
    libraryHandle = LoadLibraryA("CP210xManufacturing.dll");
    if (libraryHandle == nullptr) fprintf(stderr, "Error loading CP210xManufacturing.dll\n");
}

void unloadManufacturingLibrary() {
    if (libraryHandle != nullptr && FreeLibrary(libraryHandle)) libraryHandle = nullptr;
}

FILE* openSerialFile(const char* path) {
    // Text mode; other programs may have the file open for reading and
    // writing. A folder can't be opened as a file here.
    return _fsopen(path, "r", _SH_DENYNO);
}

int exitCode(int32_t result) {
    // Windows passes on the whole 32-bit result.
    return result;
}
