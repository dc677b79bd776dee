// The settings of one run of quillfind, and the diagnostic output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// The ports the user chose by what the system tells of them; each field
// empty (or nullptr) when no word chose by it.
struct PortChoice {
    const char* serialNumber;  // the word's own text, for the whole run
    char vendorId[5];          // 4 lower-case hex digits
    char productId[5];
    const char* location;
};

struct RunSettings {
    std::uint32_t baudRate;
    std::int32_t timeoutSeconds;
    std::int32_t highestPort;
    std::int32_t lowestPort;
    bool allPorts;
    bool listMode;
    bool verbose;
    std::int32_t foundPort;
    // Print the device the controller answered on after the search.
    bool printDevice;
    // When no controller answered, watch for new ports until this many
    // seconds after the start of the search; 0: no wait.
    std::int32_t waitSeconds;
    // Standard output carries one JSON document and nothing else; the
    // verbose lines go to standard error.
    bool json;
    PortChoice choice;

    static constexpr std::uint8_t syncCommand[2] = {0x30, 0x20};
    static constexpr std::uint8_t syncReply[2] = {0x14, 0x10};
    static constexpr const char* versionText = "1.06";
};

// The one record of the process. A port has been chosen exactly when
// lowestPort equals highestPort.
extern RunSettings runSettings;

// Puts runSettings back to the start-up defaults (for tests and fuzzers,
// which run the program many times in one process).
void resetRunSettings();

// printf to standard output (standard error with json) when verbose is on,
// nothing otherwise. Flushed at once so that a log piped through tee shows
// each step as it happens.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void verboseLog(const char* format, ...);

// Text that verboseLog gathered instead of printing it.
struct LogText {
    std::unique_ptr<char[]> bytes;
    std::size_t length = 0;
    std::size_t capacity = 0;
};

// From now on verboseLog on the calling thread appends to text instead of
// printing (nullptr: prints again), so that probes running at once keep
// their lines apart until each one's turn to be printed comes. A line that
// finds no memory is left out rather than ending the program.
void captureVerboseLog(LogText* text);

// Prints what verboseLog gathered in text where verboseLog would have, and
// empties it.
void printVerboseLog(LogText& text);
