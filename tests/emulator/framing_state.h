// The data bits and parity of a pseudo-terminal the emulator serves, kept
// in a file of their own.
//
// Linux's pty driver forces CS8 and clears PARENB on every tcsetattr, and
// tcsetattr still succeeds, so a pty's termios cannot tell a program that
// asked for 7E1 from one that asked for 8N1; a serial driver keeps what was
// asked. The emulator writes the port's starting CSIZE and PARENB to
// $QUILLFERN_FRAMING_DIR/<major>.<minor> of the pty, framing_shim.cpp
// (in the program under test) rewrites it at each tcsetattr and shows it
// back at each tcgetattr, and the emulator judges the line by it. Only plain
// system calls here: the shim runs inside every program Wine's run starts.
//
// A file <major>.<minor>.keeps-speed beside it makes the shim model a
// driver that takes tcsetattr but keeps its speed, as some USB serial
// drivers do with a speed their chip cannot make.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace framing {

constexpr tcflag_t kKept = CSIZE | PARENB;
constexpr const char* kDirVariable = "QUILLFERN_FRAMING_DIR";
// Set (to anything) where the shim plays a Windows driver: see its read().
constexpr const char* kWindowsDriverVariable = "QUILLFERN_WINDOWS_DRIVER";
// Set (to anything) where the shim plays a system that cannot read the
// exclusive mark: see its ioctl().
constexpr const char* kNoExclusiveQueryVariable = "QUILLFERN_NO_TIOCGEXCL";

// The file for the terminal whose status is st; false when none can be named.
inline bool pathOfDevice(const struct stat& st, char* path, std::size_t size) {
    const char* dir = std::getenv(kDirVariable);
    if (dir == nullptr || *dir == '\0' || !S_ISCHR(st.st_mode)) return false;
    const int n = std::snprintf(path, size, "%s/%u.%u", dir, major(st.st_rdev), minor(st.st_rdev));
    return n > 0 && static_cast<std::size_t>(n) < size;
}

// The file for the terminal open at fd; false when none can be named.
inline bool pathOf(int fd, char* path, std::size_t size) {
    struct stat st {};
    return fstat(fd, &st) == 0 && pathOfDevice(st, path, size);
}

// A Windows serial driver keeps the DTR and RTS modes of the last
// SetCommState across close and reopen, and Wine drives them with
// TIOCMGET/TIOCMSET, which a pty refuses. For a port the emulator serves as
// such a driver, <major>.<minor>.lines holds the stored modem-line bits
// (TIOCM_DTR, TIOCM_RTS): the shim answers those calls from it and rewrites
// it, and the emulator raises DTR at an open only when the stored bits say
// so. <major>.<minor>.refuse holds an errno with which the shim fails every
// open of the port, and <major>.<minor>.keeps-speed, when it exists, makes
// the shim keep the port's speed at tcsetattr.
inline bool sidePath(const char* path, const char* suffix, char* out, std::size_t size) {
    const int n = std::snprintf(out, size, "%s.%s", path, suffix);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

// A number kept in a file of its own; false when the file is missing.
inline bool readNumber(const char* path, long& value) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return false;
    value = std::strtol(text, nullptr, 10);
    return true;
}

// Through a new file and rename(), so that a reader never sees half of it.
inline bool writeNumber(const char* path, long value) {
    char temporary[4200];
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%ld\n", value);
    const int n = std::snprintf(temporary, sizeof temporary, "%s.%ld", path, static_cast<long>(getpid()));
    if (length <= 0 || n <= 0 || static_cast<std::size_t>(n) >= sizeof temporary) return false;
    const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    if (written && ::rename(temporary, path) == 0) return true;
    ::unlink(temporary);
    return false;
}

// False when the file is missing: the terminal is not one the emulator serves.
inline bool read(const char* path, tcflag_t& kept) {
    long value = 0;
    if (!readNumber(path, value)) return false;
    kept = static_cast<tcflag_t>(value) & kKept;
    return true;
}

inline bool keepsSpeed(const char* path) {
    char marker[4200];
    return sidePath(path, "keeps-speed", marker, sizeof marker) && ::access(marker, F_OK) == 0;
}

// Makes (or, with on false, removes) the keeps-speed file of path.
inline bool markKeepsSpeed(const char* path, bool on) {
    char marker[4200];
    if (!sidePath(path, "keeps-speed", marker, sizeof marker)) return false;
    if (!on) return ::unlink(marker) == 0 || errno == ENOENT;
    const int fd = ::open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

inline bool write(const char* path, tcflag_t cflag) {
    return writeNumber(path, static_cast<long>(cflag & kKept));
}



}  // namespace framing
