// The platform contract over POSIX termios, for Linux. Which device a COM
// number names is posix_devices.cpp's business.

// Before any header: on 32-bit ARM the 32-bit readdir and stat fail with
// EOVERFLOW where a file system's inode numbers or directory offsets do not
// fit 32 bits; these are the 64-bit ones.
#define _FILE_OFFSET_BITS 64
#include "platform/platform.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/posix_devices.h"

namespace platform {
namespace {

struct PosixLineState {
    termios settings;
    std::uint32_t baudRate;
};
static_assert(sizeof(PosixLineState) <= sizeof(LineState::storage), "LineState too small");
static_assert(alignof(PosixLineState) <= alignof(LineState), "LineState misaligned");

PosixLineState& posixState(LineState& state) {
    return *reinterpret_cast<PosixLineState*>(state.storage);
}
const PosixLineState& posixState(const LineState& state) {
    return *reinterpret_cast<const PosixLineState*>(state.storage);
}

// What the layer keeps between calls belongs to the calling thread, so that
// probes running at once never see each other's errors, reasons or paths.
//
// The error of the last failed call, kept apart from errno so that output
// between the failure and the report cannot change it.
thread_local int savedError = 0;
thread_local bool namesTruncated = false;
// Why the last open failed, for the user; empty when there is nothing to say
// beyond "no such port".
thread_local std::string openFailure;
// The device path devicePath last handed out.
thread_local std::string answer;

bool fail(int error) {
    savedError = error;
    return false;
}

bool failWithErrno() { return fail(errno); }

// What the layer keeps per open descriptor. A probe holds one port at a
// time and uses it on its own thread, so a few slots per thread are plenty.
struct PortSlot {
    int fd = -1;
    std::uint32_t timeoutMilliseconds = 0;
    // Exclusive use is a mark on the tty, not on a descriptor: only a mark
    // this program made is its own to take away at close.
    bool markedExclusive = false;
};
thread_local PortSlot portSlots[8];

PortSlot* findSlot(int fd) {
    for (PortSlot& slot : portSlots) {
        if (slot.fd == fd) {
            return &slot;
        }
    }
    return nullptr;
}

// Fails an open of path with error, and words the reason for the user. A
// device that is not there needs no words: "Invalid COM port" says it.
PortHandle failOpen(const std::string& path, int error) {
    fail(error);
    if (error == ENOENT || error == ENODEV || error == ENXIO) {
        return kNoPort;
    }
    if (error == EACCES || error == EPERM) {
        openFailure = path + ": permission denied";
        // Joining the group helps only where the group may read and write.
        // getgrgid_r, since probes at once may each look a group up.
        struct stat status {};
        group entry {};
        char text[4096];
        group* owner = nullptr;
        if (stat(path.c_str(), &status) == 0) {
            getgrgid_r(status.st_gid, &entry, text, sizeof text, &owner);
        }
        if (owner != nullptr && status.st_gid != 0 && (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            openFailure += std::string(" (the port belongs to group ") + owner->gr_name +
                           "; add yourself to it and log in again)";
        }
    } else if (error == EBUSY || error == EWOULDBLOCK) {
        openFailure = path + ": in use by another program";
    } else {
        openFailure = path + ": " + std::strerror(error);
    }
    return kNoPort;
}

bool speedCode(std::uint32_t baudRate, speed_t& code) {
    static const struct {
        std::uint32_t rate;
        speed_t code;
    } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                   {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                   {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& speed : kSpeeds) {
        if (speed.rate == baudRate) {
            code = speed.code;
            return true;
        }
    }
    return false;
}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

long long millisecondsUntil(const timespec& deadline) {
    const timespec now = monotonicNow();
    const long long seconds = static_cast<long long>(deadline.tv_sec) - now.tv_sec;
    const long long nanoseconds = static_cast<long long>(deadline.tv_nsec) - now.tv_nsec;
    // Round up so that poll never wakes just before the deadline and spins.
    return (seconds * 1000000000LL + nanoseconds + 999999LL) / 1000000LL;
}

timespec deadlineAfter(long long milliseconds) {
    timespec deadline = monotonicNow();
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>((milliseconds % 1000) * 1000000LL);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

// Waits for events on fd until the deadline. 1 when ready (revents set),
// 0 at the deadline, -1 on error.
int waitFor(int fd, short events, const timespec& deadline, short& revents) {
    for (;;) {
        const long long left = millisecondsUntil(deadline);
        if (left <= 0) {
            return 0;
        }
        pollfd request{fd, events, 0};
        const int result = poll(&request, 1, static_cast<int>(std::min(left, 1000000LL)));
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (result > 0) {
            revents = request.revents;
            return 1;
        }
    }
}

}  // namespace

PortHandle openComPort(std::int32_t comNumber) {
    openFailure.clear();
    int error = 0;
    posix::SerialDevice device;
    if (!posix::numberedDevice(comNumber, device, error)) {
        fail(error);
        return kNoPort;
    }
    const std::string path = posix::devicePath(device.name);
    // Non-blocking, so that the open never waits for carrier detect.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return failOpen(path, errno);
    }
    // A tty with another line discipline (Bluetooth HCI, PPP, SLIP, GSM
    // multiplexing) is a kernel driver's link and takes no lock: a probe
    // would break that link, so it is passed over before anything is set.
    int discipline = N_TTY;
    if (ioctl(fd, TIOCGETD, &discipline) == 0 && discipline != N_TTY) {
        close(fd);
        fail(EBUSY);
        openFailure = path + ": in use by the kernel (line discipline " + std::to_string(discipline) + ")";
        return kNoPort;
    }
    PortSlot* slot = findSlot(-1);
    if (slot == nullptr) {
        close(fd);
        return failOpen(path, EMFILE);
    }
    // The advisory lock keeps out every program that also takes it, root
    // among them.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockError = errno;
        close(fd);
        return failOpen(path, lockError);
    }
    // TIOCEXCL refuses later opens, but not those of root: read the mark, so
    // that a port another program marked is held even for root. A system
    // that cannot read it (Linux before 3.8 answers ENOTTY or EINVAL,
    // qemu-user ENOSYS) cannot tell a mark of another program's from one
    // this close could take away: it counts as unmarked and gets no mark,
    // the lock above still keeping out every program that takes it.
    int marked = 0;
    bool markedHere = false;
    if (ioctl(fd, TIOCGEXCL, &marked) == 0) {
        if (marked != 0) {
            close(fd);
            return failOpen(path, EBUSY);
        }
        if (ioctl(fd, TIOCEXCL) != 0) {
            const int markError = errno;
            close(fd);
            return failOpen(path, markError);
        }
        markedHere = true;
    }
    *slot = PortSlot{fd, 0, markedHere};
    return fd;
}

const char* openFailureReason() { return openFailure.empty() ? nullptr : openFailure.c_str(); }

bool getLineState(PortHandle port, LineState& state) {
    if (tcgetattr(static_cast<int>(port), &posixState(state).settings) != 0) {
        return failWithErrno();
    }
    return true;
}

void setLineSettings(LineState& state, std::uint32_t baudRate) {
    PosixLineState& line = posixState(state);
    line.baudRate = baudRate;
    termios& settings = line.settings;
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB)) | CS8;
    // A Windows COM handle always moves raw bytes; a tty must be told to.
    // HUPCL is set whatever the last program left: it is what drops DTR at
    // the close between the two opens (as a Windows driver always does), so
    // that the reopen restarts the controller. A port left by `stty -hupcl`
    // would otherwise keep DTR high and the controller would never listen.
    // Hardware flow control is cleared: a USB adapter keeps the termios of
    // the last program between opens, and with CRTSCTS and a CTS line the
    // controller does not drive, the command would never leave.
    settings.c_cflag |= CLOCAL | CREAD | HUPCL;
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
}

bool applyLineState(PortHandle port, const LineState& state) {
    const PosixLineState& line = posixState(state);
    speed_t code = 0;
    if (!speedCode(line.baudRate, code)) {
        return fail(EINVAL);
    }
    termios settings = line.settings;
    if (cfsetispeed(&settings, code) != 0 || cfsetospeed(&settings, code) != 0) {
        return failWithErrno();
    }
    const int fd = static_cast<int>(port);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return failWithErrno();
    }
    // tcsetattr succeeds when any part of the change was taken; a driver
    // that kept its old speed shows it only on reading back.
    termios applied{};
    if (tcgetattr(fd, &applied) != 0) {
        return failWithErrno();
    }
    if (cfgetospeed(&applied) != code) {
        return fail(EINVAL);
    }
    return true;
}

bool setReadTimeout(PortHandle port, std::uint32_t milliseconds) {
    PortSlot* slot = findSlot(static_cast<int>(port));
    if (slot == nullptr) {
        return fail(EBADF);
    }
    slot->timeoutMilliseconds = milliseconds;
    return true;
}

bool discardInput(PortHandle port) {
    if (tcflush(static_cast<int>(port), TCIFLUSH) != 0) {
        return failWithErrno();
    }
    return true;
}

bool writeBytes(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
    const int fd = static_cast<int>(port);
    // A port held back by flow control would otherwise take the write
    // forever; give it as long as a reply may take.
    const PortSlot* slot = findSlot(fd);
    const timespec deadline = deadlineAfter(slot != nullptr ? slot->timeoutMilliseconds : 0);
    std::uint32_t written = 0;
    while (written < length) {
        const ssize_t result = write(fd, data + written, length - written);
        if (result > 0) {
            written += static_cast<std::uint32_t>(result);
            continue;
        }
        if (result < 0 && errno != EAGAIN && errno != EINTR) {
            return failWithErrno();
        }
        short revents = 0;
        const int ready = waitFor(fd, POLLOUT, deadline, revents);
        if (ready < 0) {
            return failWithErrno();
        }
        if (ready == 0) {
            return fail(ETIMEDOUT);
        }
        if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return fail(EIO);
        }
    }
    return true;
}

bool readByte(PortHandle port, std::uint8_t& byte, bool& gotByte) {
    const int fd = static_cast<int>(port);
    gotByte = false;
    const PortSlot* slot = findSlot(fd);
    const timespec deadline = deadlineAfter(slot != nullptr ? slot->timeoutMilliseconds : 0);
    for (;;) {
        short revents = 0;
        const int ready = waitFor(fd, POLLIN, deadline, revents);
        if (ready < 0) {
            return failWithErrno();
        }
        if (ready == 0) {
            return true;
        }
        if ((revents & POLLIN) == 0) {
            return fail((revents & POLLNVAL) != 0 ? EBADF : EIO);
        }
        const ssize_t result = read(fd, &byte, 1);
        if (result == 1) {
            gotByte = true;
            return true;
        }
        // Readable with nothing to read is how an unplugged adapter looks.
        if (result == 0) {
            return fail(EIO);
        }
        if (errno != EAGAIN && errno != EINTR) {
            return failWithErrno();
        }
    }
}

void closeComPort(PortHandle port) {
    const int fd = static_cast<int>(port);
    // close drains the output first, for up to the port's closing wait (30 s
    // by default) on an adapter that has stopped sending; input left unread
    // would greet the next open of a pseudo-terminal.
    tcflush(fd, TCIOFLUSH);
    if (PortSlot* slot = findSlot(fd)) {
        // Leave the port as open to others as it was found.
        if (slot->markedExclusive) {
            ioctl(fd, TIOCNXCL);
        }
        *slot = PortSlot{};
    }
    // Linux releases the descriptor even when close reports EINTR, so a
    // retry could close someone else's.
    close(fd);
}

long lastErrorCode() { return savedError; }

void sleepMilliseconds(std::uint32_t milliseconds) {
    const timespec deadline = deadlineAfter(milliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

std::uint64_t monotonicMilliseconds() {
    const timespec now = monotonicNow();
    return static_cast<std::uint64_t>(now.tv_sec) * 1000U + static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
}

std::uint32_t queryDeviceNames(char* buffer, std::uint32_t size) {
    namesTruncated = false;
    int error = 0;
    if (!posix::takeNumbering(error)) {
        fail(error);
        return 0;
    }
    std::string names;
    const std::size_t count = posix::numberedCount();
    for (std::size_t index = 0; index < count; ++index) {
        names += "COM" + std::to_string(index + 1);
        names += '\0';
    }
    names += '\0';
    if (names.size() > size) {
        namesTruncated = true;
        fail(ERANGE);
        return 0;
    }
    std::memcpy(buffer, names.data(), names.size());
    return static_cast<std::uint32_t>(names.size());
}

bool deviceNamesTruncated() { return namesTruncated; }

const char* devicePath(std::int32_t comNumber) {
    int error = 0;
    posix::SerialDevice device;
    if (!posix::numberedDevice(comNumber, device, error)) {
        return nullptr;
    }
    answer = posix::devicePath(device.name);
    return answer.c_str();
}

}  // namespace platform
