// What Linux tells of a numbered serial device without opening it: sysfs
// for its bus and USB descriptors, /dev/serial/by-id for its stable path,
// both under the root the numbering uses.

// Before any header: on 32-bit ARM the 32-bit readdir and stat fail with
// EOVERFLOW where a file system's inode numbers or directory offsets do not
// fit 32 bits; these are the 64-bit ones.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/instance_id.h"
#include "platform/platform.h"
#include "platform/posix_devices.h"

#ifndef QUILLFIND_DEVICE_ROOT
#define QUILLFIND_DEVICE_ROOT ""
#endif

namespace platform {
namespace {

// A USB device sits a few levels above its tty: interface, then device
// (ttyUSB has its usb-serial port in between).
constexpr int kMostLevels = 4;

// A sysfs attribute into field, cut to fit; its one line end dropped, the
// rest kept as it is, since a descriptor string may itself hold any byte.
// False when it cannot be read.
template <std::size_t Size>
bool readAttribute(const std::string& path, char (&field)[Size]) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[Size + 1];
    const ssize_t length = read(fd, text, sizeof text);
    close(fd);
    if (length <= 0) {
        return false;
    }
    std::size_t kept = static_cast<std::size_t>(length);
    if (text[kept - 1] == '\n') {
        --kept;
    }
    if (const void* end = std::memchr(text, '\0', kept)) {
        kept = static_cast<std::size_t>(static_cast<const char*>(end) - text);
    }
    copyText(field, text, kept);
    return true;
}

// A USB ID file holds 4 hex digits; anything else leaves the field empty.
void readUsbId(const std::string& path, char (&field)[5]) {
    if (!readAttribute(path, field) || std::strlen(field) != 4 || std::strspn(field, "0123456789abcdefABCDEF") != 4) {
        field[0] = '\0';
        return;
    }
    for (char& digit : field) {
        digit = (digit >= 'A' && digit <= 'F') ? static_cast<char>(digit - 'A' + 'a') : digit;
    }
}

std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Walks up from the tty's device to the USB interface and the USB device
// above it, staying inside sysfs.
void readUsbDevice(const std::string& root, const std::string& name, PortIdentity& identity) {
    const std::string sys = resolved(root + "/sys");
    std::string folder = resolved(root + "/sys/class/tty/" + name + "/device");
    for (int level = 0; level < kMostLevels && !sys.empty() && folder.rfind(sys + "/", 0) == 0; ++level) {
        char number[8] = {};
        if (identity.interfaceNumber < 0 && readAttribute(folder + "/bInterfaceNumber", number)) {
            identity.interfaceNumber = static_cast<std::int32_t>(std::strtol(number, nullptr, 16));
            readAttribute(folder + "/interface", identity.description);
        }
        if (exists(folder + "/idVendor")) {
            identity.bus = PortBus::Usb;
            readUsbId(folder + "/idVendor", identity.vendorId);
            readUsbId(folder + "/idProduct", identity.productId);
            readAttribute(folder + "/serial", identity.serialNumber);
            readAttribute(folder + "/manufacturer", identity.manufacturer);
            readAttribute(folder + "/product", identity.product);
            if (identity.description[0] == '\0') {
                copyText(identity.description, identity.product, std::strlen(identity.product));
            }
            const std::string port = folder.substr(folder.rfind('/') + 1);
            copyText(identity.location, port.c_str(), port.size());
            return;
        }
        folder.erase(folder.rfind('/'));
    }
}

// The link in /dev/serial/by-id that leads to the device; of several, the
// first by name, so that every run names the same one.
void readStablePath(const std::string& root, const std::string& name, PortIdentity& identity) {
    const std::string folder = root + "/dev/serial/by-id";
    const std::string target = resolved(root + "/dev/" + name);
    DIR* directory = target.empty() ? nullptr : opendir(folder.c_str());
    if (directory == nullptr) {
        return;
    }
    std::string chosen;
    while (const dirent* entry = readdir(directory)) {
        const std::string link = entry->d_name;
        if (link != "." && link != ".." && (chosen.empty() || link < chosen) && resolved(folder + "/" + link) == target) {
            chosen = link;
        }
    }
    closedir(directory);
    if (!chosen.empty()) {
        const std::string path = folder + "/" + chosen;
        copyText(identity.stablePath, path.c_str(), path.size());
    }
}

}  // namespace

void readPortIdentities() {}

void portIdentity(std::int32_t comNumber, PortIdentity& identity) {
    identity = PortIdentity{};
    int error = 0;
    posix::SerialDevice device;
    if (!posix::numberedDevice(comNumber, device, error)) {
        return;
    }
    // ttyACM and ttyUSB come only from USB drivers, ttyS and ttyAMA only
    // from UARTs on the board or a card, whatever sysfs shows.
    const bool usbFamily = device.name.rfind("ttyACM", 0) == 0 || device.name.rfind("ttyUSB", 0) == 0;
    identity.bus = usbFamily ? PortBus::Usb : PortBus::Builtin;
    readUsbDevice(QUILLFIND_DEVICE_ROOT, device.name, identity);
    readStablePath(QUILLFIND_DEVICE_ROOT, device.name, identity);
}

}  // namespace platform
