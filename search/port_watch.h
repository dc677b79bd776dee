// What the wait and the watch know of the system's port list as they read it
// again and again: which ports they have seen, and when a port whose open
// failed is tried next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <memory>
#include <new>

#include "probe/probe.h"
#include "search/device_names.h"

// How often the list is read again: a new port is probed within this of its
// appearance, and a read of the list costs next to nothing.
constexpr std::uint32_t kWatchMilliseconds = 200;

// A growable array that reports a failed allocation instead of throwing.
template <typename Item>
class NothrowList {
public:
    Item* begin() const { return items_.get(); }
    Item* end() const { return items_.get() + count_; }
    std::size_t size() const { return count_; }
    // False when no memory was left for it.
    bool push(const Item& item);
    void erase(Item* item);
    void clear() { count_ = 0; }

private:
    std::unique_ptr<Item[]> items_;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

template <typename Item>
inline bool NothrowList<Item>::push(const Item& item) {
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
inline void NothrowList<Item>::erase(Item* item) {
    std::copy(item + 1, end(), item);
    --count_;
}

// A port whose open failed, and when it is tried next.
struct FailedOpen {
    std::uint64_t key;
    std::uint64_t retryAt;
    std::uint32_t gapMilliseconds;
};

// The ports the system listed when it was last read or that a probe has
// seen since, and those whose open failed in a way that may pass (no
// permission yet, in use by another program).
struct PortWatch {
    NothrowList<std::uint64_t> known;
    NothrowList<FailedOpen> failedOpens;
};

// A port as a later listing names it again: its device where the platform
// tells one, since on Linux the COM numbers of the others move when a device
// comes or goes; else its COM name, which Windows never moves.
std::uint64_t portKey(std::int32_t comNumber);

bool isKnown(const PortWatch& watch, std::uint64_t key);
void addKnown(PortWatch& watch, std::uint64_t key);
FailedOpen* failedOpenOf(const PortWatch& watch, std::uint64_t key);

// Records a probe of the port with that key that ended as outcome: after an
// open that failed, the port is due again after a gap that grows with each
// failure; after any other outcome it is never tried again.
void noteProbeOf(PortWatch& watch, std::uint64_t key, ProbeOutcome outcome);

// The COM ports of one reading of the list, with their names and keys.
struct Listing {
    DeviceNames names;
    std::unique_ptr<const char*[]> nameOf;
    std::unique_ptr<std::int32_t[]> numbers;
    std::unique_ptr<std::uint64_t[]> keys;
    std::size_t count = 0;
};

// Reads the list afresh. False when it could not be read: the caller simply
// reads it again at its next look.
bool readListing(Listing& listing);

// The place of key in listing, or listing.count when it is not there.
std::size_t findInListing(const Listing& listing, std::uint64_t key);
