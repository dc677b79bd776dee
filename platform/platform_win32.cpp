// The platform contract over kernel32, for Windows.
//
// Each function passes straight through to the one kernel32 call that does
// its job, with no retries of its own, so that the program behaves exactly
// as those calls do on every Windows version and under Wine.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/platform.h"
#include "platform/platform_win32.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace platform {
namespace {

static_assert(sizeof(DCB) <= sizeof(LineState::storage), "a DCB must fit LineState");
static_assert(alignof(DCB) <= alignof(LineState), "LineState must be aligned for a DCB");

// HANDLE is a pointer and PortHandle an integer of pointer width; the round
// trip through intptr_t is the one conversion the language guarantees to
// give back the same pointer.
HANDLE toHandle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }
PortHandle toPort(HANDLE handle) { return reinterpret_cast<PortHandle>(handle); }

DCB& dcbOf(LineState& state) { return *reinterpret_cast<DCB*>(state.storage); }
const DCB& dcbOf(const LineState& state) { return *reinterpret_cast<const DCB*>(state.storage); }

// GetLastError is thread state that the next kernel32 call may overwrite, so
// the reason for a failed listing or open is taken at once, not when the
// core asks; and kept per thread like GetLastError, so that probes running
// at once never see each other's.
thread_local bool namesTruncated = false;
thread_local char openFailure[512];

}  // namespace

void describeOpenFailure(std::int32_t comNumber, unsigned long error) {
    openFailure[0] = '\0';
    const int number = static_cast<int>(comNumber);
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port is opened for exclusive use; the stock drivers
            // refuse a second open as access denied, some virtual ports as
            // a sharing violation.
            std::snprintf(openFailure, sizeof openFailure, "COM%d: in use by another program", number);
            return;
        case ERROR_SEM_TIMEOUT:
            std::snprintf(openFailure, sizeof openFailure,
                          "COM%d: the port did not answer the open in time (typical of Bluetooth links)", number);
            return;
        default:
            break;
    }
    const int prefix = std::snprintf(openFailure, sizeof openFailure, "COM%d: ", number);
    char* text = openFailure + prefix;
    const DWORD room = static_cast<DWORD>(sizeof openFailure - static_cast<std::size_t>(prefix));
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                  text, room, nullptr);
    if (length == 0) {
        std::snprintf(text, room, "error %lu", static_cast<unsigned long>(error));
        return;
    }
    // System messages end in CR LF, and a few span lines; the reason is one.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) {
        text[--length] = '\0';
    }
    for (DWORD index = 0; index < length; ++index) {
        if (text[index] == '\r' || text[index] == '\n') {
            text[index] = ' ';
        }
    }
}

PortHandle openComPort(std::int32_t comNumber) {
    // The device namespace form is the only one that reaches COM10 and up;
    // using it for every number keeps one path for all of them. The buffer
    // fits "\\.\COM" and any int32, sign included.
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", static_cast<int>(comNumber));
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    // CreateFileA reports failure as INVALID_HANDLE_VALUE; a null handle is
    // refused too because no usable port is ever null.
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        describeOpenFailure(comNumber, GetLastError());
        return kNoPort;
    }
    openFailure[0] = '\0';
    return toPort(handle);
}

const char* openFailureReason() { return openFailure[0] == '\0' ? nullptr : openFailure; }

bool getLineState(PortHandle port, LineState& state) {
    // The caller owns the length field of a DCB; a driver may refuse one
    // that does not carry its size.
    dcbOf(state).DCBlength = sizeof(DCB);
    return GetCommState(toHandle(port), &dcbOf(state)) != FALSE;
}

void setLineSettings(LineState& state, std::uint32_t baudRate) {
    DCB& dcb = dcbOf(state);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // A serial driver keeps the DCB of the last SetCommState across close
    // and reopen; only a new device starts from its defaults. So whatever
    // the last program stored is what this one gets: DTR_CONTROL_DISABLE
    // (.NET's SerialPort, pyserial with dtr=False) makes the driver keep DTR
    // low at the reopen and the controller never restarts; CTS, DSR or
    // XON/XOFF handshaking holds the command back; fAbortOnError fails
    // every call after one line error. Every probe starts from a new
    // device's state instead, so that each close drops DTR and each open
    // raises it again.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    // SetCommState fails on an X-on equal to the X-off, XON/XOFF on or off,
    // and a driver may refuse limits beyond its input buffer: these are the
    // values Windows' own serial driver gives a new device, whose input
    // buffer is 4 KiB.
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
}

bool applyLineState(PortHandle port, const LineState& state) {
    // SetCommState takes a non-const pointer but only reads the DCB.
    DCB dcb = dcbOf(state);
    return SetCommState(toHandle(port), &dcb) != FALSE;
}

bool setReadTimeout(PortHandle port, std::uint32_t milliseconds) {
    // MAXDWORD for both the interval and the multiplier, with a non-zero
    // constant, is the one combination for which ReadFile returns at once
    // with a byte that is buffered, waits for the first byte otherwise, and
    // gives up with no byte after the constant. A write held back by the
    // device (flow control that some driver still applies, a Bluetooth link
    // whose peer is gone) would otherwise wait forever, so it gets the same
    // time as a reply.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    timeouts.WriteTotalTimeoutConstant = milliseconds;
    return SetCommTimeouts(toHandle(port), &timeouts) != FALSE;
}

bool discardInput(PortHandle port) { return PurgeComm(toHandle(port), PURGE_RXCLEAR) != FALSE; }

bool writeBytes(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
    // A write timeout is a success status: WriteFile returns TRUE with fewer
    // bytes written, so only the count tells.
    DWORD written = 0;
    return WriteFile(toHandle(port), data, length, &written, nullptr) != FALSE && written == length;
}

bool readByte(PortHandle port, std::uint8_t& byte, bool& gotByte) {
    DWORD count = 0;
    gotByte = false;
    if (ReadFile(toHandle(port), &byte, 1, &count, nullptr) == FALSE) {
        return false;
    }
    // Success with nothing read is how the read timeout shows itself.
    gotByte = count == 1;
    return true;
}

void closeComPort(PortHandle port) {
    // Some drivers let the close wait until the output queue has drained,
    // which an adapter held back by its peer never does.
    PurgeComm(toHandle(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(toHandle(port));
}

long lastErrorCode() {
    // Win32 error codes are DWORDs; the core prints them as signed long,
    // which is the same width on Windows.
    return static_cast<long>(GetLastError());
}

void sleepMilliseconds(std::uint32_t milliseconds) { Sleep(milliseconds); }

// GetTickCount would wrap after 49 days of uptime.
std::uint64_t monotonicMilliseconds() { return GetTickCount64(); }

std::uint32_t queryDeviceNames(char* buffer, std::uint32_t size) {
    DWORD stored = QueryDosDeviceA(nullptr, buffer, size);
    namesTruncated = stored == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
    return stored;
}

bool deviceNamesTruncated() { return namesTruncated; }

// "COM<n>" is the name Windows users know the device by.
const char* devicePath(std::int32_t) { return nullptr; }

}  // namespace platform
