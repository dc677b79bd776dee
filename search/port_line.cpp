#include "search/port_line.h"

#include "cli/json_writer.h"

void printPortLine(const ListedPort& port, const char* outcome) {
    if (port.device != nullptr) {
        std::printf("%-5s - %-9s %s\n", port.name, outcome, port.device);
    } else {
        std::printf("%-5s - %s\n", port.name, outcome);
    }
}

// Where the system names no device, "device" is the COM name that opens
// it, not the list's text, which may be a variant of it.
void writePortObject(const ListedPort& port, bool answered) {
    char comName[24];
    std::snprintf(comName, sizeof comName, "COM%d", static_cast<int>(port.comNumber));
    writeJsonPort(stdout, {port.comNumber, port.name, port.device != nullptr ? port.device : comName, answered,
                           port.identity});
}
