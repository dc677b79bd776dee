#include "cli/run_settings.h"

#include <cstdarg>
#include <cstdio>

namespace {
constexpr RunSettings kDefaults = {57600, 5, 99, 1, false, false, false, 0, false, 0, false};
}

RunSettings runSettings = kDefaults;

void resetRunSettings() { runSettings = kDefaults; }

void verboseLog(const char* format, ...) {
    if (!runSettings.verbose) {
        return;
    }
    std::FILE* out = runSettings.json ? stderr : stdout;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(out, format, arguments);
    va_end(arguments);
    std::fflush(out);
}
