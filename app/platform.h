// What differs between the platforms the tool runs on; one source file each.
#pragma once

#include <cstdint>
#include <cstdio>

// Takes a reference to the manufacturing library by its file name; says so on
// standard error when the loader has none.
void loadManufacturingLibrary();

// Drops that reference, when there is one.
void unloadManufacturingLibrary();

// Opens a serial file for reading in text mode, sharing it with other
// programs; nullptr when it can't be opened or is a folder.
FILE* openSerialFile(const char* path);

// The process exit code for the tool's result. Where only eight bits reach
// the caller, a failure must not read as 0.
int exitCode(int32_t result);
