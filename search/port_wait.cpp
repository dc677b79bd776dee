#include "search/port_wait.h"

#include <algorithm>

#include "cli/run_settings.h"
#include "platform/platform.h"
#include "search/port_choice.h"

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
