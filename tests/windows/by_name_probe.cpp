// Imports an operation of CP210xManufacturing.dll by name, as a program
// linked to the DLL itself would: what the import check must refuse.
#include "vendor/cp210x.h"

int main() {
    uint32_t count = 0;
    return CP210x_GetNumDevices(&count);
}
