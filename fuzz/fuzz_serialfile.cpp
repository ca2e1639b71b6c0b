// Fuzz target: serial-file contents in, the value readSerialFile makes of
// them out, held against the reference reading. The bytes are served as a
// file through fmemopen, so the 127-character line limit and the line feed
// are those of the real read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/serialfile.h"
#include "fuzz/reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    FILE* file = fmemopen(&bytes[0], bytes.size(), "r");
    if (file == nullptr) abort();
    const int32_t value = readSerialFile(file);
    fclose(file);

    const int32_t expected = referenceValue(referenceLine(bytes.data(), bytes.size()));
    if (value != expected) {
        fprintf(stderr, "readSerialFile gave %d, the reference %d\n", value, expected);
        abort();
    }
    return 0;
}
