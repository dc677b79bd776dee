#include "search/search.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "cli/number.h"
#include "cli/run_settings.h"
#include "platform/platform.h"
#include "probe/probe.h"

namespace {

constexpr std::uint32_t kNameBufferBytes = 65536;
// Enough for any system seen; past this a failing query is reported as one.
constexpr std::uint32_t kLargestNameBufferBytes = 16U * 1024U * 1024U;

constexpr std::int32_t kAllPortsCount = 99;

// The device-name list as one read of the system gave it.
struct DeviceNames {
    std::unique_ptr<char[]> buffer;
    std::uint32_t length = 0;
};

DeviceNames readDeviceNames() {
    DeviceNames names;
    std::uint32_t bytes = kNameBufferBytes;
    names.buffer.reset(new (std::nothrow) char[bytes]);
    if (!names.buffer) {
        return names;
    }
    names.length = platform::queryDeviceNames(names.buffer.get(), bytes - 1);
    // A system with very many devices overflows the first buffer; try again
    // with room to spare instead of reporting that no port exists.
    while (names.length == 0 && platform::deviceNamesTruncated() &&
           bytes < kLargestNameBufferBytes) {
        bytes *= 2;
        std::unique_ptr<char[]> larger(new (std::nothrow) char[bytes]);
        if (!larger) {
            break;
        }
        names.buffer = std::move(larger);
        names.length = platform::queryDeviceNames(names.buffer.get(), bytes - 1);
    }
    // Never trust a count beyond the buffer the call was given.
    if (names.length > bytes - 1) {
        names.length = bytes - 1;
    }
    return names;
}

struct ListTotals {
    std::int32_t ports = 0;
    std::int32_t found = 0;
};

void reportPort(const char* name, std::int32_t comNumber, ListTotals& totals) {
    const bool answered = probePort(comNumber);
    if (answered) {
        ++totals.found;
    }
    ++totals.ports;
    const char* outcome = answered ? "Quillfern" : "None";
    if (const char* device = platform::devicePath(comNumber)) {
        std::printf("%-5s - %-9s %s\n", name, outcome, device);
    } else {
        std::printf("%-5s - %s\n", name, outcome);
    }
    std::fflush(stdout);
}

}  // namespace

bool readComEntry(const char* name, std::int32_t& comNumber) {
    if (std::strncmp(name, "COM", 3) != 0) {
        return false;
    }
    return readLeadingInt32(name + 3, comNumber);
}

bool walkDosDevices(std::int32_t* list, std::int32_t& countOut, bool wantCount, bool wantFill) {
    const DeviceNames names = readDeviceNames();
    if (names.length == 0) {
        verboseLog("Error with querydosdevice:  (%ld)\n", platform::lastErrorCode());
        return false;
    }
    const bool listing = runSettings.listMode;
    if (listing) {
        std::puts("Available COM ports");
        std::puts("-------------------");
        std::fflush(stdout);
    }

    const std::int32_t capacity = wantFill ? countOut : 0;
    std::int32_t entries = 0;
    std::int32_t stored = 0;
    ListTotals totals;
    const char* name = names.buffer.get();
    std::uint32_t remaining = names.length;
    while (remaining > 0) {
        const void* end = std::memchr(name, '\0', remaining);
        if (end == nullptr) {
            // The count ends inside this name: it is not a whole name, and
            // its end lies beyond what the system said it stored.
            break;
        }
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - name);
        std::int32_t comNumber = 0;
        if (readComEntry(name, comNumber)) {
            if (listing) {
                reportPort(name, comNumber, totals);
            }
            if (wantFill && stored < capacity) {
                list[stored++] = comNumber;
            }
            ++entries;
        }
        remaining -= static_cast<std::uint32_t>(length + 1);
        name += length + 1;
    }

    if (listing) {
        std::puts("-------------------");
        std::printf("Total:  %d port%c\n", totals.ports, totals.ports >= 2 ? 's' : ' ');
        std::printf("Quillfern:  %d found\n", totals.found);
        std::fflush(stdout);
    }
    if (wantFill) {
        countOut = stored;
    } else if (wantCount) {
        countOut = entries;
    }
    return true;
}

std::int32_t countCandidatePorts() {
    if (runSettings.allPorts) {
        return kAllPortsCount;
    }
    if (runSettings.lowestPort == runSettings.highestPort) {
        return 1;
    }
    std::int32_t count = 0;
    if (!walkDosDevices(nullptr, count, true, false)) {
        return 0;
    }
    return count;
}

bool fillCandidatePorts(std::int32_t* list, std::int32_t& count) {
    if (runSettings.allPorts) {
        for (std::int32_t index = 0; index < count; ++index) {
            list[index] = index + 1;
        }
        return true;
    }
    if (runSettings.lowestPort == runSettings.highestPort) {
        list[0] = runSettings.lowestPort;
        count = 1;
        return true;
    }
    if (!walkDosDevices(list, count, false, true)) {
        return false;
    }
    // An open of a Bluetooth serial port can stall for seconds, up to half a
    // minute, and laptops list theirs ahead of the USB ports: those come
    // last, so that a controller on a cable is found without waiting on
    // them. Each group keeps the system's order.
    std::stable_partition(list, list + count,
                          [](std::int32_t port) { return !platform::isBluetoothLink(port); });
    return true;
}

bool searchForController() {
    std::int32_t count = countCandidatePorts();
    std::unique_ptr<std::int32_t[]> list(new (std::nothrow) std::int32_t[static_cast<std::size_t>(count)]);
    if (!list || !fillCandidatePorts(list.get(), count)) {
        verboseLog("Failed to get list of COM ports\n");
        return false;
    }
    bool found = false;
    for (std::int32_t index = 0; index < count && !found; ++index) {
        const std::int32_t port = list[static_cast<std::size_t>(index)];
        if (probePort(port)) {
            runSettings.foundPort = port;
            found = true;
        }
    }
    return found;
}

void listPorts() {
    runSettings.listMode = true;
    std::int32_t unused = 0;
    walkDosDevices(nullptr, unused, false, false);
}
