// Decimal numbers read the way atoi does, without its undefined behaviour.
#pragma once

#include <cstdint>

// Reads optional leading white space, an optional sign and decimal digits,
// stopping at the first other character. False when there is no digit or
// the number does not fit a signed 32-bit integer; value is then 0.
bool readLeadingInt32(const char* text, std::int32_t& value);
