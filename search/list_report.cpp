#include "search/list_report.h"

#include <cstdio>
#include <memory>
#include <new>

#include "cli/json_writer.h"
#include "cli/run_settings.h"
#include "platform/platform.h"
#include "probe/probe.h"
#include "search/port_choice.h"
#include "search/port_line.h"
#include "search/probes_at_once.h"

namespace {

// The table as it is printed: the listed names, and the totals so far.
struct Table {
    const char* const* names;
    std::int32_t ports = 0;
    std::int32_t found = 0;
};

// A port's verbose lines (on standard error with json, as verboseLog
// writes them), then its line of the table or its entry of the document.
void printPort(std::size_t index, PortProbe& probe, void* context) {
    Table& table = *static_cast<Table*>(context);
    printVerboseLog(probe.log);
    if (!probe.chosen) {
        return;
    }
    const bool answered = probe.outcome == ProbeOutcome::Answered;
    if (answered) {
        ++table.found;
    }
    ++table.ports;
    platform::PortIdentity identity;
    if (runSettings.json) {
        platform::portIdentity(probe.comNumber, identity);
    }
    const ListedPort port{probe.comNumber, table.names[index], platform::devicePath(probe.comNumber), &identity};
    if (runSettings.json) {
        std::fputs(table.ports > 1 ? ",\n" : "\n", stdout);
        writePortObject(port, answered);
    } else {
        printPortLine(port, answered ? "Quillfern" : "None");
    }
    std::fflush(stdout);
}

}  // namespace

void reportPortList(const DeviceNames& names) {
    // What each port is comes from one reading of the system, before the
    // first probe.
    if (runSettings.json || choosingByIdentity()) {
        platform::readPortIdentities();
    }
    if (runSettings.json) {
        std::fputs("{\"ports\":[", stdout);
    } else {
        std::puts("Available COM ports");
        std::puts("-------------------");
    }
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
            PortProbe& probe = probes[index++];
            probe.comNumber = comNumber;
            captureVerboseLog(&probe.log);
            probe.chosen = chosenByIdentity(comNumber);
            captureVerboseLog(nullptr);
        });
        probeAtOnce(probes.get(), count, printPort, &table);
    } else {
        // Without the memory to probe them at once, one port after another.
        forEachComEntry(names, [&](const char* name, std::int32_t comNumber) {
            PortProbe probe;
            probe.comNumber = comNumber;
            probe.chosen = chosenByIdentity(comNumber);
            if (probe.chosen) {
                probe.outcome = probePortOutcome(comNumber);
            }
            table.names = &name;
            printPort(0, probe, &table);
        });
    }
    if (runSettings.json) {
        std::printf("%s],\"total\":%d,\"found\":%d}\n", table.ports > 0 ? "\n" : "", table.ports, table.found);
    } else {
        std::puts("-------------------");
        std::printf("Total:  %d port%c\n", table.ports, table.ports >= 2 ? 's' : ' ');
        std::printf("Quillfern:  %d found\n", table.found);
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
