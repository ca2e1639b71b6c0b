#include "discovery.h"

#include <gtest/gtest.h>

TEST(SerialNumberOf, JoinsAllDigitsAndClamps) {
    const struct {
        const char* serial;
        int32_t value;
    } cases[] = {
        {"01 234 567", 1234567},
        {"12 345 678", 12345678},
        {"", 0},
        {"no digits", 0},
        {"00 000 000", 0},
        {"SN-0042/7", 427},
        {"000 000 000 042", 42},
        {"99 999 999 999", 2147483647},
        {"2147483648", 2147483647},
        {"2147 483 647", 2147483647},
        {"\xB2\xB3" "5", 5},  // superscript digits are not digits
        {"-5", 5},            // a sign is not a digit
        {"111111111111111111111111111111111111111111111111111111111111111", 2147483647},
    };
    for (const auto& c : cases) EXPECT_EQ(serialNumberOf(c.serial), c.value) << '"' << c.serial << '"';
}
