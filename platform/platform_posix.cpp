// The platform contract over POSIX termios, for Linux.
//
// COM numbers are given to the serial devices present, in a fixed order:
// /dev/ttyS* that have a UART behind them, then /dev/ttyUSB*, /dev/ttyACM*
// and /dev/ttyAMA*, each family by ascending number. COM1 is the first of
// them. At most 255 devices are numbered, so every COM number fits the
// 8-bit exit status of a POSIX process.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// The test build compiles in a folder of its own to stand for the root of
// the file system, so that it sees emulated devices instead of the real ones.
#ifndef QUILLFIND_DEVICE_ROOT
#define QUILLFIND_DEVICE_ROOT ""
#endif

namespace platform {
namespace {

constexpr std::size_t kMostDevices = 255;

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

// The error of the last failed call, kept apart from errno so that output
// between the failure and the report cannot change it.
int savedError = 0;
bool namesTruncated = false;

bool fail(int error) {
    savedError = error;
    return false;
}

bool failWithErrno() { return fail(errno); }

// Read timeouts by open descriptor; the core holds one port at a time, so a
// few slots are plenty.
struct TimeoutSlot {
    int fd = -1;
    int milliseconds = 0;
};
TimeoutSlot timeoutSlots[8];

TimeoutSlot* findSlot(int fd) {
    for (TimeoutSlot& slot : timeoutSlots) {
        if (slot.fd == fd) {
            return &slot;
        }
    }
    return nullptr;
}

std::string devicePath(const std::string& name) {
    return std::string(QUILLFIND_DEVICE_ROOT) + "/dev/" + name;
}

// ttyS nodes exist for every possible 8250 port; only those whose type is
// not 0 (PORT_UNKNOWN) have a UART behind them.
bool hasUart(const std::string& name) {
    const std::string typePath = std::string(QUILLFIND_DEVICE_ROOT) + "/sys/class/tty/" + name + "/type";
    FILE* file = std::fopen(typePath.c_str(), "re");
    if (file == nullptr) {
        return false;
    }
    char text[32] = {};
    const bool read = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    return read && std::strtol(text, nullptr, 10) != 0;
}

struct SerialDevice {
    int family;
    unsigned long number;
    std::string name;
};

// The serial devices in COM order. False when the device folder cannot be
// read.
bool listSerialDevices(std::vector<SerialDevice>& devices) {
    static const char* const kFamilies[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"};
    devices.clear();
    const std::string folder = std::string(QUILLFIND_DEVICE_ROOT) + "/dev";
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) {
        return failWithErrno();
    }
    while (const dirent* entry = readdir(directory)) {
        const char* name = entry->d_name;
        for (int family = 0; family < 4; ++family) {
            const std::size_t prefixLength = std::strlen(kFamilies[family]);
            const char* digits = name + prefixLength;
            if (std::strncmp(name, kFamilies[family], prefixLength) != 0 || *digits == '\0' ||
                std::strspn(digits, "0123456789") != std::strlen(digits) || std::strlen(digits) > 9) {
                continue;
            }
            if (family == 0 && !hasUart(name)) {
                continue;
            }
            devices.push_back({family, std::strtoul(digits, nullptr, 10), name});
        }
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

// The numbering of the last device listing. A search lists the devices and
// then probes them one by one; a device unplugged meanwhile must not shift
// the numbers of those after it, so opens follow the listing while there is
// one.
std::optional<std::vector<SerialDevice>> numbering;

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
    std::vector<SerialDevice> listed;
    if (!numbering && !listSerialDevices(listed)) {
        return kNoPort;
    }
    const std::vector<SerialDevice>& devices = numbering ? *numbering : listed;
    if (comNumber < 1 || static_cast<std::size_t>(comNumber) > devices.size()) {
        fail(ENOENT);
        return kNoPort;
    }
    const std::string path = devicePath(devices[static_cast<std::size_t>(comNumber - 1)].name);
    // Non-blocking, so that the open never waits for carrier detect.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failWithErrno();
        return kNoPort;
    }
    // TIOCEXCL alone does not stop root from opening the port a second time;
    // the advisory lock does, for every program that also takes it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL)) {
        failWithErrno();
        close(fd);
        return kNoPort;
    }
    return fd;
}

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
    // Hardware flow control stays as the driver has it.
    settings.c_cflag |= CLOCAL | CREAD | HUPCL;
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

bool setReadTimeout(PortHandle port, std::int32_t timeoutSeconds) {
    const int fd = static_cast<int>(port);
    TimeoutSlot* slot = findSlot(fd);
    if (slot == nullptr) {
        slot = findSlot(-1);
    }
    if (slot == nullptr || timeoutSeconds < 0) {
        return fail(slot == nullptr ? ENOMEM : EINVAL);
    }
    slot->fd = fd;
    slot->milliseconds = timeoutSeconds * 1000;
    return true;
}

bool writeBytes(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
    const int fd = static_cast<int>(port);
    // A port held back by flow control would otherwise take the write
    // forever; give it as long as a reply may take.
    const TimeoutSlot* slot = findSlot(fd);
    const timespec deadline = deadlineAfter(slot != nullptr ? slot->milliseconds : 0);
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
    const TimeoutSlot* slot = findSlot(fd);
    const timespec deadline = deadlineAfter(slot != nullptr ? slot->milliseconds : 0);
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
    if (TimeoutSlot* slot = findSlot(fd)) {
        *slot = TimeoutSlot{};
    }
    // Exclusive use is a property of the tty, not of this descriptor; leave
    // the port as open to others as it was found.
    ioctl(fd, TIOCNXCL);
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

std::uint32_t queryDeviceNames(char* buffer, std::uint32_t size) {
    namesTruncated = false;
    std::vector<SerialDevice> devices;
    if (!listSerialDevices(devices)) {
        return 0;
    }
    numbering = devices;
    std::string names;
    for (std::size_t index = 0; index < devices.size(); ++index) {
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

}  // namespace platform
