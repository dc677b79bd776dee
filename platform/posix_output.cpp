// Whether anyone still reads the program's standard output, on POSIX.
#include <poll.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

// A pipe whose reader has closed polls as an error for its writer, a
// terminal that hung up as a hang-up; a file never does either.
bool standardOutputGone() {
    pollfd output{STDOUT_FILENO, 0, 0};
    return poll(&output, 1, 0) == 1 && (output.revents & (POLLERR | POLLHUP)) != 0;
}

}  // namespace platform
