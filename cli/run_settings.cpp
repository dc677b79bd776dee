#include "cli/run_settings.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
constexpr RunSettings kDefaults = {57600, 5, 99, 1, false, false, false, 0, false, 0, false, {nullptr, {}, {}, nullptr}};

thread_local LogText* capture = nullptr;

#if defined(__GNUC__)
__attribute__((format(printf, 2, 0)))
#endif
void appendFormatted(LogText& text, const char* format, va_list arguments) {
    va_list measuring;
    va_copy(measuring, arguments);
    const int needed = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (needed <= 0) {
        return;
    }
    const std::size_t wanted = text.length + static_cast<std::size_t>(needed) + 1;
    if (wanted > text.capacity) {
        const std::size_t larger = std::max(wanted, text.capacity * 2);
        std::unique_ptr<char[]> grown(new (std::nothrow) char[larger]);
        if (!grown) {
            return;
        }
        if (text.length > 0) {
            std::memcpy(grown.get(), text.bytes.get(), text.length);
        }
        text.bytes = std::move(grown);
        text.capacity = larger;
    }
    std::vsnprintf(text.bytes.get() + text.length, text.capacity - text.length, format, arguments);
    text.length += static_cast<std::size_t>(needed);
}
}  // namespace

RunSettings runSettings = kDefaults;

void resetRunSettings() { runSettings = kDefaults; }

void captureVerboseLog(LogText* text) { capture = text; }

void printVerboseLog(LogText& text) {
    if (text.length > 0) {
        std::FILE* out = runSettings.json ? stderr : stdout;
        std::fwrite(text.bytes.get(), 1, text.length, out);
        std::fflush(out);
    }
    text = LogText{};
}

void verboseLog(const char* format, ...) {
    if (!runSettings.verbose) {
        return;
    }
    std::FILE* out = runSettings.json ? stderr : stdout;
    va_list arguments;
    va_start(arguments, format);
    if (capture != nullptr) {
        appendFormatted(*capture, format, arguments);
    } else {
        std::vfprintf(out, format, arguments);
        std::fflush(out);
    }
    va_end(arguments);
}
