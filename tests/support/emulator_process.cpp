#include "emulator_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <thread>

#ifndef QUILLFERN_EMULATOR_PATH
#error "QUILLFERN_EMULATOR_PATH must name the emulator executable"
#endif

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void closeRange(unsigned first, unsigned last) {
    if (first > last) return;
    if (close_range(first, last, 0) == 0) return;
    // Kernels before 5.9 lack close_range.
    const long max = sysconf(_SC_OPEN_MAX);
    const unsigned bound = max > 0 ? static_cast<unsigned>(std::min(max, 1L << 20)) : 1024U;
    for (unsigned fd = first; fd <= last && fd < bound; ++fd) ::close(static_cast<int>(fd));
}

void closeAbove2Except(int keep) {
    const auto kept = static_cast<unsigned>(keep);
    closeRange(3, kept - 1);
    closeRange(kept + 1, ~0U);
}

// Everything between fork() and exec() must be async-signal-safe: the test
// process may have threads (gtest, the compiler's runtime) holding locks.
[[noreturn]] void execChild(const std::vector<char*>& args, int stdoutFd, int stderrFd, int errorPipe,
                            bool ownGroup, int parentDeathSignal, pid_t parent) {
    if (ownGroup) setpgid(0, 0);
    if (parentDeathSignal != 0) {
        // Sent when the thread that forked ends: tests spawn from the main thread.
        prctl(PR_SET_PDEATHSIG, parentDeathSignal);
        // The parent may have gone between fork() and prctl().
        if (getppid() != parent) _exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Ignored signals stay ignored across exec; a child must be stoppable.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);

    const int devNull = ::open("/dev/null", O_RDWR);
    if (devNull < 0) {
        const int e = errno;
        (void)!::write(errorPipe, &e, sizeof e);
        _exit(127);
    }
    dup2(devNull, STDIN_FILENO);
    dup2(stdoutFd >= 0 ? stdoutFd : devNull, STDOUT_FILENO);
    dup2(stderrFd >= 0 ? stderrFd : devNull, STDERR_FILENO);
    // The error pipe is close-on-exec; every other descriptor above 2 goes
    // now, so that the child holds no pipe ends or ports of the test. The
    // pipe was made while 0, 1 and 2 were open, so it is above them.
    closeAbove2Except(errorPipe);
    execvp(args[0], args.data());
    const int e = errno;
    (void)!::write(errorPipe, &e, sizeof e);
    _exit(127);
}

struct Spawned {
    pid_t pid = -1;
    std::string error;
};

// Starts argv with stdout/stderr on the given descriptors (-1: /dev/null).
Spawned spawn(const std::vector<std::string>& argv, int stdoutFd, int stderrFd, bool ownGroup,
              int parentDeathSignal) {
    Spawned result;
    if (argv.empty()) {
        result.error = "no program given";
        return result;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0) {
        result.error = std::string("pipe2: ") + std::strerror(errno);
        return result;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        result.error = std::string("fork: ") + std::strerror(errno);
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        return result;
    }
    if (pid == 0) {
        ::close(errorPipe[0]);
        execChild(args, stdoutFd, stderrFd, errorPipe[1], ownGroup, parentDeathSignal, parent);
    }
    ::close(errorPipe[1]);
    // EOF on the error pipe means exec succeeded (the write end was
    // close-on-exec); an errno arriving means it failed.
    int childErrno = 0;
    ssize_t n;
    do {
        n = ::read(errorPipe[0], &childErrno, sizeof childErrno);
    } while (n < 0 && errno == EINTR);
    ::close(errorPipe[0]);
    if (n > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.error = "cannot execute " + argv[0] + ": " + std::strerror(childErrno);
        return result;
    }
    result.pid = pid;
    return result;
}

// waitpid without blocking; true once the child is reaped.
bool reapNoHang(pid_t pid, int& status) {
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            status = 0;
            return true;  // Not our child any more: nothing left to wait for.
        }
        return false;
    }
}

bool reapWithin(pid_t pid, int& status, std::chrono::milliseconds bound) {
    const Clock::time_point end = Clock::now() + bound;
    for (;;) {
        if (reapNoHang(pid, status)) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void reapBlocking(pid_t pid, int& status) {
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return;
    }
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

bool isSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, int timeoutSeconds) {
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        result.startError = std::string("pipe2: ") + std::strerror(errno);
        return result;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        result.startError = std::string("pipe2: ") + std::strerror(errno);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    const Spawned child = spawn(argv, outPipe[1], errPipe[1], true, SIGKILL);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    int fds[2] = {outPipe[0], errPipe[0]};
    if (child.pid < 0) {
        result.startError = child.error;
        closeFd(fds[0]);
        closeFd(fds[1]);
        return result;
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(std::max(timeoutSeconds, 0));
    std::string* sinks[2] = {&result.stdoutText, &result.stderrText};
    int status = 0;
    bool reaped = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd pfds[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        const int ready = poll(pfds, 2, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || pfds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i], buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                closeFd(fds[i]);
            }
        }
    }
    if (!result.timedOut) {
        // Both pipes are closed; the program has exited or is about to,
        // unless it closed them itself and went on running.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        reaped = reapWithin(child.pid, status, std::max(left, std::chrono::milliseconds(0)));
        if (!reaped) result.timedOut = true;
    }
    if (result.timedOut) {
        kill(-child.pid, SIGKILL);
        kill(child.pid, SIGKILL);
        reapBlocking(child.pid, status);
        reaped = true;
    }
    closeFd(fds[0]);
    closeFd(fds[1]);
    if (reaped) {
        result.exitStatus = exitCodeOf(status);
        result.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

std::string EmulatorProcess::emulatorPath() { return QUILLFERN_EMULATOR_PATH; }

EmulatorProcess::~EmulatorProcess() { stop(); }

bool EmulatorProcess::start(const std::string& link, const std::vector<std::string>& options) {
    if (pid_ > 0) return false;
    link_ = link;
    logPath_.clear();
    std::vector<std::string> argv{emulatorPath(), "--link=" + link};
    for (const std::string& option : options) {
        if (option.rfind("--log=", 0) == 0) logPath_ = option.substr(6);
        argv.push_back(option);
    }
    if (logPath_.empty()) {
        logPath_ = link + ".log";
        argv.push_back("--log=" + logPath_);
    }
    // A link from an earlier run would look ready before the emulator is.
    ::unlink(link.c_str());
    ::unlink(logPath_.c_str());

    // The emulator's stderr stays the test's, so that its complaints show up
    // in the test output.
    const Spawned child = spawn(argv, STDOUT_FILENO, STDERR_FILENO, false, SIGTERM);
    if (child.pid < 0) return false;
    pid_ = child.pid;

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (isSymlink(link)) return true;
        int status = 0;
        if (reapNoHang(pid_, status)) {
            pid_ = -1;
            return false;
        }
        if (Clock::now() >= deadline) {
            stop();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int EmulatorProcess::stop() {
    if (pid_ <= 0) return -1;
    int status = 0;
    kill(pid_, SIGTERM);
    if (!reapWithin(pid_, status, std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        reapBlocking(pid_, status);
    }
    pid_ = -1;
    const int code = exitCodeOf(status);
    if (code != 0 && isSymlink(link_)) ::unlink(link_.c_str());
    return code;
}

bool EmulatorProcess::waitForExit(int timeoutMs, int* exitStatus) {
    if (pid_ <= 0) return false;
    int status = 0;
    if (!reapWithin(pid_, status, std::chrono::milliseconds(std::max(timeoutMs, 0)))) return false;
    pid_ = -1;
    if (exitStatus != nullptr) *exitStatus = exitCodeOf(status);
    return true;
}

std::vector<std::string> EmulatorProcess::logLines() const {
    std::vector<std::string> lines;
    if (logPath_.empty()) return lines;
    std::ifstream in(logPath_);
    std::string line;
    // A line is written in one go with its newline; a last line without one
    // is still being written and is left for the next look.
    while (std::getline(in, line)) {
        if (in.eof()) break;
        lines.push_back(line);
    }
    return lines;
}

std::size_t EmulatorProcess::countLogLines(const std::string& line) const {
    const std::vector<std::string> lines = logLines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

bool EmulatorProcess::waitForLogLine(const std::string& line, std::size_t count, int timeoutMs) const {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (countLogLines(line) >= count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace testsupport
