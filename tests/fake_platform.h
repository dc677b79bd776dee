// A scripted stand-in for the platform layer: ports that exist or not, the
// bytes they send back, the device-name list, and a failure for any single
// call. It records every call and never really waits: its clock moves by
// exactly what was slept (by the probes at once together).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fake {

enum class Op { Open, GetLineState, ApplyLineState, SetReadTimeout, Write, Read, Discard, Close, Sleep, QueryNames, ReadIdentities, StartThread };

// What one read call of a port gives; a discard of the input throws away the stale bytes next in line.
struct ReadStep {
    enum class Kind { Byte, Timeout, Error, Stale } kind;
    std::uint8_t byte;
    long error;
};
ReadStep byte(std::uint8_t value);
ReadStep timeout();
ReadStep readError(long code);
ReadStep stale(std::uint8_t value);

struct Call {
    Op op;
    std::int32_t port;    // COM number the call worked on (0 when none)
    std::uint32_t value;  // speed, milliseconds, or buffer size
    std::uint64_t at = 0;  // the fake clock when it was made
};

void reset();

// COM<port> exists. Its read calls take the steps in order, across opens;
// once they are used up every read times out.
void addPort(std::int32_t port, std::vector<ReadStep> reads = {});
// A port that answers 0x14 0x10.
void addController(std::int32_t port);

// What the layer tells of COM<port>: the device behind it, and why an open
// of it failed (a port that is not added fails to open). Unset: nothing, as
// on Windows.
void setDevicePath(std::int32_t port, std::string path);
void setOpenFailureReason(std::int32_t port, std::string reason);
// COM<port> is a Bluetooth serial link.
void setBluetoothLink(std::int32_t port);
// What the layer tells of COM<port> once identities were read.
void setPortIdentity(std::int32_t port, const platform::PortIdentity& identity);
// COM<port> is a USB port of that identity (hex IDs as the system gives them).
void setUsbIdentity(std::int32_t port, const char* vendor, const char* product, const char* serial,
                    const char* location);
// Nothing reads standard output any more: a watch ends at its first look.
void setOutputGone();
// COM<port> opens but refuses to give its settings, every time.
void refuseSetup(std::int32_t port);
// Each open of COM<port> takes this long on the fake clock.
void setOpenDuration(std::int32_t port, std::uint32_t milliseconds);

// The device-name lists that successive queries return (the last one is
// repeated). Each string holds the bytes; the count returned is its size
// unless given.
void setDeviceNames(std::vector<std::string> lists);
void setDeviceNamesWithCount(const std::string& bytes, std::uint32_t count);
// The device-name list as it changes over time: each query returns the last
// list whose time (on the fake clock, which moves with the sleeps) has come.
void setDeviceNamesOverTime(std::vector<std::pair<std::uint64_t, std::string>> timeline);
std::uint64_t clock();

// The occurrence-th call (from 1) of op fails with the given error code.
// For QueryNames, truncated makes it fail as a too-small buffer would.
void failCall(Op op, int occurrence, long errorCode, bool truncated = false);

const std::vector<Call>& calls();
// The calls as short text, e.g. "open 4", "apply 4 57600", "read 4".
std::vector<std::string> callLog();
int openHandles();
// Closes of a handle that was not open, and calls on such a handle.
int misuses();

// A tiny device-name list builder: names joined by NULs, with the final NUL.
std::string names(const std::vector<std::string>& list);

}  // namespace fake
