#include "search/list_report.h"

#include <cstdio>
#include <memory>
#include <new>

#include "cli/run_settings.h"
#include "platform/platform.h"
#include "probe/probe.h"
#include "search/probes_at_once.h"

namespace {

// The table as it is printed: the listed names, and the totals so far.
struct Table {
    const char* const* names;
    std::int32_t ports = 0;
    std::int32_t found = 0;
};

// A port's verbose lines, then its line of the table.
void printPort(std::size_t index, PortProbe& probe, void* context) {
    Table& table = *static_cast<Table*>(context);
    if (probe.log.length > 0) {
        std::fwrite(probe.log.bytes.get(), 1, probe.log.length, stdout);
        probe.log = LogText{};
    }
    const bool answered = probe.outcome == ProbeOutcome::Answered;
    if (answered) {
        ++table.found;
    }
    ++table.ports;
    const char* outcome = answered ? "Quillfern" : "None";
    if (const char* device = platform::devicePath(probe.comNumber)) {
        std::printf("%-5s - %-9s %s\n", table.names[index], outcome, device);
    } else {
        std::printf("%-5s - %s\n", table.names[index], outcome);
    }
    std::fflush(stdout);
}

}  // namespace

void reportPortList(const DeviceNames& names) {
    std::puts("Available COM ports");
    std::puts("-------------------");
    std::fflush(stdout);
    std::size_t count = 0;
    forEachComEntry(names, [&](const char*, std::int32_t) { ++count; });
    std::unique_ptr<const char*[]> listed(new (std::nothrow) const char*[count]);
    std::unique_ptr<PortProbe[]> probes(new (std::nothrow) PortProbe[count]);
    Table table{listed.get()};
    if (listed && probes) {
        std::size_t index = 0;
        forEachComEntry(names, [&](const char* name, std::int32_t comNumber) {
            listed[index] = name;
            probes[index++].comNumber = comNumber;
        });
        probeAtOnce(probes.get(), count, printPort, &table);
    } else {
        // Without the memory to probe them at once, one port after another.
        forEachComEntry(names, [&](const char* name, std::int32_t comNumber) {
            PortProbe probe;
            probe.comNumber = comNumber;
            probe.outcome = probePortOutcome(comNumber);
            table.names = &name;
            printPort(0, probe, &table);
        });
    }
    std::puts("-------------------");
    std::printf("Total:  %d port%c\n", table.ports, table.ports >= 2 ? 's' : ' ');
    std::printf("Quillfern:  %d found\n", table.found);
    std::fflush(stdout);
}

void listPorts() {
    runSettings.listMode = true;
    std::int32_t unused = 0;
    walkDosDevices(nullptr, unused, false, false);
}
