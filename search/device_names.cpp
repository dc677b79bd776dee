#include "search/device_names.h"

#include <new>
#include <utility>

#include "cli/number.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kNameBufferBytes = 65536;
// Enough for any system seen; past this a failing query is reported as one.
constexpr std::uint32_t kLargestNameBufferBytes = 16U * 1024U * 1024U;

}  // namespace

bool readComEntry(const char* name, std::int32_t& comNumber) {
    if (std::strncmp(name, "COM", 3) != 0) {
        return false;
    }
    return readLeadingInt32(name + 3, comNumber);
}

DeviceNames readDeviceNames() {
    DeviceNames names;
    std::uint32_t bytes = kNameBufferBytes;
    names.buffer.reset(new (std::nothrow) char[bytes]);
    if (!names.buffer) {
        return names;
    }
    names.length = platform::queryDeviceNames(names.buffer.get(), bytes - 1);
    // A system with very many devices overflows the first buffer; try again
    // with room to spare instead of reporting that no port exists.
    while (names.length == 0 && platform::deviceNamesTruncated() &&
           bytes < kLargestNameBufferBytes) {
        bytes *= 2;
        std::unique_ptr<char[]> larger(new (std::nothrow) char[bytes]);
        if (!larger) {
            break;
        }
        names.buffer = std::move(larger);
        names.length = platform::queryDeviceNames(names.buffer.get(), bytes - 1);
    }
    // Never trust a count beyond the buffer the call was given.
    if (names.length > bytes - 1) {
        names.length = bytes - 1;
    }
    return names;
}
