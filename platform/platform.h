// The operating-system contract of quillfind.
//
// One function per step that can fail, so that the core can report each
// failure with its own message and a test double can fail any single call.
// Exactly one implementation is linked into a program: platform_win32.cpp,
// platform_posix.cpp, or the scripted fake of the test suite.
//
// Probes may run at once on threads of their own (the list report): a port
// is used only by the thread that opened it, and what the layer tells of
// "the last" call (error, reason, path) is that of the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

namespace platform {

// A serial port held open by the process. kNoPort is the empty state.
using PortHandle = std::intptr_t;
constexpr PortHandle kNoPort = -1;

// The port's line settings as the driver reports them, in the platform's own
// form (a DCB on Windows, a termios on POSIX). The core zeroes it, fills it
// with getLineState, has setLineSettings change what the probe needs and
// hands it back with applyLineState; it never looks inside.
struct LineState {
    alignas(std::max_align_t) unsigned char storage[256];
};

// Opens COM<comNumber> for exclusive read and write. kNoPort on failure
// (no such port, or another program holds it).
PortHandle openComPort(std::int32_t comNumber);

// Why the last openComPort failed, in words for the user that name the
// device (such as "/dev/ttyACM0: in use by another program" or "COM5: in
// use by another program"), on one line with no line end; nullptr when
// there is nothing to add to "no such port". Valid until the calling
// thread's next call of the layer.
const char* openFailureReason();

// Reads the port's current line settings into state. False on failure.
bool getLineState(PortHandle port, LineState& state);

// Sets speed, 8 data bits, no parity and one stop bit in state, and puts
// back what a freshly plugged port has for every setting that another
// program may have left and that would keep the probe from working (flow
// control, the modem lines, error handling, byte translation). Cannot fail:
// a speed the platform cannot use makes applyLineState fail.
void setLineSettings(LineState& state, std::uint32_t baudRate);

// Applies state to the port. False on failure.
bool applyLineState(PortHandle port, const LineState& state);

// From now on readByte returns as soon as a byte is available, and with no
// byte once milliseconds (at least 1) have passed without one; writeBytes
// fails once it has waited that long to get its bytes out. False on failure.
bool setReadTimeout(PortHandle port, std::uint32_t milliseconds);

// Throws away what the port has received and not yet been read. False on
// failure.
bool discardInput(PortHandle port);

// Writes length bytes. False on failure, and when not all of them went out
// within the timeout.
bool writeBytes(PortHandle port, const std::uint8_t* data, std::uint32_t length);

// Reads at most one byte. True with gotByte set when a byte arrived, true
// with gotByte clear when the read timeout ran out, false on a read error
// (lastErrorCode then tells which).
bool readByte(PortHandle port, std::uint8_t& byte, bool& gotByte);

// Releases the port at once: what it has not yet sent or read is thrown
// away, so that a close never waits on an adapter that no longer sends. The
// handle is invalid afterwards.
void closeComPort(PortHandle port);

// The error code of the calling thread's last failed call, as the platform
// numbers them (GetLastError on Windows, errno on POSIX).
long lastErrorCode();

// Blocks the thread for the given time.
void sleepMilliseconds(std::uint32_t milliseconds);

// Milliseconds since an arbitrary start, never going back, whatever the
// user does to the clock on the wall. Cannot fail.
std::uint64_t monotonicMilliseconds();

// Fills buffer with the system's device names, each ended by a NUL, with one
// more NUL after the last (the names of serial ports are "COM<number>").
// size is the number of characters buffer may take. Returns the number of
// characters stored, or 0 on failure.
std::uint32_t queryDeviceNames(char* buffer, std::uint32_t size);

// True when the calling thread's last queryDeviceNames failed only because
// the list did not fit the buffer, so that a larger buffer would succeed.
bool deviceNamesTruncated();

// The device behind COM<comNumber> as the user names it elsewhere (such as
// /dev/ttyACM0); nullptr where the COM name is the device's own name
// (Windows) or no device has that number. Valid until the calling thread's
// next call of the layer.
const char* devicePath(std::int32_t comNumber);

// How a port is attached, as the system tells it.
enum class PortBus { Unknown, Usb, Bluetooth, Builtin, Virtual };

// What the system tells of a port without opening it; as constructed, it
// knows nothing. Each text is UTF-8 as the system gave it, cut at its
// field's size and NUL-terminated, empty when unknown. A USB descriptor's
// strings are the device's choice: any bytes, quotes and control
// characters included.
struct PortIdentity {
    PortBus bus = PortBus::Unknown;
    char vendorId[5] = {};  // 4 lower-case hex digits
    char productId[5] = {};
    // The USB interface the port belongs to; -1 when not known.
    std::int32_t interfaceNumber = -1;
    char serialNumber[384] = {};
    char manufacturer[384] = {};
    char product[384] = {};
    char description[384] = {};
    // Where the device is plugged in, in the system's own notation.
    char location[256] = {};
    // A path to the device that stays the same across plugs and reboots
    // (Linux: its link in /dev/serial/by-id).
    char stablePath[512] = {};
};

// Reads what the system knows of its serial ports, for portIdentity to
// answer from: once per listing of the ports, before any probe. Where the
// system is asked port by port (Linux) there is nothing to read. A failure
// leaves every port unknown.
void readPortIdentities();

// Fills identity for COM<comNumber> (bus Unknown and empty texts for what
// is not known). Safe to call from several threads at once: it only reads
// what readPortIdentities kept, and the system.
void portIdentity(std::int32_t comNumber, PortIdentity& identity);

// True once nothing reads the process's standard output any more (the
// program it was piped to has ended), without writing to it; false where
// the system cannot tell so.
bool standardOutputGone();

// Starts body(context) on a thread of its own, held in thread for the caller
// to join. False when the system has no thread to give (out of threads or
// memory); thread is then left as it was.
bool startThread(std::thread& thread, void (*body)(void*), void* context);

// Waits for a thread that startThread started to end.
void joinThread(std::thread& thread);

}  // namespace platform
