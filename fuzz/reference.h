// A slow, plainly written serial-file reading for the fuzz targets to hold
// the tool's against: the digits are compared as text, never accumulated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The first line as the tool reads it: at most 127 characters, up to and
// including the first line feed.
inline std::string referenceLine(const char* data, size_t size) {
    std::string line;
    for (size_t i = 0; i < size && line.size() < 127; ++i) {
        line += data[i];
        if (data[i] == '\n') break;
    }
    return line;
}

// The decimal value at the start of text, clamped to the signed 32-bit range.
inline int32_t referenceValue(const std::string& text) {
    const std::string whiteSpace = "\t\n\v\f\r ";
    const std::string digits = "0123456789";
    size_t i = 0;
    while (i < text.size() && whiteSpace.find(text[i]) != std::string::npos) ++i;

    bool negative = false;
    if (i + 1 < text.size() && (text[i] == '+' || text[i] == '-') &&
        digits.find(text[i + 1]) != std::string::npos) {
        negative = text[i] == '-';
        ++i;
    }

    std::string number;
    while (i < text.size() && digits.find(text[i]) != std::string::npos) number += text[i++];
    while (!number.empty() && number[0] == '0') number.erase(0, 1);
    if (number.empty()) return 0;

    // Same length: text order is number order.
    const std::string limit = negative ? "2147483648" : "2147483647";
    if (number.size() > limit.size() || (number.size() == limit.size() && number > limit)) number = limit;
    const long long value = std::stoll(number);
    return static_cast<int32_t>(negative ? -value : value);
}
