// Which ports are candidates and the search for the first controller; the
// walk over the system's device names that the list report shares.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The number of COM entries in a device-name list: names "COM<n>" with an
// optionally signed decimal n that fits an int32 (anything after it is
// ignored). False for every other name.
bool readComEntry(const char* name, std::int32_t& comNumber);

// One pass over the system's device-name list. wantCount: countOut becomes
// the number of COM entries. wantFill: list receives their numbers; countOut
// holds its capacity on entry and the number stored on return. In list mode
// (runSettings.listMode) the pass prints the list report instead. False only
// when the device-name list cannot be read.
bool walkDosDevices(std::int32_t* list, std::int32_t& countOut, bool wantCount, bool wantFill);

std::int32_t countCandidatePorts();
bool fillCandidatePorts(std::int32_t* list, std::int32_t& count);

// Where a search over the system's list takes a port of the bus: a
// controller is a USB device, while many PCs have a UART on the board with
// nothing attached (1 s and the whole timeout each), and an open of a
// Bluetooth link can stall for up to half a minute. Lower goes first.
int searchGroup(platform::PortBus bus);

// Puts the ports of list in the order of their groups, each group in the
// list's order.
void orderBySearchGroup(std::int32_t* list, std::int32_t count);

// Probes the candidates in order until one answers; runSettings.foundPort
// then holds its number. With runSettings.waitSeconds, when none answered,
// it goes on to watch the device-name list until that many seconds after its
// start and probes each port that appears there (or, after a failed open,
// is still there).
bool searchForController();

// The list command: a table of the system's COM devices with the outcome of
// a probe on each.
void listPorts();
