// The command line: four switches and serial-number files.
#pragma once

#include <cstdint>

// Walks the arguments in order: switches flip the option flags, each serial
// file is read on the spot. Returns the last file's number (may be negative),
// 0 without a file, -1 when a file can't be opened. An unknown switch ends the
// process through usage(); a file holding 0 ends it with -2.
int32_t parseArgs(int argc, char** argv);

// Writes the usage screen to standard error and exits with -1.
[[noreturn]] void usage(const char* argv0);

// The part of path after its last backslash; nullptr for a null path.
const char* baseName(const char* path);
