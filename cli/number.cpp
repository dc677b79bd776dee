#include "cli/number.h"

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool readLeadingInt32(const char* text, std::int32_t& value) {
    value = 0;
    while (isCSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (*text < '0' || *text > '9') {
        return false;
    }
    // Accumulate the magnitude in 64 bits and stop caring once it is past
    // what any 32-bit value could be; the rest of the digits are still eaten.
    constexpr std::int64_t kLimit = std::int64_t{1} << 32;
    std::int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude < kLimit) {
            magnitude = magnitude * 10 + (*text - '0');
        }
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < INT32_MIN || signedValue > INT32_MAX) {
        return false;
    }
    value = static_cast<std::int32_t>(signedValue);
    return true;
}
