// Running the controller emulator and other programs from the tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

// What a program did, as runProgram saw it.
struct RunResult {
    // The exit code when the program exited by itself; -1 when a signal ended
    // it (termSignal tells which) or it could not be started.
    int exitStatus = -1;
    std::string stdoutText;
    std::string stderrText;
    // The program outlived its time and was killed (with its process group).
    bool timedOut = false;
    int termSignal = 0;
    // Why the program could not be started; empty when it was.
    std::string startError;
};

// Runs argv[0] (searched in PATH when it has no slash) with argv, stdin from
// /dev/null and no other inherited descriptors, and collects stdout and
// stderr apart. After timeoutSeconds the program and its process group are
// killed with SIGKILL.
RunResult runProgram(const std::vector<std::string>& argv, int timeoutSeconds);

// One quillfern-emulator process serving a pseudo-terminal at a link.
class EmulatorProcess {
public:
    EmulatorProcess() = default;
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Starts the emulator with --link=link and options (each "--name=value").
    // Without a --log option the log goes to link + ".log". Whatever was at
    // link and at the log path before is removed first. Returns once the
    // link is there (the emulator is then serving), false when the emulator
    // could not be started, exited, or gave no link within 10 s.
    bool start(const std::string& link, const std::vector<std::string>& options);

    // SIGTERM, up to 5 s for the emulator to exit, then SIGKILL. A link left
    // behind by a killed emulator is removed. Returns the emulator's exit
    // code, -1 when it had to be killed or was not running. Safe to call
    // more than once.
    int stop();

    // Waits up to timeoutMs for the emulator to exit by itself (after a
    // hang-up mode) and reaps it. exitStatus gets the exit code, or -1 for a
    // death by signal.
    bool waitForExit(int timeoutMs, int* exitStatus = nullptr);

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    const std::string& linkPath() const { return link_; }
    const std::string& logPath() const { return logPath_; }

    // The log so far, one entry per line ("open 1", "rx 30", "tx 14", ...).
    std::vector<std::string> logLines() const;
    // How many log lines are exactly line.
    std::size_t countLogLines(const std::string& line) const;
    // Waits up to timeoutMs until at least count log lines are exactly line.
    bool waitForLogLine(const std::string& line, std::size_t count, int timeoutMs) const;

    // The emulator this library was built with.
    static std::string emulatorPath();

private:
    pid_t pid_ = -1;
    std::string link_;
    std::string logPath_;
};

}  // namespace testsupport
