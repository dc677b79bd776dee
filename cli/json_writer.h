// The pieces of quillfind's JSON output for scripts. Every document is
// plain ASCII: a character beyond it is written as a \u escape, so that a
// script reads the same text whatever code page the console or PowerShell
// decodes the program's output with. Text that is not valid UTF-8 (a USB
// descriptor may hold any bytes) comes out with U+FFFD in place of each
// bad byte.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// A port as the JSON output describes it.
struct PortReport {
    std::int32_t comNumber;
    const char* name;    // as in the system's list, e.g. "COM4"
    const char* device;  // as the device word prints it
    bool answered;
    const platform::PortIdentity* identity;
};

// text as a JSON string; null when it is nullptr or empty.
void writeJsonString(std::FILE* out, const char* text);

// The port as one JSON object, every field present, null where unknown.
void writeJsonPort(std::FILE* out, const PortReport& port);

// {"error": message}, with the line end of message left out, on a line.
void writeJsonError(std::FILE* out, const char* message);
