#include "serialnumber.h"

#include <gtest/gtest.h>

TEST(DecimalValue, ConvertsLikeTheStandardConversionButClamps) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"", 0},
        {"12345678", 12345678},
        {"12345678\r\n", 12345678},
        {"  42 and more", 42},
        {"12 345 678", 12},
        {"\t\n\v\f\r 7", 7},
        {"+42", 42},
        {"-5", -5},
        {"+-5", 0},
        {"- 5", 0},
        {"+", 0},
        {"0x1F", 0},
        {"0123", 123},
        {"000", 0},
        {"-0", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999", 2147483647},
        {"99999999999999999999999999999999", 2147483647},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
        {"\xEF\xBB\xBF" "42", 0},  // byte-order mark
        {"\xA0" "42", 0},          // no-break space is no white space
        {"abc", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(decimalValue(c.text), c.value) << '"' << c.text << '"';
}
