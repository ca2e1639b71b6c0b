// Preloaded into a run of the program to make its load of the manufacturing
// library by file name fail, while the module bound at start stays in place.
#include <cstddef>

extern "C" void* dlopen(const char*, int) {
    return nullptr;
}
