#include "search/list_report.h"

#include <cstdio>

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
    if (const char* device = platform::devicePath(comNumber)) {
        std::printf("%-5s - %-9s %s\n", name, outcome, device);
    } else {
        std::printf("%-5s - %s\n", name, outcome);
    }
    std::fflush(stdout);
}

}  // namespace

void reportPortList(const DeviceNames& names) {
    std::puts("Available COM ports");
    std::puts("-------------------");
    std::fflush(stdout);
    ListTotals totals;
    forEachComEntry(names, [&](const char* name, std::int32_t comNumber) { reportPort(name, comNumber, totals); });
    std::puts("-------------------");
    std::printf("Total:  %d port%c\n", totals.ports, totals.ports >= 2 ? 's' : ' ');
    std::printf("Quillfern:  %d found\n", totals.found);
    std::fflush(stdout);
}

void listPorts() {
    runSettings.listMode = true;
    std::int32_t unused = 0;
    walkDosDevices(nullptr, unused, false, false);
}
