// The contract's threads, for every real platform: the standard library's,
// which mingw-w64's POSIX-threads runtime provides on Windows (linked
// statically, so the program still imports only system DLLs).
#include <exception>
#include <thread>

#include "platform/platform.h"

namespace platform {

bool startThread(std::thread& thread, void (*body)(void*), void* context) {
    // std::thread reports a system without a thread or the memory for one
    // by throwing; the core takes failures as results, and probes on
    // without the thread.
    try {
        thread = std::thread(body, context);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void joinThread(std::thread& thread) { thread.join(); }

}  // namespace platform
