// A port as the list shows it, one line of the table or one port object of
// the JSON document; the list report and the watch print their ports
// through these alone.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

struct ListedPort {
    std::int32_t comNumber;
    const char* name;    // as in the system's list, e.g. "COM4"
    const char* device;  // the device behind it, nullptr where the name is the device's own
    const platform::PortIdentity* identity;
};

// Outcome as the table words it: "Quillfern", "None" or "Gone".
void printPortLine(const ListedPort& port, const char* outcome);

// The port object of the JSON list, without a line end.
void writePortObject(const ListedPort& port, bool answered);
