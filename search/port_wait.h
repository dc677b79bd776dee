// The wait for a controller that is plugged in after the search began: the
// device-name list is read again and again, and each port that appears is
// probed as soon as it does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "probe/probe.h"

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

// A port whose open failed, and when it is tried next.
struct FailedOpen {
    std::uint64_t key;
    std::uint64_t retryAt;
    std::uint32_t gapMilliseconds;
};

// What the wait knows of the ports: those the system listed when it last
// looked or that a probe has seen since, and those whose open failed in a
// way that may pass (no permission yet, in use by another program).
struct PortWatch {
    NothrowList<std::uint64_t> known;
    NothrowList<FailedOpen> failedOpens;
};

// Records a probe of COM<port> that ended as outcome, so that the wait
// neither takes the port for new nor tries it again unless its open failed.
void noteProbe(PortWatch& watch, std::int32_t port, ProbeOutcome outcome);

// Records COM<port> as one the user's words left out, so that the wait does
// not take it for new while it stays listed.
void noteLeftOut(PortWatch& watch, std::int32_t port);

// Reads the list until deadline (a monotonicMilliseconds time) and probes
// each port that appears in it, and each port whose open failed, again with
// growing gaps, until one answers; runSettings.foundPort then holds its
// number. With a chosen port, only that number is probed; with words that
// choose by identity, only a port that matches when it appears.
bool waitForController(std::uint64_t deadline, PortWatch& watch);
