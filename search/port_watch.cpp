#include "search/port_watch.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "platform/platform.h"

namespace {

// A port whose open keeps failing is tried after this, then after twice as
// long each time, up to the longest gap: every open and close of a port
// pulses its modem lines, so trying one every tick for minutes would be felt
// by whatever is behind it.
constexpr std::uint32_t kFirstRetryMilliseconds = 200;
constexpr std::uint32_t kLongestRetryMilliseconds = 2000;

}  // namespace

// Hashed, so that a listing is a plain array of numbers.
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

bool readListing(Listing& listing) {
    listing.count = 0;
    listing.names = readDeviceNames();
    if (listing.names.length == 0) {
        return false;
    }
    std::size_t entries = 0;
    forEachComEntry(listing.names, [&](const char*, std::int32_t) { ++entries; });
    listing.nameOf.reset(new (std::nothrow) const char*[entries]);
    listing.numbers.reset(new (std::nothrow) std::int32_t[entries]);
    listing.keys.reset(new (std::nothrow) std::uint64_t[entries]);
    if (!listing.nameOf || !listing.numbers || !listing.keys) {
        return false;
    }
    forEachComEntry(listing.names, [&](const char* name, std::int32_t comNumber) {
        listing.nameOf[listing.count] = name;
        listing.numbers[listing.count] = comNumber;
        listing.keys[listing.count] = portKey(comNumber);
        ++listing.count;
    });
    return true;
}

std::size_t findInListing(const Listing& listing, std::uint64_t key) {
    return static_cast<std::size_t>(std::find(listing.keys.get(), listing.keys.get() + listing.count, key) -
                                    listing.keys.get());
}
