// COM numbers for the serial devices of a Linux system.
//
// COM numbers are given to the serial devices present, in a fixed order:
// /dev/ttyACM*, then /dev/ttyUSB*, then /dev/ttyS* that have a UART behind
// them, then /dev/ttyAMA*, each family by ascending number. COM1 is the first
// of them. The controller is a USB device, while many PCs have a UART at
// ttyS0 or ttyS4 with nothing attached that would cost a whole reply timeout
// before any USB port were tried. A device that is an active kernel console gets no number, so that a
// search never reconfigures the console or types into its login prompt. At
// most 255 devices are numbered, so every COM number fits the 8-bit exit
// status of a POSIX process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::posix {

struct SerialDevice {
    int family;
    unsigned long number;
    std::string name;  // as in /dev, e.g. ttyACM0
};

// The serial devices under root (its dev/ and sys/class/tty/ folders stand
// for /dev and /sys/class/tty), in COM order. False, with error set to the
// errno value, when root's device folder cannot be read.
bool listSerialDevices(const std::string& root, std::vector<SerialDevice>& devices, int& error);

// The path of a device name under the root this program was built for.
std::string devicePath(const std::string& name);

// Lists the devices afresh and keeps the result as the numbering that later
// lookups follow, until the next listing. A search probes the devices of one
// listing one by one; a device unplugged meanwhile must not shift the numbers
// of those after it. False, with error set, when the listing failed (the numbering is then
// empty).
bool takeNumbering(int& error);

// The numbered devices; taken at the first use when no numbering was taken.
const std::vector<SerialDevice>& numbering();

// The device numbered comNumber, or nullptr with error set (ENOENT when no
// device has that number).
const SerialDevice* numberedDevice(std::int32_t comNumber, int& error);

}  // namespace platform::posix
