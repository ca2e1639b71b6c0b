#include <dlfcn.h>
#include <sys/stat.h>

#include "platform.h"

namespace {

// The soname of the module the program is linked against, so the loader
// hands back the copy it already holds and only counts a reference.
const char* const libraryName = "libcp210xmanufacturing.so.1";

void* libraryHandle = nullptr;

}  // namespace

void loadManufacturingLibrary() {
    libraryHandle = dlopen(libraryName, RTLD_NOW);
    if (libraryHandle == nullptr) fprintf(stderr, "Error loading CP210xManufacturing.dll\n");
}

void unloadManufacturingLibrary() {
    if (libraryHandle != nullptr && dlclose(libraryHandle) == 0) libraryHandle = nullptr;
}

FILE* openSerialFile(const char* path) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) return nullptr;
    // fopen opens a folder for reading here; a folder is no serial file.
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
        fclose(file);
        return nullptr;
    }
    return file;
}

int exitCode(int32_t result) {
    // Only the low eight bits reach the caller: -1 and -2 read as 255 and
    // 254. A status such as 256 would read as success, so it reads as 255.
    return (result != 0 && (result & 0xFF) == 0) ? 255 : result;
}
