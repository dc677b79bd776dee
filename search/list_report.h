// The list command's table: each COM entry of the system's list with the
// outcome of a probe on it, and the totals.
#pragma once

#include "search/device_names.h"

// Prints the table for names, probing each entry in the list's order.
void reportPortList(const DeviceNames& names);
