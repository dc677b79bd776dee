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

// Calls take(name, comNumber) for each COM entry of names, in the list's order.
template <typename Take>
void forEachComEntry(const DeviceNames& names, Take take) {
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
            take(name, comNumber);
        }
        remaining -= static_cast<std::uint32_t>(length + 1);
        name += length + 1;
    }
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

// How often the wait reads the port list again: a new port is probed within
// this of its appearance, and a read of the list costs next to nothing.
constexpr std::uint32_t kWatchMilliseconds = 200;

// A port as a later listing names it again: its device where the platform
// tells one, since on Linux the COM numbers of the others move when a device
// comes or goes; else its COM name, which Windows never moves. Hashed, so
// that the wait keeps plain numbers in nothrow arrays: the standard
// containers would link the runtime's exception support into the static
// Windows program and make it half as large again.
std::uint64_t portKey(std::int32_t comNumber) {
    char comName[24];
    const char* text = platform::devicePath(comNumber);
    if (text == nullptr) {
        std::snprintf(comName, sizeof comName, "COM%d", static_cast<int>(comNumber));
        text = comName;
    }
    std::uint64_t hash = 14695981039346656037ULL;
    for (; *text != '\0'; ++text) {
        hash = (hash ^ static_cast<unsigned char>(*text)) * 1099511628211ULL;
    }
    return hash;
}

// A set of port keys. A key that finds no memory is left out, which at worst
// probes a port once more, or once less after a failed open.
class KeySet {
public:
    bool contains(std::uint64_t key) const {
        return std::find(keys_.get(), keys_.get() + count_, key) != keys_.get() + count_;
    }
    void add(std::uint64_t key) {
        if (contains(key)) {
            return;
        }
        if (count_ == capacity_) {
            const std::size_t larger = capacity_ == 0 ? 16 : capacity_ * 2;
            std::unique_ptr<std::uint64_t[]> grown(new (std::nothrow) std::uint64_t[larger]);
            if (!grown) {
                return;
            }
            std::copy(keys_.get(), keys_.get() + count_, grown.get());
            keys_ = std::move(grown);
            capacity_ = larger;
        }
        keys_[count_++] = key;
    }
    void remove(std::uint64_t key) {
        std::uint64_t* end = std::remove(keys_.get(), keys_.get() + count_, key);
        count_ = static_cast<std::size_t>(end - keys_.get());
    }
    void clear() { count_ = 0; }

private:
    std::unique_ptr<std::uint64_t[]> keys_;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

// The COM ports of one reading of the list, with their keys.
struct Listing {
    std::unique_ptr<std::int32_t[]> numbers;
    std::unique_ptr<std::uint64_t[]> keys;
    std::size_t count = 0;
};

// Reads the list quietly: the wait reads it many times and a failed read is
// simply tried again. False when it failed.
bool readListing(Listing& listing) {
    listing.count = 0;
    const DeviceNames names = readDeviceNames();
    if (names.length == 0) {
        return false;
    }
    std::size_t entries = 0;
    forEachComEntry(names, [&](const char*, std::int32_t) { ++entries; });
    listing.numbers.reset(new (std::nothrow) std::int32_t[entries]);
    listing.keys.reset(new (std::nothrow) std::uint64_t[entries]);
    if (!listing.numbers || !listing.keys) {
        return false;
    }
    forEachComEntry(names, [&](const char*, std::int32_t comNumber) {
        listing.numbers[listing.count] = comNumber;
        listing.keys[listing.count] = portKey(comNumber);
        ++listing.count;
    });
    return true;
}

// What the wait knows of the ports: those of the last listing, and those
// whose last probe could not open them, which are tried again.
struct Watch {
    KeySet listed;
    KeySet unopened;

    void noteProbe(std::uint64_t key, ProbeOutcome outcome) {
        unopened.remove(key);
        if (outcome == ProbeOutcome::NotOpened) {
            unopened.add(key);
        }
    }
};

// Probes each port that appears in the list (or, after a failed open, is
// still there) until one answers or the deadline passes. With a chosen port,
// only that number is probed.
bool waitForController(std::uint64_t deadline, Watch& watch) {
    const std::uint64_t now = platform::monotonicMilliseconds();
    if (now >= deadline) {
        return false;
    }
    verboseLog("Waiting up to %d seconds for new COM ports\n", static_cast<int>((deadline - now + 999) / 1000));
    const bool chosen = !runSettings.allPorts && runSettings.lowestPort == runSettings.highestPort;
    Listing listing;
    for (;;) {
        const std::uint64_t before = platform::monotonicMilliseconds();
        if (before >= deadline) {
            return false;
        }
        platform::sleepMilliseconds(static_cast<std::uint32_t>(std::min<std::uint64_t>(kWatchMilliseconds, deadline - before)));
        if (!readListing(listing)) {
            continue;
        }
        // New ports first, then those tried again: a port that failed to
        // open may take long to fail again (a Bluetooth port on Windows).
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t index = 0; index < listing.count; ++index) {
                const std::int32_t port = listing.numbers[index];
                const std::uint64_t key = listing.keys[index];
                const bool known = watch.listed.contains(key);
                const bool wanted = pass == 0 ? !known && (!chosen || port == runSettings.lowestPort)
                                              : known && watch.unopened.contains(key);
                if (!wanted) {
                    continue;
                }
                if (platform::monotonicMilliseconds() >= deadline) {
                    return false;
                }
                const ProbeOutcome outcome = probePortOutcome(port);
                if (outcome == ProbeOutcome::Answered) {
                    runSettings.foundPort = port;
                    return true;
                }
                watch.noteProbe(key, outcome);
            }
        }
        watch.listed.clear();
        for (std::size_t index = 0; index < listing.count; ++index) {
            watch.listed.add(listing.keys[index]);
        }
    }
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
    forEachComEntry(names, [&](const char* name, std::int32_t comNumber) {
        if (listing) {
            reportPort(name, comNumber, totals);
        }
        if (wantFill && stored < capacity) {
            list[stored++] = comNumber;
        }
        ++entries;
    });

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
    const bool waiting = runSettings.waitSeconds > 0;
    const std::uint64_t deadline =
        platform::monotonicMilliseconds() + static_cast<std::uint64_t>(runSettings.waitSeconds) * 1000U;
    // What the system lists before the search is what the wait will not take
    // for new; a port that appears during the search is new to it.
    Watch watch;
    if (waiting) {
        Listing listing;
        readListing(listing);
        for (std::size_t index = 0; index < listing.count; ++index) {
            watch.listed.add(listing.keys[index]);
        }
    }
    std::int32_t count = countCandidatePorts();
    std::unique_ptr<std::int32_t[]> list(new (std::nothrow) std::int32_t[static_cast<std::size_t>(count)]);
    if (!list || !fillCandidatePorts(list.get(), count)) {
        verboseLog("Failed to get list of COM ports\n");
        count = 0;
    }
    for (std::int32_t index = 0; index < count; ++index) {
        const std::int32_t port = list[static_cast<std::size_t>(index)];
        const ProbeOutcome outcome = probePortOutcome(port);
        if (outcome == ProbeOutcome::Answered) {
            runSettings.foundPort = port;
            return true;
        }
        if (waiting) {
            watch.noteProbe(portKey(port), outcome);
        }
    }
    return waiting && waitForController(deadline, watch);
}

void listPorts() {
    runSettings.listMode = true;
    std::int32_t unused = 0;
    walkDosDevices(nullptr, unused, false, false);
}
