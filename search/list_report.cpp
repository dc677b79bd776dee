#include "search/list_report.h"

#include <cstdio>

#include "cli/json_writer.h"
#include "cli/run_settings.h"
#include "platform/platform.h"
#include "probe/probe.h"

namespace {

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
    const char* device = platform::devicePath(comNumber);
    if (runSettings.json) {
        platform::PortIdentity identity;
        platform::portIdentity(comNumber, identity);
        char comName[24];
        std::snprintf(comName, sizeof comName, "COM%d", static_cast<int>(comNumber));
        std::fputs(totals.ports > 1 ? ",\n" : "\n", stdout);
        writeJsonPort(stdout, {comNumber, name, device != nullptr ? device : comName, answered, &identity});
    } else if (device != nullptr) {
        std::printf("%-5s - %-9s %s\n", name, outcome, device);
    } else {
        std::printf("%-5s - %s\n", name, outcome);
    }
    std::fflush(stdout);
}

}  // namespace

void reportPortList(const DeviceNames& names) {
    if (runSettings.json) {
        // What each port is comes from one reading of the system, before
        // the first probe.
        platform::readPortIdentities();
        std::fputs("{\"ports\":[", stdout);
    } else {
        std::puts("Available COM ports");
        std::puts("-------------------");
    }
    std::fflush(stdout);
    ListTotals totals;
    forEachComEntry(names, [&](const char* name, std::int32_t comNumber) { reportPort(name, comNumber, totals); });
    if (runSettings.json) {
        std::printf("%s],\"total\":%d,\"found\":%d}\n", totals.ports > 0 ? "\n" : "", totals.ports, totals.found);
    } else {
        std::puts("-------------------");
        std::printf("Total:  %d port%c\n", totals.ports, totals.ports >= 2 ? 's' : ' ');
        std::printf("Quillfern:  %d found\n", totals.found);
    }
    std::fflush(stdout);
}

void listPorts() {
    runSettings.listMode = true;
    std::int32_t unused = 0;
    // A script must not read a list it could not have for an empty one.
    if (!walkDosDevices(nullptr, unused, false, false) && runSettings.json) {
        writeJsonError(stdout, "Failed to get list of COM ports");
    }
}
