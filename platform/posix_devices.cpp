// Before any header: on 32-bit ARM the 32-bit readdir and stat fail with
// EOVERFLOW where a file system's inode numbers or directory offsets do not
// fit 32 bits; these are the 64-bit ones.
#define _FILE_OFFSET_BITS 64
#include "platform/posix_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>

// The test build compiles in a folder of its own to stand for the root of
// the file system, so that it sees emulated devices instead of the real ones.
#ifndef QUILLFIND_DEVICE_ROOT
#define QUILLFIND_DEVICE_ROOT ""
#endif

namespace platform::posix {
namespace {

constexpr std::size_t kMostDevices = 255;

// In COM order (see posix_devices.h).
const char* const kFamilies[] = {"ttyACM", "ttyUSB", "ttyS", "ttyAMA"};
constexpr int kUartFamily = 2;

// The first line of a small sysfs file; empty when it cannot be read. Plain
// open and read rather than stdio: a wait lists the devices several times a
// second, reading the type of every ttyS node, and a FILE would add a stat
// and a buffer to each read.
std::string readLine(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char text[256];
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0) {
        return {};
    }
    text[length] = '\0';
    if (char* end = std::strchr(text, '\n')) {
        end[1] = '\0';
    }
    return text;
}

// ttyS nodes exist for every possible 8250 port; only those whose type is
// not 0 (PORT_UNKNOWN) have a UART behind them.
bool hasUart(const std::string& root, const std::string& name) {
    return std::strtol(readLine(root + "/sys/class/tty/" + name + "/type").c_str(), nullptr, 10) != 0;
}

// The kernel names its active consoles in one line, separated by spaces
// ("tty0 ttyS0"); a system without that file has no serial console.
std::set<std::string> activeConsoles(const std::string& root) {
    std::set<std::string> names;
    const std::string line = readLine(root + "/sys/class/tty/console/active");
    std::size_t start = 0;
    while ((start = line.find_first_not_of(" \t\n", start)) != std::string::npos) {
        const std::size_t end = line.find_first_of(" \t\n", start);
        names.insert(line.substr(start, end - start));
        start = end;
    }
    return names;
}

// The family of a device name with only decimal digits (at most nine, so the
// number fits) after the family's prefix; -1 for every other name.
int familyOf(const char* name) {
    for (int family = 0; family < 4; ++family) {
        const std::size_t prefixLength = std::strlen(kFamilies[family]);
        // The prefix first: a shorter name ends before the digits would start.
        if (std::strncmp(name, kFamilies[family], prefixLength) != 0) {
            continue;
        }
        const char* digits = name + prefixLength;
        const std::size_t digitCount = std::strlen(digits);
        if (digitCount > 0 && digitCount <= 9 && std::strspn(digits, "0123456789") == digitCount) {
            return family;
        }
    }
    return -1;
}

// The numbering is the process's, shared by every probe.
std::mutex keptMutex;
std::optional<std::vector<SerialDevice>> kept;

// Takes the numbering with keptMutex held.
bool takeNumberingLocked(int& error) {
    std::vector<SerialDevice> devices;
    const bool listed = listSerialDevices(QUILLFIND_DEVICE_ROOT, devices, error);
    kept = std::move(devices);
    return listed;
}

}  // namespace

bool listSerialDevices(const std::string& root, std::vector<SerialDevice>& devices, int& error) {
    devices.clear();
    DIR* directory = opendir((root + "/dev").c_str());
    if (directory == nullptr) {
        error = errno;
        return false;
    }
    const std::set<std::string> consoles = activeConsoles(root);
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        const int family = familyOf(entry->d_name);
        if (family < 0 || consoles.count(name) != 0 || (family == kUartFamily && !hasUart(root, name))) {
            continue;
        }
        devices.push_back({family, std::strtoul(name.c_str() + std::strlen(kFamilies[family]), nullptr, 10), name});
    }
    closedir(directory);
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        return a.family != b.family ? a.family < b.family : a.number < b.number;
    });
    if (devices.size() > kMostDevices) {
        devices.resize(kMostDevices);
    }
    return true;
}

std::string devicePath(const std::string& name) { return std::string(QUILLFIND_DEVICE_ROOT) + "/dev/" + name; }

bool takeNumbering(int& error) {
    const std::lock_guard<std::mutex> lock(keptMutex);
    return takeNumberingLocked(error);
}

std::size_t numberedCount() {
    const std::lock_guard<std::mutex> lock(keptMutex);
    if (!kept) {
        int ignored = 0;
        takeNumberingLocked(ignored);
    }
    return kept->size();
}

bool numberedDevice(std::int32_t comNumber, SerialDevice& device, int& error) {
    const std::lock_guard<std::mutex> lock(keptMutex);
    if (!kept && !takeNumberingLocked(error)) {
        return false;
    }
    if (comNumber < 1 || static_cast<std::size_t>(comNumber) > kept->size()) {
        error = ENOENT;
        return false;
    }
    device = (*kept)[static_cast<std::size_t>(comNumber - 1)];
    return true;
}

}  // namespace platform::posix
