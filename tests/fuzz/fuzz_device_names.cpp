// The walk over the system's device-name list, fuzzed: any bytes with any
// claimed count, in count, fill and list mode.
//
// Input layout: byte 0 holds flags (how many queries first fail as too small),
// bytes 1..4 the count selector (little endian), byte 5 the
// fill capacity; the rest is what the system stores in the buffer.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/run_settings.h"
#include "search/search.h"
#include "tests/fuzz/fuzz_platform.h"

namespace {

constexpr std::size_t kHeaderBytes = 6;
constexpr std::uint32_t kMaxCapacity = 64;
constexpr std::int32_t kUntouched = 0x5A5A5A5A;

int captureFd = -1;

void check(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}

// Counts from the input mostly land near the bytes (short of them, inside a
// name, just past them); a set top bit passes the raw value, so that counts
// far past the buffer come up too.
std::uint32_t claimedCount(std::uint32_t selector, std::size_t storedBytes) {
    if ((selector & 0x80000000U) != 0) {
        return selector & 0x7FFFFFFFU;
    }
    return selector % (static_cast<std::uint32_t>(storedBytes) + 17U);
}

// Each retry doubles a buffer of 64 KiB and up, which costs the sanitizer an
// mmap; one retry reaches the retry path, and a second stays rare.
int truncationsFrom(std::uint8_t flags) {
    if ((flags & 1U) == 0) {
        return 0;
    }
    return (flags & 0x0EU) == 0x0EU ? 2 : 1;
}

// readComEntry's contract, written independently on top of strtoll.
bool referenceComEntry(const std::string& name, std::int32_t& number) {
    number = 0;
    if (name.compare(0, 3, "COM") != 0) {
        return false;
    }
    const char* digits = name.c_str() + 3;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(digits, &end, 10);
    if (end == digits || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        return false;
    }
    number = static_cast<std::int32_t>(value);
    return true;
}

struct Entry {
    std::string name;
    std::int32_t number;
};

// The COM entries among the complete names in the part of the buffer that
// the count covers.
std::vector<Entry> expectedEntries(const std::string& stored, std::uint32_t readable) {
    std::string visible = stored.substr(0, readable);
    visible.resize(readable, fuzzstub::kJunk);
    std::vector<Entry> entries;
    std::size_t start = 0;
    for (std::size_t end = visible.find('\0'); end != std::string::npos;
         end = visible.find('\0', start)) {
        const std::string name = visible.substr(start, end - start);
        std::int32_t number = 0;
        std::int32_t referenceNumber = 0;
        const bool accepted = readComEntry(name.c_str(), number);
        check(accepted == referenceComEntry(name, referenceNumber));
        check(number == referenceNumber);
        if (accepted) {
            entries.push_back({name, number});
        }
        start = end + 1;
    }
    return entries;
}

// Descriptor 1 points at the in-memory file during one list run only, and is
// put back after it: libFuzzer's -close_fd_mask=1 points descriptor 1 at
// /dev/null after LLVMFuzzerInitialize, which would undo a switch made once
// at start-up. Put back as it was, even closed.
template <typename Body>
std::string capturedOutput(Body body) {
    std::fflush(stdout);
    check(ftruncate(captureFd, 0) == 0);
    check(lseek(captureFd, 0, SEEK_SET) == 0);
    const int saved = dup(STDOUT_FILENO);
    check(dup2(captureFd, STDOUT_FILENO) == STDOUT_FILENO);
    body();
    std::fflush(stdout);
    check(saved >= 0 ? dup2(saved, STDOUT_FILENO) == STDOUT_FILENO && close(saved) == 0
                     : close(STDOUT_FILENO) == 0);
    struct stat info {};
    check(fstat(captureFd, &info) == 0);
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    if (!text.empty()) {
        check(pread(captureFd, &text[0], text.size(), 0) == static_cast<ssize_t>(text.size()));
    }
    return text;
}

std::string reportRow(const std::string& name, bool answers) {
    const char* outcome = answers ? "Quillfern" : "None";
    const int length = std::snprintf(nullptr, 0, "%-5s - %s\n", name.c_str(), outcome);
    check(length >= 0);
    std::string row(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(&row[0], row.size(), "%-5s - %s\n", name.c_str(), outcome);
    row.resize(static_cast<std::size_t>(length));
    return row;
}

std::string expectedReport(const std::vector<Entry>& entries) {
    std::string report = "Available COM ports\n-------------------\n";
    int found = 0;
    for (const Entry& entry : entries) {
        const bool answers = fuzzstub::opens(entry.number) && fuzzstub::isController(entry.number);
        found += answers ? 1 : 0;
        report += reportRow(entry.name, answers);
    }
    const int ports = static_cast<int>(entries.size());
    report += "-------------------\n";
    report += "Total:  " + std::to_string(ports) + " port" + (ports >= 2 ? "s" : " ") + "\n";
    report += "Quillfern:  " + std::to_string(found) + " found\n";
    return report;
}

// Each probe opens once, and once more after a successful first open.
std::vector<std::int32_t> expectedOpens(const std::vector<Entry>& entries) {
    std::vector<std::int32_t> opens;
    for (const Entry& entry : entries) {
        opens.push_back(entry.number);
        if (fuzzstub::opens(entry.number)) {
            opens.push_back(entry.number);
        }
    }
    return opens;
}

void checkNoPortHeld() {
    check(fuzzstub::openHandles() == 0);
    check(fuzzstub::misuses() == 0);
}

struct Script {
    std::string bytes;
    std::uint32_t count;
    int truncations;
};

void prepare(const Script& script, bool listMode) {
    resetRunSettings();
    runSettings.listMode = listMode;
    fuzzstub::resetPorts();
    fuzzstub::scriptDeviceNames(script.bytes, script.count, script.truncations);
}

std::uint32_t readableBytes(const Script& script) {
    const std::uint32_t size = fuzzstub::lastQuerySize();
    return script.count < size ? script.count : size;
}

void runCountMode(const Script& script) {
    prepare(script, false);
    std::int32_t count = -7;
    const bool read = walkDosDevices(nullptr, count, true, false);
    check(read == (script.count != 0));
    if (!read) {
        check(count == -7);
        return;
    }
    const std::vector<Entry> entries = expectedEntries(script.bytes, readableBytes(script));
    check(count == static_cast<std::int32_t>(entries.size()));
    check(fuzzstub::openAttempts().empty());
}

void runFillMode(const Script& script, std::uint32_t capacity) {
    prepare(script, false);
    // Exactly the capacity, so that a store past it is an ASan report.
    std::unique_ptr<std::int32_t[]> list(new std::int32_t[capacity]);
    for (std::uint32_t index = 0; index < capacity; ++index) {
        list[index] = kUntouched;
    }
    std::int32_t count = static_cast<std::int32_t>(capacity);
    const bool read = walkDosDevices(list.get(), count, false, true);
    check(read == (script.count != 0));
    if (!read) {
        return;
    }
    const std::vector<Entry> entries = expectedEntries(script.bytes, readableBytes(script));
    const std::size_t stored = entries.size() < capacity ? entries.size() : capacity;
    check(count == static_cast<std::int32_t>(stored));
    for (std::size_t index = 0; index < stored; ++index) {
        check(list[index] == entries[index].number);
    }
    for (std::size_t index = stored; index < capacity; ++index) {
        check(list[index] == kUntouched);
    }
}

void runListMode(const Script& script) {
    prepare(script, true);
    std::int32_t count = -7;
    bool read = false;
    const std::string output = capturedOutput([&] { read = walkDosDevices(nullptr, count, true, false); });
    checkNoPortHeld();
    check(read == (script.count != 0));
    if (!read) {
        check(output.empty());
        check(fuzzstub::openAttempts().empty());
        return;
    }
    const std::vector<Entry> entries = expectedEntries(script.bytes, readableBytes(script));
    check(count == static_cast<std::int32_t>(entries.size()));
    check(fuzzstub::openAttempts() == expectedOpens(entries));
    check(output == expectedReport(entries));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The list report is compared byte for byte, so standard output goes to
    // an in-memory file that each list run empties and reads back.
    // Kept above the standard descriptors: were descriptor 1 closed at start-up,
    // the file would land on it and -close_fd_mask=1 would replace it.
    const int file = memfd_create("fuzz_device_names_stdout", 0);
    captureFd = file < 0 ? -1 : fcntl(file, F_DUPFD, STDERR_FILENO + 1);
    if (file >= 0) {
        close(file);
    }
    if (captureFd < 0) {
        std::perror("fuzz_device_names: cannot capture standard output");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderBytes) {
        return 0;
    }
    const std::uint32_t selector = static_cast<std::uint32_t>(data[1]) |
                                   static_cast<std::uint32_t>(data[2]) << 8 |
                                   static_cast<std::uint32_t>(data[3]) << 16 |
                                   static_cast<std::uint32_t>(data[4]) << 24;
    Script script;
    script.bytes.assign(reinterpret_cast<const char*>(data + kHeaderBytes), size - kHeaderBytes);
    script.count = claimedCount(selector, script.bytes.size());
    script.truncations = truncationsFrom(data[0]);
    const std::uint32_t capacity = data[5] % (kMaxCapacity + 1);

    runCountMode(script);
    runFillMode(script, capacity);
    runListMode(script);
    return 0;
}
