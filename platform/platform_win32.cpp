// The platform contract over kernel32, for Windows.
//
// Each function passes straight through to the one kernel32 call that does
// its job, with no retries or checks of its own, so that the program behaves
// exactly as those calls do on every Windows version and under Wine.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/platform.h"

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
// the reason for a failed listing is taken at once, not when the core asks.
bool namesTruncated = false;

}  // namespace

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
        return kNoPort;
    }
    return toPort(handle);
}

// A failed CreateFileA is reported by its COM number alone, as always.
const char* openFailureReason() { return nullptr; }

bool getLineState(PortHandle port, LineState& state) {
    return GetCommState(toHandle(port), &dcbOf(state)) != FALSE;
}

void setLineSettings(LineState& state, std::uint32_t baudRate) {
    // Every other field (flow control, DTR and RTS among them) keeps what the
    // driver reported, so the port's own setup of the modem lines is kept.
    DCB& dcb = dcbOf(state);
    dcb.BaudRate = baudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
}

bool applyLineState(PortHandle port, const LineState& state) {
    // SetCommState takes a non-const pointer but only reads the DCB.
    DCB dcb = dcbOf(state);
    return SetCommState(toHandle(port), &dcb) != FALSE;
}

bool setReadTimeout(PortHandle port, std::int32_t timeoutSeconds) {
    // MAXDWORD for both the interval and the multiplier, with a non-zero
    // constant, is the one combination for which ReadFile returns at once
    // with a byte that is buffered, waits for the first byte otherwise, and
    // gives up with no byte after the constant. Writes get no timeout.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutSeconds) * 1000U;
    return SetCommTimeouts(toHandle(port), &timeouts) != FALSE;
}

bool writeBytes(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
    // A synchronous port without write timeouts writes everything or fails,
    // so the count written tells nothing more.
    DWORD written = 0;
    return WriteFile(toHandle(port), data, length, &written, nullptr) != FALSE;
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

void closeComPort(PortHandle port) { CloseHandle(toHandle(port)); }

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
