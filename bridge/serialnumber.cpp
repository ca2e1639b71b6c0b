#include "serialnumber.h"

namespace {

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int32_t decimalValue(const char* text) {
    const char* p = text;
    while (isBlank(*p)) ++p;
    bool negative = false;
    if ((*p == '+' || *p == '-') && isDigit(p[1])) {
        negative = *p == '-';
        ++p;
    }
    // Accumulate towards the sign's side and stop growing once past the
    // limit, so any number of digits clamps instead of overflowing.
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t value = 0;
    for (; isDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > limit) value = limit;
    }
    return static_cast<int32_t>(negative ? -value : value);
}
