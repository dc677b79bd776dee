// What a Windows device instance ID tells of a serial port: its bus, its
// USB vendor and product IDs, interface and serial number. Plain text
// work, apart from the system calls, so that the tests of every platform
// can read IDs.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/platform.h"

namespace platform {

// Copies length bytes of text into field, cut to fit, NUL-terminated.
template <std::size_t Size>
void copyText(char (&field)[Size], const char* text, std::size_t length) {
    const std::size_t kept = length < Size - 1 ? length : Size - 1;
    std::memcpy(field, text, kept);
    field[kept] = '\0';
}

// Reads id (such as USB\VID_2341&PID_0043\75735323434351E0A1C1) into
// identity's bus, IDs, interface and serial number. True when the serial
// number is the parent device's to tell: the port is one interface of a
// composite USB device (...&MI_02\...), whose own serial part is made up.
bool readInstanceId(const char* id, PortIdentity& identity);

// For a port that readInstanceId found to be an interface of a composite
// device: the serial number of parentId, the USB device above it, which
// keeps the interface number and IDs the port's own ID gave.
void takeParentSerialNumber(const char* parentId, PortIdentity& identity);

}  // namespace platform
