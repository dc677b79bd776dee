#include "cli/options.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "cli/json_writer.h"
#include "cli/number.h"
#include "cli/run_settings.h"
#include "platform/platform.h"
#include "search/port_choice.h"
#include "search/search.h"
#include "search/watch_report.h"

namespace {

const char kBothPortChoices[] = "Cannot specify ALLPORTS and a specific port at the same time";
// Ports beyond the system's list have no identity to be chosen by.
const char kAllPortsByIdentity[] = "Cannot specify ALLPORTS and a port's identity at the same time";
// A watch reads the system's list; ports beyond it never come or go.
const char kAllPortsWatched[] = "Cannot specify ALLPORTS and WATCH at the same time";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoreCase(const char* word, const char* expected) {
    for (; *word != '\0' && *expected != '\0'; ++word, ++expected) {
        if (lowerAscii(*word) != lowerAscii(*expected)) {
            return false;
        }
    }
    return *word == '\0' && *expected == '\0';
}

bool startsWithIgnoreCase(const char* word, const char* prefix) {
    for (; *prefix != '\0'; ++word, ++prefix) {
        if (*word == '\0' || lowerAscii(*word) != lowerAscii(*prefix)) {
            return false;
        }
    }
    return true;
}

// The spellings of other programs' help options are taken too, so that a
// user who tries them gets help instead of a silent search.
bool isHelpWord(const char* word) {
    static const char* const kHelpWords[] = {"usage", "help", "-h", "--help", "/?"};
    for (const char* helpWord : kHelpWords) {
        if (equalsIgnoreCase(word, helpWord)) {
            return true;
        }
    }
    return false;
}

// The device the controller answered on, for scripts: the platform's name
// for it where there is one, else the COM name (written into comName) that
// is the device's own.
const char* foundDevice(char (&comName)[24]) {
    std::snprintf(comName, sizeof comName, "COM%d", static_cast<int>(runSettings.foundPort));
    const char* device = platform::devicePath(runSettings.foundPort);
    return device != nullptr ? device : comName;
}

// The search's one JSON document: whether a controller answered, and where.
void printJsonResult(bool found) {
    if (!found) {
        std::puts("{\"found\":false,\"port\":null}");
        return;
    }
    // Read afresh: the wait may have found a port the search never listed.
    platform::readPortIdentities();
    platform::PortIdentity identity;
    platform::portIdentity(runSettings.foundPort, identity);
    char comName[24];
    const char* device = foundDevice(comName);
    std::fputs("{\"found\":true,\"port\":", stdout);
    writeJsonPort(stdout, {runSettings.foundPort, comName, device, true, &identity});
    std::puts("}");
}

// A usage error: its text as it is, or the JSON error object.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void usageError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (!runSettings.json) {
        std::vprintf(format, arguments);
        va_end(arguments);
        return;
    }
    va_list again;
    va_copy(again, arguments);
    char text[256];
    const int length = std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // A word may be longer than any message needs room for.
    std::unique_ptr<char[]> longer;
    if (length >= static_cast<int>(sizeof text)) {
        longer.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    }
    if (longer) {
        std::vsnprintf(longer.get(), static_cast<std::size_t>(length) + 1, format, again);
    }
    va_end(again);
    writeJsonError(stdout, longer ? longer.get() : length < 0 ? "" : text);
}

bool portChosen() { return runSettings.lowestPort == runSettings.highestPort; }

// Each handler returns false when the word ends the walk.
bool takeComWord(const char* word) {
    if (runSettings.allPorts) {
        usageError("%s\n", kBothPortChoices);
        return false;
    }
    const char* value = word + 4;
    if (*value == '\0') {
        usageError("Invalid usage (%s). ex. COM=5", word);
        return false;
    }
    std::int32_t port = 0;
    if (!readLeadingInt32(value, port) || port < 1 || port > 99) {
        usageError("Invalid usage (%s). ex. COM=#, where # is between 1 and 99\n", word);
        return false;
    }
    runSettings.lowestPort = port;
    runSettings.highestPort = port;
    return true;
}

// A word of the form NAME=# with # from low to high into setting; the usage
// errors name the word as typed and give example (NAME in capitals) as the
// value to write.
bool takeSecondsWord(const char* word, const char* name, std::int32_t example, std::int32_t low,
                     std::int32_t high, std::int32_t& setting) {
    const char* value = word + std::strlen(name) + 1;
    if (*value == '\0') {
        usageError("Invalid usage (%s). ex. %s=%d\n", word, name, static_cast<int>(example));
        return false;
    }
    std::int32_t seconds = 0;
    if (!readLeadingInt32(value, seconds) || seconds < low || seconds > high) {
        usageError("Invalid usage (%s). ex. %s=#, where # is between %d and %d\n", word, name,
                   static_cast<int>(low), static_cast<int>(high));
        return false;
    }
    setting = seconds;
    return true;
}

bool takeTimeoutWord(const char* word) {
    return takeSecondsWord(word, "TIMEOUT", 5, 1, 20, runSettings.timeoutSeconds);
}

bool takeWaitWord(const char* word) { return takeSecondsWord(word, "WAIT", 10, 1, 600, runSettings.waitSeconds); }

bool takeBaudRateWord(const char* word) {
    const char* value = word + 9;
    if (*value == '\0') {
        usageError("Invalid usage (%s). ex. BAUDRATE=57600\n", word);
        return false;
    }
    // Anything but the three other supported speeds quietly means the default.
    std::int32_t speed = 0;
    readLeadingInt32(value, speed);
    runSettings.baudRate = (speed == 9600 || speed == 19200 || speed == 115200)
                               ? static_cast<std::uint32_t>(speed)
                               : 57600U;
    return true;
}

bool takeAllPortsWord() {
    if (portChosen()) {
        usageError("%s\n", kBothPortChoices);
        return false;
    }
    if (choosingByIdentity()) {
        usageError("%s\n", kAllPortsByIdentity);
        return false;
    }
    runSettings.allPorts = true;
    return true;
}

// A word NAME=TEXT that chooses ports by identity: the text after the sign,
// or nullptr after a usage error that shows example.
const char* identityValue(const char* word, std::size_t nameLength, const char* example) {
    if (runSettings.allPorts) {
        usageError("%s\n", kAllPortsByIdentity);
        return nullptr;
    }
    const char* value = word + nameLength + 1;
    if (*value == '\0') {
        usageError("Invalid usage (%s). ex. %s\n", word, example);
        return nullptr;
    }
    return value;
}

// serial= and location= keep the word's own text, for the whole run.
bool takeTextWord(const char* word, std::size_t nameLength, const char* example, const char*& text) {
    text = identityValue(word, nameLength, example);
    return text != nullptr;
}

// Four hex digits into id, in lower case as the identities keep them.
bool readHexId(const char* text, char (&id)[5]) {
    for (std::size_t index = 0; index < 4; ++index) {
        const char digit = lowerAscii(text[index]);
        if (!((digit >= '0' && digit <= '9') || (digit >= 'a' && digit <= 'f'))) {
            return false;
        }
        id[index] = digit;
    }
    id[4] = '\0';
    return true;
}

// usb=VVVV or usb=VVVV:PPPP, as lsusb -d takes them.
bool takeUsbWord(const char* word) {
    static const char kExample[] = "USB=2341:0043";
    const char* value = identityValue(word, 3, kExample);
    if (value == nullptr) {
        return false;
    }
    char vendor[5] = {};
    char product[5] = {};
    const std::size_t length = std::strlen(value);
    const bool valid = (length == 4 || (length == 9 && value[4] == ':' && readHexId(value + 5, product))) &&
                       readHexId(value, vendor);
    if (!valid) {
        usageError("Invalid usage (%s). ex. %s\n", word, kExample);
        return false;
    }
    std::memcpy(runSettings.choice.vendorId, vendor, sizeof vendor);
    std::memcpy(runSettings.choice.productId, product, sizeof product);
    return true;
}

bool isVersionWord(const char* word) { return equalsIgnoreCase(word, "version") || equalsIgnoreCase(word, "--version"); }

}  // namespace

void printHelp(const char* programName) {
    std::puts("Searches the COM ports on the system for the Quillfern Controller.  If found,");
    std::puts("returns the port number that the first Quillfern Controller is connected.");
    std::puts("Otherwise, 0 is returned.  Does not display any output unless the verbose");
    std::puts("option is specified or list is specified.\n");
    std::printf("Version:  %s\n", RunSettings::versionText);
    std::printf("Usage:  %s [OPTIONS]\n\n", programName);
    std::puts("Options:");
    std::puts("    verbose     Enables displaying all messages");
    std::puts("    com=#       Specifically tests specified COM port.  (# from 1 to 99)");
    std::puts("    timeout=#   Sets the timeout for waiting for data back from the controller.");
    std::puts("                (# from 1 to 20 seconds).  Default is 5 seconds.");
    std::puts("    baudrate=#  Sets the baudrate for the COM port.  Default is 57600.");
    std::puts("                Other values:   9600, 19200, 57600, 115200");
    std::puts("    list        Lists the COM ports available on the system.");
    std::puts("    allports    Forces all ports from 1 to 99 to be tested,");
    std::puts("                instead of just the available ports on the system");
    std::puts("    usage|help  Prints this screen");
    std::puts("                (also -h, --help and /?)");
    std::puts("    wait=#      Waits for a controller to be plugged in, up to # seconds");
    std::puts("                from the start.  (# from 1 to 600)");
    std::puts("    device      Prints the device the controller was found on.");
    std::puts("    json        Prints the result, or the list, as JSON for scripts.");
    std::puts("    serial=S    Only the port whose USB serial number is S.");
    std::puts("    usb=V[:P]   Only USB ports with vendor ID V, and product ID P (hex).");
    std::puts("    location=L  Only the port plugged in at L, as list json shows it.");
    std::puts("    version     Prints the version.");
    std::puts("    watch       Reports each port as it comes, probed once, and as it goes,");
    std::puts("                until wait=# seconds from the start, or until ended.");
    std::puts("");
}

bool walkOptions(int argc, const char* const* argv) {
    // json shapes the output of every word, also of one before it that ends
    // the walk (a usage error, or list).
    for (int index = 1; index < argc && argv[index] != nullptr; ++index) {
        runSettings.json = runSettings.json || equalsIgnoreCase(argv[index], "json");
    }
    for (int index = 1; index < argc; ++index) {
        const char* word = argv[index];
        if (word == nullptr) {
            break;
        }
        if (equalsIgnoreCase(word, "verbose")) {
            runSettings.verbose = true;
        }
        if (startsWithIgnoreCase(word, "com=") && !takeComWord(word)) {
            return false;
        }
        if (startsWithIgnoreCase(word, "timeout=") && !takeTimeoutWord(word)) {
            return false;
        }
        if (startsWithIgnoreCase(word, "baudrate=") && !takeBaudRateWord(word)) {
            return false;
        }
        if (startsWithIgnoreCase(word, "wait=") && !takeWaitWord(word)) {
            return false;
        }
        if (equalsIgnoreCase(word, "device")) {
            runSettings.printDevice = true;
        }
        if (startsWithIgnoreCase(word, "serial=") &&
            !takeTextWord(word, 6, "SERIAL=75735323434351E0A1C1", runSettings.choice.serialNumber)) {
            return false;
        }
        if (startsWithIgnoreCase(word, "usb=") && !takeUsbWord(word)) {
            return false;
        }
        if (startsWithIgnoreCase(word, "location=") &&
            !takeTextWord(word, 8, "LOCATION=1-1.2", runSettings.choice.location)) {
            return false;
        }
        if (isVersionWord(word)) {
            std::printf("quillfind %s\n", RunSettings::versionText);
            return false;
        }
        if (isHelpWord(word)) {
            printHelp((argc > 0 && argv[0] != nullptr) ? argv[0] : "");
            return false;
        }
        if (equalsIgnoreCase(word, "list")) {
            listPorts();
            return false;
        }
        if (equalsIgnoreCase(word, "watch")) {
            if (runSettings.allPorts) {
                usageError("%s\n", kAllPortsWatched);
            } else {
                watchPorts();
            }
            return false;
        }
        if (equalsIgnoreCase(word, "allports") && !takeAllPortsWord()) {
            return false;
        }
    }
    return true;
}

int runQuillfind(int argc, const char* const* argv) {
    int status = 0;
    if (walkOptions(argc, argv)) {
        const bool found = searchForController();
        if (found) {
            verboseLog("Found Quillfern Controller on COM%d\n", runSettings.foundPort);
            status = runSettings.foundPort;
            char comName[24];
            if (runSettings.printDevice && !runSettings.json) {
                std::printf("%s\n", foundDevice(comName));
            }
        } else {
            verboseLog("Failed to find Quillfern Controller\n");
        }
        if (runSettings.json) {
            printJsonResult(found);
        }
    }
    std::fflush(stdout);
    return status;
}
