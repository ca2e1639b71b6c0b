#include "programming.h"

#include <gtest/gtest.h>

TEST(SerialText, ThreeGroupsOfMillionsThousandsUnits) {
    const struct {
        int32_t n;
        const char* text;
    } cases[] = {
        {12345678, "12 345 678"},
        {1234567, "01 234 567"},
        {5, "00 000 005"},
        {42, "00 000 042"},
        {123456789, "123 456 789"},
        {2147483647, "2147 483 647"},
        {1000000, "01 000 000"},
    };
    for (const auto& c : cases) {
        char serial[63];
        serialText(c.n, serial, sizeof serial);
        EXPECT_STREQ(serial, c.text) << c.n;
    }
}
