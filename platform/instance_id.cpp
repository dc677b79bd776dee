#include "platform/instance_id.h"

#include <cstdlib>

namespace platform {
namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Instance IDs are case-insensitive; drivers differ in how they write them.
bool startsWith(const char* text, std::size_t length, const char* prefix) {
    const std::size_t prefixLength = std::strlen(prefix);
    if (length < prefixLength) {
        return false;
    }
    for (std::size_t index = 0; index < prefixLength; ++index) {
        if (upperAscii(text[index]) != prefix[index]) {
            return false;
        }
    }
    return true;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (upperAscii(c) >= 'A' && upperAscii(c) <= 'F');
}

// Takes "VID_xxxx", "PID_xxxx" or "MI_xx" from one field of the device
// part; a field of another form, or with other than exactly its hex digits,
// is passed over.
void readField(const char* field, std::size_t length, PortIdentity& identity, bool& composite) {
    const auto hexOnly = [&](std::size_t from, std::size_t digits) {
        if (length != from + digits) {
            return false;
        }
        for (std::size_t index = from; index < length; ++index) {
            if (!isHexDigit(field[index])) {
                return false;
            }
        }
        return true;
    };
    char* target = nullptr;
    if (startsWith(field, length, "VID_") && hexOnly(4, 4)) {
        target = identity.vendorId;
    } else if (startsWith(field, length, "PID_") && hexOnly(4, 4)) {
        target = identity.productId;
    } else if (startsWith(field, length, "MI_") && hexOnly(3, 2)) {
        const char digits[3] = {field[3], field[4], '\0'};
        identity.interfaceNumber = static_cast<std::int32_t>(std::strtol(digits, nullptr, 16));
        composite = true;
        return;
    } else {
        return;
    }
    for (std::size_t index = 0; index < 4; ++index) {
        const char digit = field[4 + index];
        target[index] = (digit >= 'A' && digit <= 'F') ? static_cast<char>(digit - 'A' + 'a') : digit;
    }
    target[4] = '\0';
}

}  // namespace

bool readInstanceId(const char* id, PortIdentity& identity) {
    const char* device = std::strchr(id, '\\');
    if (device == nullptr) {
        return false;
    }
    const std::size_t enumeratorLength = static_cast<std::size_t>(device - id);
    ++device;
    const char* instance = std::strchr(device, '\\');
    const std::size_t deviceLength = instance != nullptr ? static_cast<std::size_t>(instance - device) : std::strlen(device);
    instance = instance != nullptr ? instance + 1 : "";
    const auto enumeratorIs = [&](const char* name) {
        return enumeratorLength == std::strlen(name) && startsWith(id, enumeratorLength, name);
    };

    if (enumeratorIs("BTHENUM")) {
        identity.bus = PortBus::Bluetooth;
        return false;
    }
    if (enumeratorIs("ACPI") || enumeratorIs("PCI")) {
        identity.bus = PortBus::Builtin;
        return false;
    }
    if (enumeratorIs("ROOT")) {
        identity.bus = PortBus::Virtual;
        return false;
    }
    // USB\VID_xxxx&PID_xxxx[&MI_nn]\<serial>, and the port FTDI's driver
    // makes of each channel: FTDIBUS\VID_xxxx+PID_xxxx+<serial><channel letter>\0000.
    const bool ftdi = enumeratorIs("FTDIBUS");
    if (!ftdi && !enumeratorIs("USB")) {
        return false;
    }
    identity.bus = PortBus::Usb;
    const char separator = ftdi ? '+' : '&';
    bool composite = false;
    const char* serial = ftdi ? "" : instance;
    std::size_t serialLength = std::strlen(serial);
    for (std::size_t start = 0, field = 0; start <= deviceLength; ++field) {
        const void* found = std::memchr(device + start, separator, deviceLength - start);
        const std::size_t end = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - device)
                                                 : deviceLength;
        if (ftdi && field == 2) {
            serial = device + start;
            serialLength = end - start;
        } else {
            readField(device + start, end - start, identity, composite);
        }
        start = end + 1;
    }
    if (ftdi && serialLength > 0 && upperAscii(serial[serialLength - 1]) >= 'A' &&
        upperAscii(serial[serialLength - 1]) <= 'Z') {
        identity.interfaceNumber = upperAscii(serial[serialLength - 1]) - 'A';
        --serialLength;
    }
    // Windows makes up an instance part with '&' in it for a device that
    // reports no serial number of its own.
    if (!composite && std::memchr(serial, '&', serialLength) == nullptr) {
        copyText(identity.serialNumber, serial, serialLength);
    }
    return composite;
}

void takeParentSerialNumber(const char* parentId, PortIdentity& identity) {
    PortIdentity parent;
    readInstanceId(parentId, parent);
    std::memcpy(identity.serialNumber, parent.serialNumber, sizeof identity.serialNumber);
}

}  // namespace platform
