// Linked into the test build of the program and into the emulator's tests,
// and preloaded into Wine (whose serial code runs in the program's process
// and calls the same functions): keeps the data bits and parity of the emulator's ptys as a serial
// driver would (see framing_state.h). Every other terminal, and every call
// without $QUILLFERN_FRAMING_DIR, passes straight through.
#include <dlfcn.h>

#include <cerrno>

#include "framing_state.h"

namespace {

using GetAttr = int (*)(int, termios*);
using SetAttr = int (*)(int, int, const termios*);

}  // namespace

extern "C" int tcgetattr(int fd, termios* settings) {
    // No guarded static: the shim must not need the C++ runtime.
    static GetAttr real = nullptr;
    if (real == nullptr) real = reinterpret_cast<GetAttr>(dlsym(RTLD_NEXT, "tcgetattr"));
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
    static SetAttr real = nullptr;
    if (real == nullptr) real = reinterpret_cast<SetAttr>(dlsym(RTLD_NEXT, "tcsetattr"));
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
