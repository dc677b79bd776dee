#include "search/port_wait.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "cli/run_settings.h"
#include "platform/platform.h"
#include "search/device_names.h"
#include "search/port_choice.h"

namespace {

// How often the wait reads the port list again: a new port is probed within
// this of its appearance, and a read of the list costs next to nothing.
constexpr std::uint32_t kWatchMilliseconds = 200;

// A port whose open keeps failing is tried after this, then after twice as
// long each time, up to the longest gap: every open and close of a port
// pulses its modem lines, so trying one every tick for minutes would be felt
// by whatever is behind it.
constexpr std::uint32_t kFirstRetryMilliseconds = 200;
constexpr std::uint32_t kLongestRetryMilliseconds = 2000;

// A port as a later listing names it again: its device where the platform
// tells one, since on Linux the COM numbers of the others move when a device
// comes or goes; else its COM name, which Windows never moves. Hashed, so
// that a listing is a plain array of numbers.
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

bool isKnown(const PortWatch& watch, std::uint64_t key) {
    return std::find(watch.known.begin(), watch.known.end(), key) != watch.known.end();
}

// A key that finds no memory is left out, which at worst probes a port once
// more.
void addKnown(PortWatch& watch, std::uint64_t key) {
    if (!isKnown(watch, key)) {
        watch.known.push(key);
    }
}

FailedOpen* failedOpenOf(const PortWatch& watch, std::uint64_t key) {
    for (FailedOpen& failed : watch.failedOpens) {
        if (failed.key == key) {
            return &failed;
        }
    }
    return nullptr;
}

void noteProbeOf(PortWatch& watch, std::uint64_t key, ProbeOutcome outcome) {
    addKnown(watch, key);
    FailedOpen* failed = failedOpenOf(watch, key);
    if (outcome != ProbeOutcome::NotOpened) {
        // Opened but not set up, silent, or an open that stalled: trying it
        // again would only reset the device again, or stall the wait.
        if (failed != nullptr) {
            watch.failedOpens.erase(failed);
        }
        return;
    }
    const std::uint64_t now = platform::monotonicMilliseconds();
    if (failed == nullptr) {
        watch.failedOpens.push({key, now + kFirstRetryMilliseconds, kFirstRetryMilliseconds});
        return;
    }
    failed->gapMilliseconds = std::min(failed->gapMilliseconds * 2U, kLongestRetryMilliseconds);
    failed->retryAt = now + failed->gapMilliseconds;
}

// The COM ports of one reading of the list, with their keys. False when the
// list could not be read: the wait simply reads it again.
struct Listing {
    std::unique_ptr<std::int32_t[]> numbers;
    std::unique_ptr<std::uint64_t[]> keys;
    std::size_t count = 0;
};

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

}  // namespace

template <typename Item>
bool NothrowList<Item>::push(const Item& item) {
    if (count_ == capacity_) {
        const std::size_t larger = capacity_ == 0 ? 16 : capacity_ * 2;
        std::unique_ptr<Item[]> grown(new (std::nothrow) Item[larger]);
        if (!grown) {
            return false;
        }
        std::copy(begin(), end(), grown.get());
        items_ = std::move(grown);
        capacity_ = larger;
    }
    items_[count_++] = item;
    return true;
}

template <typename Item>
void NothrowList<Item>::erase(Item* item) {
    std::copy(item + 1, end(), item);
    --count_;
}

void noteProbe(PortWatch& watch, std::int32_t port, ProbeOutcome outcome) {
    noteProbeOf(watch, portKey(port), outcome);
}

void noteLeftOut(PortWatch& watch, std::int32_t port) { addKnown(watch, portKey(port)); }

bool waitForController(std::uint64_t deadline, PortWatch& watch) {
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
        // open may take long to fail again.
        bool identitiesRead = false;
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t index = 0; index < listing.count; ++index) {
                const std::int32_t port = listing.numbers[index];
                const std::uint64_t key = listing.keys[index];
                const std::uint64_t at = platform::monotonicMilliseconds();
                if (at >= deadline) {
                    return false;
                }
                const bool known = isKnown(watch, key);
                FailedOpen* failed = failedOpenOf(watch, key);
                const bool wanted = pass == 0 ? !known && (!chosen || port == runSettings.lowestPort)
                                              : known && failed != nullptr && failed->retryAt <= at;
                if (!wanted) {
                    continue;
                }
                if (pass == 0 && failed != nullptr) {
                    // Back after it was gone: a device of its own again.
                    watch.failedOpens.erase(failed);
                }
                // What a port is, is read once when it appears, not at every
                // tick: on Windows that is a walk over every device.
                if (pass == 0 && choosingByIdentity() && !identitiesRead) {
                    platform::readPortIdentities();
                    identitiesRead = true;
                }
                if (pass == 0 && !chosenByIdentity(port)) {
                    addKnown(watch, key);
                    continue;
                }
                const ProbeOutcome outcome = probePortOutcome(port);
                if (outcome == ProbeOutcome::Answered) {
                    runSettings.foundPort = port;
                    return true;
                }
                noteProbeOf(watch, key, outcome);
            }
        }
        // Ports gone from the list are new again when they come back (a
        // device that restarted, an adapter plugged in again).
        watch.known.clear();
        for (std::size_t index = 0; index < listing.count; ++index) {
            addKnown(watch, listing.keys[index]);
        }
    }
}
