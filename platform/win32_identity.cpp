// What Windows tells of its serial ports without opening them: the present
// devices of the Ports class, through SetupAPI, each found by the COM name
// in its device key. Every text is read with the wide calls and kept as
// UTF-8: the ANSI calls would hand over the bytes of the user's code page.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// windows.h first: these two rely on its types.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "platform/instance_id.h"
#include "platform/platform.h"

namespace platform {
namespace {

// GUID_DEVCLASS_PORTS and DEVPKEY_Device_BusReportedDeviceDesc, spelt out:
// the headers define them only in the one file that asks for INITGUID.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const DEVPROPKEY kBusReportedDescription = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

struct KnownPort {
    std::int32_t comNumber;
    PortIdentity identity;
};

// The last reading of the device list. Written only by readPortIdentities,
// before any probe; read by portIdentity from any thread.
std::unique_ptr<KnownPort[]> knownPorts;
std::size_t knownCount = 0;

// Room for any registry text worth showing; a longer one is cut.
constexpr DWORD kTextCharacters = 512;

template <std::size_t Size>
void toUtf8(const wchar_t* text, char (&field)[Size]) {
    char utf8[kTextCharacters * 3 + 1];
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(wcsnlen(text, kTextCharacters)), utf8,
                                           static_cast<int>(sizeof utf8), nullptr, nullptr);
    copyText(field, utf8, length > 0 ? static_cast<std::size_t>(length) : 0);
}

// A string property of a device; empty when it has none.
template <std::size_t Size>
void readProperty(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property, char (&field)[Size]) {
    wchar_t text[kTextCharacters + 1] = {};
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyW(devices, &device, property, &type, reinterpret_cast<BYTE*>(text),
                                          kTextCharacters * sizeof(wchar_t), nullptr) &&
        type == REG_SZ) {
        toUtf8(text, field);
    }
}

// The COM number in the device's PortName value; 0 for anything else (the
// Ports class holds printer ports too).
std::int32_t portNumberOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return 0;
    }
    wchar_t name[16] = {};
    DWORD type = 0;
    DWORD size = sizeof name - sizeof(wchar_t);
    const LONG status = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ || _wcsnicmp(name, L"COM", 3) != 0 || name[3] < L'1' ||
        name[3] > L'9' || wcsspn(name + 3, L"0123456789") != wcslen(name + 3) || wcslen(name + 3) > 9) {
        return 0;
    }
    return static_cast<std::int32_t>(wcstol(name + 3, nullptr, 10));
}

// The serial number and location of a composite device's port live on the
// USB device above its interface.
void readParent(DEVINST child, PortIdentity& identity) {
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, child, 0) != CR_SUCCESS || CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
        return;
    }
    char utf8[sizeof identity.serialNumber] = {};
    toUtf8(id, utf8);
    takeParentSerialNumber(utf8, identity);
    wchar_t location[kTextCharacters + 1] = {};
    ULONG size = kTextCharacters * sizeof(wchar_t);
    if (CM_Get_DevNode_Registry_PropertyW(parent, CM_DRP_LOCATION_INFORMATION, nullptr, location, &size, 0) == CR_SUCCESS) {
        toUtf8(location, identity.location);
    }
}

void readDevice(HDEVINFO devices, SP_DEVINFO_DATA& device, std::int32_t comNumber, PortIdentity& identity) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (SetupDiGetDeviceInstanceIdW(devices, &device, id, MAX_DEVICE_ID_LEN, nullptr)) {
        char utf8[sizeof identity.serialNumber] = {};
        toUtf8(id, utf8);
        if (readInstanceId(utf8, identity)) {
            readParent(device.DevInst, identity);
        }
    }
    if (identity.location[0] == '\0') {
        readProperty(devices, device, SPDRP_LOCATION_INFORMATION, identity.location);
    }
    readProperty(devices, device, SPDRP_MFG, identity.manufacturer);
    // What the device calls itself (its product string, or its interface's);
    // else the name Device Manager shows, without the " (COM4)" Windows
    // puts after it.
    wchar_t text[kTextCharacters + 1] = {};
    DEVPROPTYPE type = 0;
    if (SetupDiGetDevicePropertyW(devices, &device, &kBusReportedDescription, &type, reinterpret_cast<BYTE*>(text),
                                  kTextCharacters * sizeof(wchar_t), nullptr, 0) &&
        type == DEVPROP_TYPE_STRING && text[0] != L'\0') {
        toUtf8(text, identity.description);
        if (identity.interfaceNumber < 0) {
            toUtf8(text, identity.product);
        }
        return;
    }
    readProperty(devices, device, SPDRP_FRIENDLYNAME, identity.description);
    char tail[24];
    std::snprintf(tail, sizeof tail, " (COM%d)", static_cast<int>(comNumber));
    const std::size_t length = std::strlen(identity.description);
    const std::size_t tailLength = std::strlen(tail);
    if (length > tailLength && std::strcmp(identity.description + length - tailLength, tail) == 0) {
        identity.description[length - tailLength] = '\0';
    }
}

// Microsoft's Bluetooth stack names its serial links \Device\BthModem<n>;
// the link is known by that even where no Ports device tells of it.
bool leadsToBluetoothModem(std::int32_t comNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "COM%d", static_cast<int>(comNumber));
    char target[1024];
    if (QueryDosDeviceA(name, target, sizeof target) == 0) {
        return false;
    }
    static const char kBluetoothModem[] = "\\Device\\BthModem";
    return _strnicmp(target, kBluetoothModem, sizeof kBluetoothModem - 1) == 0;
}

}  // namespace

void readPortIdentities() {
    knownCount = 0;
    HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(devices, count, &device)) {
        ++count;
    }
    knownPorts.reset(new (std::nothrow) KnownPort[count]);
    for (DWORD index = 0; knownPorts && index < count && SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const std::int32_t comNumber = portNumberOf(devices, device);
        if (comNumber != 0) {
            KnownPort& known = knownPorts[knownCount++];
            known.comNumber = comNumber;
            known.identity = PortIdentity{};
            readDevice(devices, device, comNumber, known.identity);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
}

void portIdentity(std::int32_t comNumber, PortIdentity& identity) {
    identity = PortIdentity{};
    for (std::size_t index = 0; index < knownCount; ++index) {
        if (knownPorts[index].comNumber == comNumber) {
            identity = knownPorts[index].identity;
            break;
        }
    }
    if (identity.bus == PortBus::Unknown && leadsToBluetoothModem(comNumber)) {
        identity.bus = PortBus::Bluetooth;
    }
}

}  // namespace platform
