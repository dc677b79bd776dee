// Linked into the test build of the program and into the emulator's tests,
// and preloaded into Wine (whose serial code runs in the program's process
// and calls the same functions): keeps the data bits and parity of the emulator's ptys as a serial
// driver would, answers the modem-line requests of those it serves as a
// Windows driver, refuses the opens it is told to (see framing_state.h),
// fails TIOCGEXCL where told to, and
// under Wine fails the read of a port that went away as a Windows driver
// would (see read() below). Every other terminal, and every call without
// $QUILLFERN_FRAMING_DIR (for read(), without $QUILLFERN_WINDOWS_DRIVER),
// passes straight through.
#include <dlfcn.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "framing_state.h"

namespace {

using GetAttr = int (*)(int, termios*);
using SetAttr = int (*)(int, int, const termios*);
using Control = int (*)(int, unsigned long, void*);
using Open = int (*)(const char*, int, mode_t);
using Read = ssize_t (*)(int, void*, size_t);

// Answers a modem-line request on a port the emulator serves as a Windows
// driver; false for every other request and terminal.
bool answerModemLines(int fd, unsigned long request, void* argument, int& result) {
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC) return false;
    char path[4096];
    char lines[4200];
    long stored = 0;
    if (argument == nullptr || !framing::pathOf(fd, path, sizeof path) ||
        !framing::sidePath(path, "lines", lines, sizeof lines) || !framing::readNumber(lines, stored)) {
        return false;
    }
    int& bits = *static_cast<int*>(argument);
    if (request == TIOCMGET) {
        bits = static_cast<int>(stored);
        result = 0;
        return true;
    }
    if (request == TIOCMSET) stored = bits;
    if (request == TIOCMBIS) stored |= bits;
    if (request == TIOCMBIC) stored &= ~static_cast<long>(bits);
    result = framing::writeNumber(lines, stored & (TIOCM_DTR | TIOCM_RTS)) ? 0 : -1;
    return true;
}

// The errno an open of path must fail with, when the emulator refuses it.
int refusal(const char* path) {
    struct stat st {};
    char port[4096];
    char refuse[4200];
    long error = 0;
    if (path == nullptr || ::stat(path, &st) != 0 || !framing::pathOfDevice(st, port, sizeof port) ||
        !framing::sidePath(port, "refuse", refuse, sizeof refuse) || !framing::readNumber(refuse, error)) {
        return 0;
    }
    return static_cast<int>(error);
}

int openUnlessRefused(const char* symbol, const char* path, int flags, mode_t mode) {
    const int saved = errno;
    if (const int error = refusal(path)) {
        errno = error;
        return -1;
    }
    errno = saved;
    return reinterpret_cast<Open>(dlsym(RTLD_NEXT, symbol))(path, flags, mode);
}

// The real function behind symbol (each type is one symbol's); atomics, since threads may race to
// look it up, and no guarded static, since the shim must not need the C++ runtime.
template <typename Function>
Function realFunction(const char* symbol) {
    static Function found = nullptr;
    if (__atomic_load_n(&found, __ATOMIC_RELAXED) == nullptr) {
        __atomic_store_n(&found, reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol)), __ATOMIC_RELAXED);
    }
    return __atomic_load_n(&found, __ATOMIC_RELAXED);
}

// Linux gives the slaves of Unix 98 ptys these majors.
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

}  // namespace

extern "C" int tcgetattr(int fd, termios* settings) {
    const GetAttr real = realFunction<GetAttr>("tcgetattr");
    const int result = real(fd, settings);
    const int saved = errno;
    char path[4096];
    tcflag_t kept = 0;
    if (result == 0 && framing::pathOf(fd, path, sizeof path) && framing::read(path, kept)) {
        settings->c_cflag = (settings->c_cflag & ~framing::kKept) | kept;
    }
    errno = saved;
    return result;
}

extern "C" int tcsetattr(int fd, int when, const termios* settings) {
    const SetAttr real = realFunction<SetAttr>("tcsetattr");
    char path[4096];
    tcflag_t kept = 0;
    const int saved = errno;
    if (!framing::pathOf(fd, path, sizeof path) || !framing::read(path, kept)) {
        errno = saved;
        return real(fd, when, settings);
    }
    // glibc reads the settings back and fails with EINVAL when the pty
    // dropped only PARENB or CSIZE; a serial driver would have taken them,
    // so the pty gets what it keeps anyway.
    termios taken = *settings;
    taken.c_cflag = (taken.c_cflag & ~framing::kKept) | CS8;
    termios current{};
    if (framing::keepsSpeed(path) && tcgetattr(fd, &current) == 0) {
        cfsetispeed(&taken, cfgetispeed(&current));
        cfsetospeed(&taken, cfgetospeed(&current));
    }
    errno = saved;
    const int result = real(fd, when, &taken);
    if (result == 0) {
        framing::write(path, settings->c_cflag);
        errno = saved;
    }
    return result;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    std::va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const Control real = realFunction<Control>("ioctl");
    const int saved = errno;
    int result = 0;
    if (answerModemLines(fd, request, argument, result)) {
        if (result == 0) errno = saved;
        return result;
    }
    // As Linux before 3.8 and qemu-user do: ENOSYS is qemu's answer.
    if (request == TIOCGEXCL && std::getenv(framing::kNoExclusiveQueryVariable) != nullptr) {
        errno = ENOSYS;
        return -1;
    }
    errno = saved;
    return real(fd, request, argument);
}

// Wine opens a COM port's device with open(); a refusal reaches the program
// as the Windows error Wine makes of the errno.
extern "C" int open(const char* path, int flags, ...) {
    std::va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
    va_end(arguments);
    return openUnlessRefused("open", path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
    std::va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
    va_end(arguments);
    return openUnlessRefused("open64", path, flags, mode);
}

// A pty that its master hung up reads 0 bytes, which Wine's serial code
// takes for "no byte yet" and polls again until the read timeout (a Linux
// serial port that is unplugged does the same); a Windows driver fails
// ReadFile on a device that went away. With $QUILLFERN_WINDOWS_DRIVER set,
// as the Wine tests set it, a read of 0 bytes from a pty slave that is hung
// up (poll says POLLHUP; Wine sets VMIN to 0, so a live one with nothing to
// read gives 0 bytes as well) fails with EIO instead, which Wine reports as
// ERROR_NOT_READY.
extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    const Read real = realFunction<Read>("read");
    const ssize_t result = real(fd, buffer, count);
    if (result != 0 || count == 0) return result;
    const int saved = errno;
    struct stat st {};
    const char* windows = std::getenv(framing::kWindowsDriverVariable);
    if (windows != nullptr && *windows != '\0' && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
        major(st.st_rdev) >= kFirstPtySlaveMajor && major(st.st_rdev) <= kLastPtySlaveMajor) {
        pollfd state{fd, POLLIN, 0};
        if (poll(&state, 1, 0) == 1 && (state.revents & POLLHUP) != 0) {
            errno = EIO;
            return -1;
        }
    }
    errno = saved;
    return result;
}
