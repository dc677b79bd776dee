// The system's device-name list and the COM entries in it, shared by the
// search, the wait and the list report.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "search/search.h"

// The device-name list as one read of the system gave it; length 0 when the
// read failed.
struct DeviceNames {
    std::unique_ptr<char[]> buffer;
    std::uint32_t length = 0;
};

// Reads the list, growing the buffer while the system says it is too small.
DeviceNames readDeviceNames();

// Calls take(name, comNumber) for each COM entry of names, in the list's order.
template <typename Take>
void forEachComEntry(const DeviceNames& names, Take take) {
    const char* name = names.buffer.get();
    std::uint32_t remaining = names.length;
    while (remaining > 0) {
        const void* end = std::memchr(name, '\0', remaining);
        if (end == nullptr) {
            // The count ends inside this name: it is not a whole name, and
            // its end lies beyond what the system said it stored.
            break;
        }
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - name);
        std::int32_t comNumber = 0;
        if (readComEntry(name, comNumber)) {
            take(name, comNumber);
        }
        remaining -= static_cast<std::uint32_t>(length + 1);
        name += length + 1;
    }
}
