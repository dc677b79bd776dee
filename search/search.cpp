#include "search/search.h"

#include <memory>
#include <new>

#include "cli/run_settings.h"
#include "platform/platform.h"
#include "probe/probe.h"
#include "search/device_names.h"
#include "search/list_report.h"
#include "search/port_choice.h"
#include "search/port_wait.h"

namespace {

constexpr std::int32_t kAllPortsCount = 99;

constexpr int kSearchGroups = 4;

}  // namespace

bool walkDosDevices(std::int32_t* list, std::int32_t& countOut, bool wantCount, bool wantFill) {
    const DeviceNames names = readDeviceNames();
    if (names.length == 0) {
        verboseLog("Error with querydosdevice:  (%ld)\n", platform::lastErrorCode());
        return false;
    }
    if (runSettings.listMode) {
        reportPortList(names);
    }
    const std::int32_t capacity = wantFill ? countOut : 0;
    std::int32_t entries = 0;
    std::int32_t stored = 0;
    forEachComEntry(names, [&](const char*, std::int32_t comNumber) {
        if (wantFill && stored < capacity) {
            list[stored++] = comNumber;
        }
        ++entries;
    });
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
        if (choosingByIdentity()) {
            platform::readPortIdentities();
        }
        return true;
    }
    if (!walkDosDevices(list, count, false, true)) {
        return false;
    }
    orderBySearchGroup(list, count);
    return true;
}

int searchGroup(platform::PortBus bus) {
    switch (bus) {
        case platform::PortBus::Usb: return 0;
        case platform::PortBus::Unknown:
        case platform::PortBus::Virtual: return 1;
        case platform::PortBus::Builtin: return 2;
        case platform::PortBus::Bluetooth: break;
    }
    return kSearchGroups - 1;
}

void orderBySearchGroup(std::int32_t* list, std::int32_t count) {
    struct Candidate {
        int group;
        std::int32_t port;
    };
    std::unique_ptr<Candidate[]> candidates(new (std::nothrow) Candidate[static_cast<std::size_t>(count)]);
    if (!candidates) {
        return;
    }
    platform::readPortIdentities();
    for (std::int32_t index = 0; index < count; ++index) {
        platform::PortIdentity identity;
        platform::portIdentity(list[index], identity);
        candidates[static_cast<std::size_t>(index)] = {searchGroup(identity.bus), list[index]};
    }
    std::int32_t stored = 0;
    for (int group = 0; group < kSearchGroups; ++group) {
        for (std::int32_t index = 0; index < count; ++index) {
            if (candidates[static_cast<std::size_t>(index)].group == group) {
                list[stored++] = candidates[static_cast<std::size_t>(index)].port;
            }
        }
    }
}

bool searchForController() {
    const bool waiting = runSettings.waitSeconds > 0;
    const std::uint64_t deadline =
        platform::monotonicMilliseconds() + static_cast<std::uint64_t>(runSettings.waitSeconds) * 1000U;
    // Each port the search probes is one the wait will not take for new; a
    // port that appears during the search, after its candidates were listed,
    // is.
    PortWatch watch;
    std::int32_t count = countCandidatePorts();
    std::unique_ptr<std::int32_t[]> list(new (std::nothrow) std::int32_t[static_cast<std::size_t>(count)]);
    if (!list || !fillCandidatePorts(list.get(), count)) {
        verboseLog("Failed to get list of COM ports\n");
        count = 0;
    }
    for (std::int32_t index = 0; index < count; ++index) {
        const std::int32_t port = list[static_cast<std::size_t>(index)];
        if (!chosenByIdentity(port)) {
            if (waiting) {
                noteLeftOut(watch, port);
            }
            continue;
        }
        const ProbeOutcome outcome = probePortOutcome(port);
        if (outcome == ProbeOutcome::Answered) {
            runSettings.foundPort = port;
            return true;
        }
        if (waiting) {
            noteProbe(watch, port, outcome);
        }
    }
    return waiting && waitForController(deadline, watch);
}
