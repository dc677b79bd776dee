#include "search/watch_report.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "cli/run_settings.h"
#include "platform/platform.h"
#include "probe/probe.h"
#include "search/port_choice.h"
#include "search/port_line.h"
#include "search/port_watch.h"
#include "search/probes_at_once.h"

namespace {

// A port whose open fails (udev still setting its permissions, another
// program holding it) is tried again, with the wait's growing gaps, for this
// long after it appeared; then it is reported as not answered.
constexpr std::uint64_t kOpenWindowMilliseconds = 10000;

// Due: to be probed as soon as a probe's place is free. Retrying: its open
// failed, and it is tried again when its gap is over. LeftOut: not chosen,
// never opened nor reported.
enum class Stage { Due, Probing, Retrying, Reported, LeftOut };

struct Watch;

// A port from its appearance until it is gone and reported so.
struct WatchedPort {
    Watch* watch = nullptr;
    std::uint64_t key = 0;
    // As the latest listing that held it numbers and names it.
    std::int32_t comNumber = 0;
    char name[24] = {};
    // What was known of it when it appeared.
    char device[512] = {};
    bool hasDevice = false;
    platform::PortIdentity identity;
    std::uint64_t appearedAt = 0;
    Stage stage = Stage::Due;
    bool answered = false;
    bool gone = false;
    // The number its probe opens, set before the probe's thread starts and
    // not changed while it runs.
    std::int32_t probeNumber = 0;
    std::thread thread;
};

// What the probes' threads share with the watch, under its mutex; the
// output too, so that no line comes between a probe's lines and its event.
struct Watch {
    std::mutex mutex;
    NothrowList<WatchedPort*> ports;
    PortWatch retries;
    std::size_t probing = 0;
    bool outputFailed = false;
};

void report(Watch& watch, const WatchedPort& port, bool added) {
    const ListedPort listed{port.comNumber, port.name, port.hasDevice ? port.device : nullptr, &port.identity};
    if (runSettings.json) {
        std::printf("{\"event\":\"%s\",\"port\":", added ? "added" : "removed");
        writePortObject(listed, port.answered);
        std::fputs("}\n", stdout);
    } else {
        printPortLine(listed, !added ? "Gone" : port.answered ? "Quillfern" : "None");
    }
    // Where the system cannot tell beforehand that the reader went away, the
    // write does: in the flush, or already in printf when the line filled the
    // buffer (Windows' runtime then keeps only the error mark).
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        watch.outputFailed = true;
    }
}

void forgetRetries(Watch& watch, std::uint64_t key) {
    FailedOpen* failed = failedOpenOf(watch.retries, key);
    if (failed != nullptr) {
        watch.retries.failedOpens.erase(failed);
    }
}

// What an ended probe makes of its port: its event, or after a failed open,
// while the window for that lasts, another try.
void takeOutcome(Watch& watch, WatchedPort& port, ProbeOutcome outcome) {
    if (!port.gone) {
        if (outcome == ProbeOutcome::NotOpened) {
            noteProbeOf(watch.retries, port.key, outcome);
            const FailedOpen* failed = failedOpenOf(watch.retries, port.key);
            if (failed != nullptr && failed->retryAt < port.appearedAt + kOpenWindowMilliseconds) {
                port.stage = Stage::Retrying;
                return;
            }
        }
        forgetRetries(watch, port.key);
    }
    port.answered = outcome == ProbeOutcome::Answered;
    port.stage = Stage::Reported;
    report(watch, port, true);
    if (port.gone) {
        report(watch, port, false);
    }
}

void probeOnItsThread(void* argument) {
    WatchedPort& port = *static_cast<WatchedPort*>(argument);
    LogText log;
    captureVerboseLog(&log);
    const ProbeOutcome outcome = probePortOutcome(port.probeNumber);
    captureVerboseLog(nullptr);
    Watch& watch = *port.watch;
    const std::lock_guard<std::mutex> lock(watch.mutex);
    --watch.probing;
    printVerboseLog(log);
    takeOutcome(watch, port, outcome);
}

WatchedPort* findWatched(const Watch& watch, std::uint64_t key) {
    for (WatchedPort* port : watch.ports) {
        if (port->key == key && !port->gone) {
            return port;
        }
    }
    return nullptr;
}

// A port that is no longer listed. One whose probe runs is reported by
// that probe when it ends; one never opened is reported as not answered,
// so that every port reported gone was reported there first.
void markGone(Watch& watch, WatchedPort& port) {
    port.gone = true;
    forgetRetries(watch, port.key);
    if (port.stage == Stage::Reported) {
        report(watch, port, false);
    } else if (port.stage == Stage::Due || port.stage == Stage::Retrying) {
        takeOutcome(watch, port, ProbeOutcome::NotOpened);
    }
}

void addPort(Watch& watch, const Listing& listing, std::size_t index, std::uint64_t now) {
    std::unique_ptr<WatchedPort> port(new (std::nothrow) WatchedPort);
    // Without the memory, the port is taken for new again at the next look.
    if (!port || !watch.ports.push(port.get())) {
        return;
    }
    WatchedPort& added = *port.release();
    added.watch = &watch;
    added.key = listing.keys[index];
    added.comNumber = listing.numbers[index];
    std::snprintf(added.name, sizeof added.name, "%s", listing.nameOf[index]);
    const char* device = platform::devicePath(added.comNumber);
    added.hasDevice = device != nullptr;
    if (added.hasDevice) {
        std::snprintf(added.device, sizeof added.device, "%s", device);
    }
    if (runSettings.json) {
        platform::portIdentity(added.comNumber, added.identity);
    }
    added.appearedAt = now;
    const bool portChosen = runSettings.lowestPort == runSettings.highestPort;
    const bool wanted = (!portChosen || added.comNumber == runSettings.lowestPort) && chosenByIdentity(added.comNumber);
    added.stage = wanted ? Stage::Due : Stage::LeftOut;
}

// One reading of the list: the ports gone from it, then those new in it.
void takeListing(Watch& watch, const Listing& listing) {
    bool anyNew = false;
    for (std::size_t index = 0; index < listing.count; ++index) {
        anyNew = anyNew || findWatched(watch, listing.keys[index]) == nullptr;
    }
    // What a port is, is read once when it appears, not at every look: on
    // Windows that is a walk over every device.
    if (anyNew && (runSettings.json || choosingByIdentity())) {
        platform::readPortIdentities();
    }
    const std::uint64_t now = platform::monotonicMilliseconds();
    const std::lock_guard<std::mutex> lock(watch.mutex);
    // The watch keeps its own ports; the retries' own record of them would
    // only grow.
    watch.retries.known.clear();
    for (WatchedPort* port : watch.ports) {
        if (port->gone) {
            continue;
        }
        const std::size_t at = findInListing(listing, port->key);
        if (at == listing.count) {
            markGone(watch, *port);
        } else {
            port->comNumber = listing.numbers[at];
            std::snprintf(port->name, sizeof port->name, "%s", listing.nameOf[at]);
        }
    }
    for (std::size_t index = 0; index < listing.count; ++index) {
        if (findWatched(watch, listing.keys[index]) == nullptr) {
            addPort(watch, listing, index, now);
        }
    }
}

// The ports listed at the start: probed at once, as the list report probes
// them, and reported in the list's order, while the watch goes on reading
// the list.
struct FirstRound {
    Watch* watch = nullptr;
    std::unique_ptr<PortProbe[]> probes;
    std::unique_ptr<WatchedPort*[]> ports;
    std::size_t count = 0;
    std::thread thread;
};

void takeFirstProbe(std::size_t index, PortProbe& probe, void* context) {
    const FirstRound& round = *static_cast<FirstRound*>(context);
    const std::lock_guard<std::mutex> lock(round.watch->mutex);
    --round.watch->probing;
    printVerboseLog(probe.log);
    takeOutcome(*round.watch, *round.ports[index], probe.outcome);
}

void probeFirstRound(void* context) {
    FirstRound& round = *static_cast<FirstRound*>(context);
    probeAtOnce(round.probes.get(), round.count, takeFirstProbe, &round);
}

// Without the memory for it, the first ports are probed as the loop finds
// them due.
void startFirstRound(Watch& watch, FirstRound& round) {
    const std::size_t listed = watch.ports.size();
    round.watch = &watch;
    round.probes.reset(new (std::nothrow) PortProbe[listed]);
    round.ports.reset(new (std::nothrow) WatchedPort*[listed]);
    if (!round.probes || !round.ports) {
        return;
    }
    for (WatchedPort* port : watch.ports) {
        if (port->stage == Stage::Due) {
            port->stage = Stage::Probing;
            ++watch.probing;
            round.probes[round.count].comNumber = port->comNumber;
            round.ports[round.count++] = port;
        }
    }
    if (!platform::startThread(round.thread, probeFirstRound, &round)) {
        probeFirstRound(&round);
    }
}

void startDueProbes(Watch& watch) {
    std::unique_lock<std::mutex> lock(watch.mutex);
    const std::uint64_t now = platform::monotonicMilliseconds();
    for (WatchedPort* port : watch.ports) {
        if (watch.probing >= kMostProbesAtOnce) {
            break;
        }
        const FailedOpen* failed = failedOpenOf(watch.retries, port->key);
        const bool due = port->stage == Stage::Due ||
                         (port->stage == Stage::Retrying && failed != nullptr && failed->retryAt <= now);
        if (!due) {
            continue;
        }
        if (port->thread.joinable()) {
            platform::joinThread(port->thread);
        }
        port->stage = Stage::Probing;
        port->probeNumber = port->comNumber;
        ++watch.probing;
        if (!platform::startThread(port->thread, probeOnItsThread, port)) {
            // Without a thread, the watch itself probes it.
            lock.unlock();
            probeOnItsThread(port);
            lock.lock();
        }
    }
}

// Ports gone and reported are let go; so are the threads of ended probes.
void releaseEnded(Watch& watch) {
    const std::lock_guard<std::mutex> lock(watch.mutex);
    for (std::size_t index = 0; index < watch.ports.size();) {
        WatchedPort* port = watch.ports.begin()[index];
        if (port->stage == Stage::Probing) {
            ++index;
            continue;
        }
        if (port->thread.joinable()) {
            platform::joinThread(port->thread);
        }
        if (port->gone) {
            watch.ports.erase(watch.ports.begin() + index);
            delete port;
        } else {
            ++index;
        }
    }
}

bool readerGone(Watch& watch) {
    {
        const std::lock_guard<std::mutex> lock(watch.mutex);
        if (watch.outputFailed) {
            return true;
        }
    }
    return platform::standardOutputGone();
}

}  // namespace

void watchPorts() {
    Watch watch;
    const bool timed = runSettings.waitSeconds > 0;
    const std::uint64_t deadline =
        platform::monotonicMilliseconds() + static_cast<std::uint64_t>(runSettings.waitSeconds) * 1000U;
    Listing listing;
    FirstRound first;
    if (readListing(listing)) {
        takeListing(watch, listing);
        startFirstRound(watch, first);
    }
    for (;;) {
        releaseEnded(watch);
        startDueProbes(watch);
        const std::uint64_t now = platform::monotonicMilliseconds();
        if ((timed && now >= deadline) || readerGone(watch)) {
            break;
        }
        platform::sleepMilliseconds(
            timed ? static_cast<std::uint32_t>(std::min<std::uint64_t>(kWatchMilliseconds, deadline - now))
                  : kWatchMilliseconds);
        if (readListing(listing)) {
            takeListing(watch, listing);
        }
    }
    // The probes under way end as probes do, and are reported; no port stays
    // open past the watch.
    if (first.thread.joinable()) {
        platform::joinThread(first.thread);
    }
    for (WatchedPort* port : watch.ports) {
        if (port->thread.joinable()) {
            platform::joinThread(port->thread);
        }
    }
    for (WatchedPort* port : watch.ports) {
        delete port;
    }
}
