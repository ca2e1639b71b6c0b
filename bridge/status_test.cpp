#include "status.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(StatusText, NamedCodesAndFallback) {
    const struct {
        CP210x_STATUS code;
        const char* text;
    } cases[] = {
        {0, "SUCCESS"},
        {1, "invalid Handle"},
        {2, "invalid PARAMETER"},
        {3, "Device IO failed"},
        {4, "Function not supported"},
        {5, "Global Data Error"},
        {6, "File Error"},
        {255, "Device not found"},
        {7, "UNKNOWN CP210x-Error"},
        {9, "UNKNOWN CP210x-Error"},
        {254, "UNKNOWN CP210x-Error"},
        {256, "UNKNOWN CP210x-Error"},
        {-1, "UNKNOWN CP210x-Error"},
        {INT32_MIN, "UNKNOWN CP210x-Error"},
        {INT32_MAX, "UNKNOWN CP210x-Error"},
    };
    for (const auto& c : cases) EXPECT_STREQ(statusText(c.code), c.text) << "code " << c.code;
}
