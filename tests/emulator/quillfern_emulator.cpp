// A stand-in for a Quillfern Controller behind a serial port, for the tests.
//
// It serves a pseudo-terminal and publishes the slave side under --link. The
// program under test opens the link like any serial port; the emulator
// answers the probe command 0x30 0x20 the way --reply says, but only when a
// real controller on a real port would have understood it:
// - The line must be at the controller's speed (--baud) and 8N1, as the
//   pty's termios shows them when the command arrives (data bits and parity
//   as framing_state.h keeps them); at any other framing a UART receives
//   garbage.
// - The controller restarts on a rising edge of DTR. Bytes that come in its
//   start-up delay (--startup-ms) are lost; later ones its UART holds, and
//   its bootloader answers from --boot-ms to --listen-until-ms after that.
//   A pty has no DTR, so it is modelled the way a USB serial driver on Linux
//   drives it: raised at every open, dropped at the last close only when
//   HUPCL is set in the port's termios then.
// - The port starts with the settings the previous program left (--left-by);
//   the line discipline of the pty then acts on the bytes as it would on a
//   serial port left so.
// - With --modem-lines=windows the port is driven as a Windows serial driver
//   drives it (for the Wine runs): it keeps the DTR mode of the last
//   SetCommState across close and reopen (the framing shim answers Wine's
//   TIOCMGET/TIOCMSET from a file, framing_state.h), every open raises DTR
//   only when that mode is "enable", and every close drops it. The
//   controller sends only while the port raises RTS (wired to its CTS), so
//   a stored RTS mode of "disable" holds its reply back.
// - The controller never raises CTS: while CRTSCTS is set in the port's
//   termios the port's output is stopped (tcflow TCOOFF on the emulator's
//   own slave descriptor, which blocks the program's writes), as a UART
//   with hardware flow control holds back what it has to send.
// - --hold-output keeps the port's output stopped from the start, as a
//   device that sent XOFF or holds CTS low under hardware flow control
//   would: the program's writes take no byte (tcflow(TCOOFF) on the pty).
// - --driver-keeps-speed models a driver that takes tcsetattr but keeps the
//   speed it had (see framing_state.h); only a read-back shows it.
// The log says why a command went unanswered ("mute framing 7E2 9600",
// "mute late", "lost 30", "held until boot", ...) and how long after the
// restart it came ("since restart 101 ms").
//
// How it watches the port (measured on Linux, see emulator_test.cpp):
// - Opens and closes of the slave are seen as inotify IN_OPEN / IN_CLOSE_*
//   events on the /dev/pts/N node, so they are counted even when the program
//   closes and reopens within microseconds.
// - The emulator keeps one slave descriptor of its own for its whole life,
//   opened before the inotify watch exists so that it never shows up as an
//   event. Without it the master reports POLLHUP without end while no one
//   holds the slave (poll would spin), the slave's input queue could only be
//   flushed by opening the slave again (an open of our own that would have to
//   be told apart from the program's), and after the program's TIOCEXCL a
//   non-root emulator could not open the slave at all.
// - TCFLSH on the master does not reach the slave's input queue, so stale
//   bytes are flushed through that own slave descriptor on the last close.
// - Closing the master hangs the slave up: the program's poll() then reports
//   POLLHUP|POLLERR|POLLIN, read() returns 0 and write() fails with EIO. The
//   hang-up also discards what the program had not read yet.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "framing_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr unsigned char kCommandFirst = 0x30;
constexpr unsigned char kCommandSecond = 0x20;
constexpr unsigned char kFloodByte = 0xAA;
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// Bytes written per pass of the event loop while flooding, so that a fast
// reader cannot keep the loop from noticing a close or a signal.
constexpr std::size_t kFloodBurst = 64 * 1024;

enum class ReplyMode { Ok, Reversed, OneByte, ThreeBytes, Silent, HangupMidReply, Flood };

// What the program that had the port before left behind, at 9600 baud: a
// raw 8N1 port with HUPCL; a terminal (7E2, canonical with echo, CR/NL
// translation, XON/XOFF); or a raw port after `stty -hupcl`, whose last
// close left DTR high.
// Also: a raw port with CRTSCTS (hardware handshake); a raw port with
// XON/XOFF whose device sends XOFF (0x13) at the first open, as one whose
// input was full; a raw port whose stored DTR and RTS modes are "disable",
// as .NET's SerialPort and pyserial with dtr=False leave a Windows driver
// (only with --modem-lines=windows).
enum class LeftBy { Raw, Terminal, NoHupcl, CtsFlow, XonXoff, DtrDisabled };

struct Options {
    std::string link;
    ReplyMode reply = ReplyMode::Ok;
    long delayMs = 0;
    long baud = 57600;
    LeftBy leftBy = LeftBy::Raw;
    // The ATmega's start-up delay with the usual fuses; the boot ends when the reference bootloaders answered on
    // simulated boards (by default). The watchdog starts the application when no command came in time.
    long startupMs = 65;
    long bootMs = -1;
    long listenUntilMs = 1500;
    // A Windows serial driver drops DTR at every close; Wine, which clears
    // HUPCL, would otherwise leave it high after the first program's run.
    bool dtrDropsAtEveryClose = false;
    bool windowsModemLines = false;
    // The output is stopped from the start and never restarted, as by a
    // device whose flow control never lets anything through.
    bool holdOutput = false;
    // A line discipline other than N_TTY, as a kernel driver sets one.
    long lineDiscipline = -1;
    // The errno with which every open of the port fails (0: none).
    int refuseOpen = 0;
    std::vector<unsigned char> noise;
    // The bytes of the "ok" reply; empty: the controller's own 0x14 0x10.
    std::vector<unsigned char> replyBytes;
    bool driverKeepsSpeed = false;
    long hangupOnOpen = 0;  // 0: never
    long hangupDelayMs = 200;
    // How long hangup-mid-reply waits for the program to read the first byte
    // before it hangs up anyway (and the hang-up discards the byte).
    long midReplyWaitMs = 5000;
    std::string logPath;
    long maxSeconds = 600;
};

struct BaudEntry {
    long baud;
    speed_t code;
};

const BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> speedCode(long baud) {
    for (const BaudEntry& entry : kBauds) {
        if (entry.baud == baud) return entry.code;
    }
    return std::nullopt;
}

long baudOf(speed_t code) {
    for (const BaudEntry& entry : kBauds) {
        if (entry.code == code) return entry.baud;
    }
    return -1;
}

std::string hexByte(unsigned char byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(byte));
    return text;
}

void usage(const char* why) {
    std::fprintf(stderr,
                 "quillfern-emulator: %s\n"
                 "usage: quillfern-emulator --link=PATH [--reply=ok|reversed|one-byte|three-bytes|"
                 "silent|hangup-mid-reply|flood] [--delay-ms=N] [--baud=N] [--left-by=raw|terminal|no-hupcl|cts-flow|xon-xoff|dtr-disabled] "
                 "[--startup-ms=N] [--boot-ms=N] [--listen-until-ms=N] [--dtr-drops-at-every-close=yes] [--modem-lines=windows] [--hold-output=yes] [--line-discipline=N] "
                 "[--refuse-open=eacces|eio] [--noise-on-open=HEX] [--reply-bytes=HEX] [--driver-keeps-speed=yes] [--hangup-on-open=N] "
                 "[--hangup-delay-ms=N] [--mid-reply-wait-ms=N] [--log=PATH] [--max-seconds=N]\n",
                 why);
}

bool parseLong(const std::string& text, long low, long high, long& out) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || value < low || value > high) return false;
    out = value;
    return true;
}

bool parseHex(const std::string& text, std::vector<unsigned char>& out) {
    if (text.empty() || text.size() % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
            value = value * 16 + digit;
        }
        out.push_back(static_cast<unsigned char>(value));
    }
    return true;
}

// The mode named value, into out; false when no mode has that name.
template <typename Mode>
bool pick(const std::string& value, std::initializer_list<std::pair<const char*, Mode>> modes, Mode& out) {
    for (const auto& [modeName, mode] : modes) {
        if (value == modeName) {
            out = mode;
            return true;
        }
    }
    return false;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") != 0 || eq == std::string::npos) {
            usage(("not an option of the form --name=value: " + arg).c_str());
            return false;
        }
        const std::string name = arg.substr(2, eq - 2);
        const std::string value = arg.substr(eq + 1);
        bool ok = true;
        if (name == "link") {
            ok = !value.empty();
            options.link = value;
        } else if (name == "reply") {
            ok = pick(value,
                      {{"ok", ReplyMode::Ok}, {"reversed", ReplyMode::Reversed}, {"one-byte", ReplyMode::OneByte},
                       {"three-bytes", ReplyMode::ThreeBytes}, {"silent", ReplyMode::Silent},
                       {"hangup-mid-reply", ReplyMode::HangupMidReply}, {"flood", ReplyMode::Flood}},
                      options.reply);
        } else if (name == "delay-ms") {
            ok = parseLong(value, 0, 3600000, options.delayMs);
        } else if (name == "baud") {
            ok = parseLong(value, 1, 4000000, options.baud) && speedCode(options.baud).has_value();
        } else if (name == "left-by") {
            ok = pick(value,
                      {{"raw", LeftBy::Raw}, {"terminal", LeftBy::Terminal}, {"no-hupcl", LeftBy::NoHupcl},
                       {"cts-flow", LeftBy::CtsFlow}, {"xon-xoff", LeftBy::XonXoff},
                       {"dtr-disabled", LeftBy::DtrDisabled}},
                      options.leftBy);
        } else if (name == "startup-ms" || name == "boot-ms") {
            ok = parseLong(value, 0, 3600000, name == "boot-ms" ? options.bootMs : options.startupMs);
        } else if (name == "listen-until-ms") {
            ok = parseLong(value, 0, 3600000, options.listenUntilMs);
        } else if (name == "dtr-drops-at-every-close") {
            ok = value == "yes";
            options.dtrDropsAtEveryClose = ok;
        } else if (name == "modem-lines") {
            ok = value == "windows";
            options.windowsModemLines = ok;
        } else if (name == "hold-output") {
            ok = value == "yes";
            options.holdOutput = ok;
        } else if (name == "line-discipline") {
            ok = parseLong(value, 1, 255, options.lineDiscipline);
        } else if (name == "refuse-open") {
            ok = pick(value, {{"eacces", EACCES}, {"eio", EIO}}, options.refuseOpen);
        } else if (name == "noise-on-open") {
            ok = parseHex(value, options.noise);
        } else if (name == "reply-bytes") {
            ok = parseHex(value, options.replyBytes);
        } else if (name == "driver-keeps-speed") {
            ok = value == "yes";
            options.driverKeepsSpeed = ok;
        } else if (name == "hangup-on-open") {
            ok = parseLong(value, 1, LONG_MAX, options.hangupOnOpen);
        } else if (name == "hangup-delay-ms") {
            ok = parseLong(value, 0, 3600000, options.hangupDelayMs);
        } else if (name == "mid-reply-wait-ms") {
            ok = parseLong(value, 0, 3600000, options.midReplyWaitMs);
        } else if (name == "log") {
            ok = !value.empty();
            options.logPath = value;
        } else if (name == "max-seconds") {
            ok = parseLong(value, 1, 86400, options.maxSeconds);
        } else {
            usage(("unknown option --" + name).c_str());
            return false;
        }
        if (!ok) {
            usage(("bad value for --" + name + ": " + value).c_str());
            return false;
        }
    }
    if (options.link.empty()) {
        usage("--link=PATH is required");
        return false;
    }
    if (options.leftBy == LeftBy::DtrDisabled && !options.windowsModemLines) {
        usage("--left-by=dtr-disabled needs --modem-lines=windows: a tty keeps no DTR mode");
        return false;
    }
    if (options.bootMs < 0) options.bootMs = std::max(options.startupMs, options.baud == 115200 ? 442L : 265L);
    if (options.bootMs < options.startupMs || options.listenUntilMs < options.bootMs) {
        usage("--startup-ms, --boot-ms and --listen-until-ms are out of order");
        return false;
    }
    return true;
}

// "8N1 57600" and the like: what a UART at the other end must match.
std::string framingOf(const termios& settings) {
    int bits = 8;
    switch (settings.c_cflag & CSIZE) {
    case CS5: bits = 5; break;
    case CS6: bits = 6; break;
    case CS7: bits = 7; break;
    default: break;
    }
    char parity = 'N';
    if (settings.c_cflag & PARENB) {
        const bool odd = (settings.c_cflag & PARODD) != 0;
        parity = (settings.c_cflag & CMSPAR) ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
    }
    const int stops = (settings.c_cflag & CSTOPB) ? 2 : 1;
    return std::to_string(bits) + parity + std::to_string(stops) + " " + std::to_string(baudOf(cfgetospeed(&settings)));
}

// The settings the previous program left, on the pty's defaults.
void leaveAsLeftBy(LeftBy leftBy, termios& settings) {
    if (leftBy == LeftBy::Terminal) {
        settings.c_iflag = ICRNL | IXON | IXOFF;
        settings.c_oflag = OPOST | ONLCR;
        settings.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
        settings.c_cflag = CS7 | PARENB | CSTOPB | CREAD | HUPCL;
    } else {
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD | HUPCL;
        if (leftBy == LeftBy::NoHupcl) settings.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
        if (leftBy == LeftBy::CtsFlow) settings.c_cflag |= CRTSCTS;
        if (leftBy == LeftBy::XonXoff) settings.c_iflag |= IXON | IXOFF;
    }
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
}

class Log {
public:
    bool open(const std::string& path) {
        if (path.empty()) return true;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }
    ~Log() {
        if (fd_ >= 0) ::close(fd_);
    }
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // One write per line, so that a reader never sees half a line and the
    // line is on disk before the emulator does anything else.
    void line(const std::string& text) const {
        if (fd_ < 0) return;
        const std::string whole = text + "\n";
        std::size_t done = 0;
        while (done < whole.size()) {
            const ssize_t n = ::write(fd_, whole.data() + done, whole.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_ = -1;
};

class Emulator {
public:
    Emulator(const Options& options, const Log& log) : options_(options), log_(log) {}
    ~Emulator() { closeAll(); }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool setUp();
    int run();

private:
    bool publishLink();
    void removeLink();
    void closeAll();

    void drainInotify();
    void onOpen();
    void onClose();
    void onAccess();
    void readMaster();
    void onByte(unsigned char byte);
    void onCommand();
    bool listening();
    void sendReply();
    void queue(const std::vector<unsigned char>& bytes);
    void writePending();
    void hangUp(const char* why);
    bool setWatch(bool withAccess);
    void judgeOutput();
    void raiseDtr();
    bool storedDtr() const;
    void onLinesChanged();

    std::optional<Clock::time_point> nextDeadline() const;
    void runTimers();

    const Options& options_;
    const Log& log_;
    int master_ = -1;
    int ownSlave_ = -1;
    int inotify_ = -1;
    int watch_ = -1;
    int signals_ = -1;
    std::string slavePath_;
    std::string framingPath_;
    std::string framingName_;
    std::string linesPath_;
    std::string refusePath_;
    int dirWatch_ = -1;
    bool outputHeld_ = false;
    bool linkPublished_ = false;

    long holders_ = 0;
    long opens_ = 0;
    bool dtr_ = false;
    std::optional<Clock::time_point> restartAt_;
    bool lastWas30_ = false;
    std::deque<Clock::time_point> pendingReplies_;
    std::vector<unsigned char> tx_;
    bool writeBlocked_ = false;
    bool flooding_ = false;
    unsigned long long floodBytes_ = 0;
    // hangup-mid-reply: the first byte is queued, then sent, then read.
    bool midReplyQueued_ = false;
    bool midReplySent_ = false;
    std::optional<Clock::time_point> midReplyGiveUpAt_;
    std::optional<Clock::time_point> hangupAt_;
    Clock::time_point expireAt_{};
    bool done_ = false;
    int exitCode_ = 0;
};

bool Emulator::setWatch(bool withAccess) {
    std::uint32_t mask = IN_OPEN | IN_CLOSE;
    if (withAccess) mask |= IN_ACCESS;
    // Adding a watch for a watched inode replaces its mask and keeps its id.
    const int wd = inotify_add_watch(inotify_, slavePath_.c_str(), mask);
    if (wd < 0) {
        std::fprintf(stderr, "quillfern-emulator: inotify_add_watch %s: %s\n", slavePath_.c_str(),
                     std::strerror(errno));
        return false;
    }
    watch_ = wd;
    return true;
}

bool Emulator::setUp() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        std::fprintf(stderr, "quillfern-emulator: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0 || fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) {
        std::fprintf(stderr, "quillfern-emulator: fcntl on the master: %s\n", std::strerror(errno));
        return false;
    }
    const char* name = ptsname(master_);
    if (name == nullptr) {
        std::fprintf(stderr, "quillfern-emulator: ptsname: %s\n", std::strerror(errno));
        return false;
    }
    slavePath_ = name;

    // On Linux, termios requests on a pty master act on the slave.
    termios settings{};
    if (tcgetattr(master_, &settings) != 0) {
        std::fprintf(stderr, "quillfern-emulator: tcgetattr: %s\n", std::strerror(errno));
        return false;
    }
    leaveAsLeftBy(options_.leftBy, settings);
    dtr_ = options_.leftBy == LeftBy::NoHupcl;
    if (tcsetattr(master_, TCSANOW, &settings) != 0) {
        std::fprintf(stderr, "quillfern-emulator: tcsetattr: %s\n", std::strerror(errno));
        return false;
    }

    ownSlave_ = ioctl(master_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ownSlave_ < 0) ownSlave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ownSlave_ < 0) {
        std::fprintf(stderr, "quillfern-emulator: cannot open %s: %s\n", slavePath_.c_str(), std::strerror(errno));
        return false;
    }

    char framingPath[4096];
    if (framing::pathOf(ownSlave_, framingPath, sizeof framingPath)) {
        if (!framing::write(framingPath, settings.c_cflag)) {
            std::fprintf(stderr, "quillfern-emulator: cannot write %s: %s\n", framingPath, std::strerror(errno));
            return false;
        }
        framingPath_ = framingPath;
        framingName_ = framingPath_.substr(framingPath_.rfind('/') + 1);
        if (options_.driverKeepsSpeed && !framing::markKeepsSpeed(framingPath, true)) {
            std::fprintf(stderr, "quillfern-emulator: cannot mark %s: %s\n", framingPath, std::strerror(errno));
            return false;
        }
    }
    if ((options_.windowsModemLines || options_.refuseOpen != 0 || options_.driverKeepsSpeed) && framingPath_.empty()) {
        std::fprintf(stderr, "quillfern-emulator: --modem-lines, --refuse-open and --driver-keeps-speed need $%s\n",
                     framing::kDirVariable);
        return false;
    }
    if (options_.windowsModemLines) {
        linesPath_ = framingPath_ + ".lines";
        const long stored = options_.leftBy == LeftBy::DtrDisabled ? 0 : (TIOCM_DTR | TIOCM_RTS);
        if (!framing::writeNumber(linesPath_.c_str(), stored)) {
            std::fprintf(stderr, "quillfern-emulator: cannot write %s: %s\n", linesPath_.c_str(), std::strerror(errno));
            return false;
        }
    }
    if (options_.refuseOpen != 0) {
        refusePath_ = framingPath_ + ".refuse";
        if (!framing::writeNumber(refusePath_.c_str(), options_.refuseOpen)) {
            std::fprintf(stderr, "quillfern-emulator: cannot write %s: %s\n", refusePath_.c_str(), std::strerror(errno));
            return false;
        }
    }
    if (options_.lineDiscipline >= 0) {
        const int discipline = static_cast<int>(options_.lineDiscipline);
        if (ioctl(ownSlave_, TIOCSETD, &discipline) != 0) {
            std::fprintf(stderr, "quillfern-emulator: TIOCSETD %d: %s\n", discipline, std::strerror(errno));
            return false;
        }
        log_.line("line discipline " + std::to_string(discipline));
    }

    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) {
        std::fprintf(stderr, "quillfern-emulator: inotify_init1: %s\n", std::strerror(errno));
        return false;
    }
    if (!setWatch(false)) return false;
    // The shim replaces the port's files by rename() at each tcsetattr and
    // each change of the modem lines, which is when the settings it judges
    // change.
    if (!framingPath_.empty()) {
        const std::string dir = framingPath_.substr(0, framingPath_.rfind('/'));
        dirWatch_ = inotify_add_watch(inotify_, dir.c_str(), IN_MOVED_TO);
        if (dirWatch_ < 0) {
            std::fprintf(stderr, "quillfern-emulator: inotify_add_watch %s: %s\n", dir.c_str(), std::strerror(errno));
            return false;
        }
    }
    judgeOutput();

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    signals_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals_ < 0) {
        std::fprintf(stderr, "quillfern-emulator: signalfd: %s\n", std::strerror(errno));
        return false;
    }
    signal(SIGPIPE, SIG_IGN);

    expireAt_ = Clock::now() + std::chrono::seconds(options_.maxSeconds);
    if (!publishLink()) return false;
    log_.line("ready " + slavePath_);
    return true;
}

bool Emulator::publishLink() {
    // A temporary name beside the link and rename(), so that whoever waits for
    // the link never sees it half made and an old link is replaced in one go.
    const std::string temporary = options_.link + ".tmp." + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (symlink(slavePath_.c_str(), temporary.c_str()) != 0) {
        std::fprintf(stderr, "quillfern-emulator: symlink %s: %s\n", temporary.c_str(), std::strerror(errno));
        return false;
    }
    if (rename(temporary.c_str(), options_.link.c_str()) != 0) {
        std::fprintf(stderr, "quillfern-emulator: rename to %s: %s\n", options_.link.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    linkPublished_ = true;
    return true;
}

void Emulator::removeLink() {
    if (!linkPublished_) return;
    linkPublished_ = false;
    // Leave a link alone that now belongs to someone else.
    char target[PATH_MAX];
    const ssize_t n = readlink(options_.link.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    if (slavePath_ == target) ::unlink(options_.link.c_str());
}

void Emulator::closeAll() {
    if (!framingPath_.empty()) framing::markKeepsSpeed(framingPath_.c_str(), false);
    for (const std::string* path : {&framingPath_, &linesPath_, &refusePath_}) {
        if (!path->empty()) ::unlink(path->c_str());
    }
    framingPath_.clear();
    for (int* fd : {&master_, &ownSlave_, &inotify_, &signals_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void Emulator::hangUp(const char* why) {
    log_.line(std::string("cause ") + why);
    log_.line("hangup");
    // The master goes first: that is what hangs the program's descriptor up.
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    removeLink();
    done_ = true;
    exitCode_ = 0;
}

void Emulator::drainInotify() {
    alignas(inotify_event) char buffer[4096];
    while (!done_) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        std::size_t offset = 0;
        const auto total = static_cast<std::size_t>(n);
        while (offset + sizeof(inotify_event) <= total && !done_) {
            inotify_event event{};
            std::memcpy(&event, buffer + offset, sizeof event);
            offset += sizeof(inotify_event) + event.len;
            if (event.mask & IN_Q_OVERFLOW) log_.line("inotify overflow");
            if (event.wd == dirWatch_ && dirWatch_ >= 0 && event.len > 0) {
                const std::string name(buffer + offset - event.len);
                if (name == framingName_) judgeOutput();
                if (name == framingName_ + ".lines") onLinesChanged();
                continue;
            }
            if (event.wd != watch_) continue;
            // A single event can carry several bits; handle them in the
            // order in which they can happen.
            if (event.mask & IN_OPEN) onOpen();
            if (event.mask & IN_ACCESS) onAccess();
            if (event.mask & IN_CLOSE) onClose();
        }
    }
}

void Emulator::onOpen() {
    ++holders_;
    ++opens_;
    log_.line("open " + std::to_string(opens_));
    lastWas30_ = false;
    if (options_.windowsModemLines && !storedDtr()) {
        log_.line("dtr mode disable");
    } else if (!dtr_) {
        raiseDtr();
    }
    if (options_.leftBy == LeftBy::XonXoff && opens_ == 1) queue({0x13});
    judgeOutput();
    if (options_.hangupOnOpen == opens_) hangupAt_ = Clock::now() + Millis(options_.hangupDelayMs);
    if (!options_.noise.empty()) queue(options_.noise);
}

void Emulator::onClose() {
    // The master is not read here: its bytes carry no mark of the open they
    // came from, and when events queue up (a fast close and reopen) they
    // mostly belong to the latest open, so they are read once all queued
    // events are handled.
    if (holders_ > 0) --holders_;
    if (holders_ > 0) {
        log_.line("close");
        return;
    }
    // Read when the close is handled, which may be after the program's next
    // open and setup; a program sets the same flags at every open, so they
    // are still those it closed with.
    termios settings{};
    if (options_.dtrDropsAtEveryClose || options_.windowsModemLines ||
        (tcgetattr(master_, &settings) == 0 && (settings.c_cflag & HUPCL) != 0)) {
        dtr_ = false;
        log_.line("dtr low");
    } else {
        log_.line("dtr high");
    }
    if (!pendingReplies_.empty()) log_.line("reply dropped");
    pendingReplies_.clear();
    tx_.clear();
    writeBlocked_ = false;
    if (flooding_) {
        log_.line("flood stop");
        log_.line("flood sent " + std::to_string(floodBytes_));
        flooding_ = false;
    }
    // What was sent but not read is gone, as on a real port. The flush also
    // drops what is still in the flip buffers, not only the line discipline.
    if (tcflush(ownSlave_, TCIFLUSH) != 0) log_.line(std::string("flush failed ") + std::strerror(errno));
    // A real port forgets TIOCEXCL on its last close; the pty slave keeps it
    // while the master lives, which would lock out a later non-root open.
    ioctl(ownSlave_, TIOCNXCL);
    log_.line("close");
    if (midReplyQueued_) hangUp("after close");
}

void Emulator::judgeOutput() {
    termios current{};
    const bool ctsFlow = tcgetattr(master_, &current) == 0 && (current.c_cflag & CRTSCTS) != 0;
    const bool hold = options_.holdOutput || ctsFlow;
    if (hold == outputHeld_) return;
    if (tcflow(ownSlave_, hold ? TCOOFF : TCOON) != 0) {
        log_.line(std::string("tcflow failed ") + std::strerror(errno));
        return;
    }
    outputHeld_ = hold;
    log_.line(!hold ? "output released" : ctsFlow ? "output held for cts" : "output held");
}

// The controller restarts on a rising edge of DTR.
void Emulator::raiseDtr() {
    dtr_ = true;
    restartAt_ = Clock::now();
    log_.line("restart");
}

bool Emulator::storedDtr() const {
    long stored = 0;
    return framing::readNumber(linesPath_.c_str(), stored) && (stored & TIOCM_DTR) != 0;
}

// SetCommState applies the DTR mode it stores at once, while the port is open.
void Emulator::onLinesChanged() {
    if (!options_.windowsModemLines || holders_ == 0) return;
    const bool raised = storedDtr();
    if (raised && !dtr_) {
        raiseDtr();
    } else if (!raised && dtr_) {
        dtr_ = false;
        log_.line("dtr low");
    }
}

void Emulator::onAccess() {
    if (!midReplySent_) return;
    int queued = 0;
    if (ioctl(ownSlave_, FIONREAD, &queued) == 0 && queued == 0) hangUp("mid-reply");
}

void Emulator::readMaster() {
    if (master_ < 0) return;
    unsigned char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            // The emulator's own slave descriptor keeps the master from ever
            // seeing the slave closed; getting here means the slave was hung
            // up from elsewhere, and the port cannot be served any more.
            log_.line(std::string("master read failed ") + (n < 0 ? std::strerror(errno) : "end of file"));
            hangUp("master lost");
            exitCode_ = kExitFailure;
            return;
        }
        for (ssize_t i = 0; i < n && !done_; ++i) onByte(buffer[i]);
        if (done_) return;
    }
}

void Emulator::onByte(unsigned char byte) {
    log_.line("rx " + hexByte(byte));
    const bool lost = restartAt_ && Clock::now() - *restartAt_ < Millis(options_.startupMs);
    if (lost) log_.line("lost " + hexByte(byte));
    const bool command = !lost && lastWas30_ && byte == kCommandSecond;
    lastWas30_ = !lost && byte == kCommandFirst;
    if (command) onCommand();
}

void Emulator::onCommand() {
    log_.line("command");
    if (holders_ == 0) {
        log_.line("mute closed");
        return;
    }
    termios current{};
    if (tcgetattr(master_, &current) != 0) {
        log_.line(std::string("mute tcgetattr ") + std::strerror(errno));
        return;
    }
    tcflag_t kept = 0;
    if (!framingPath_.empty() && framing::read(framingPath_.c_str(), kept)) {
        current.c_cflag = (current.c_cflag & ~framing::kKept) | kept;
    }
    const std::string line = framingOf(current);
    if (line != "8N1 " + std::to_string(options_.baud)) {
        log_.line("mute framing " + line);
        return;
    }
    if (!listening()) return;
    long stored = 0;
    if (options_.windowsModemLines && framing::readNumber(linesPath_.c_str(), stored) && (stored & TIOCM_RTS) == 0) {
        log_.line("mute rts low");
        return;
    }
    if (options_.reply == ReplyMode::Silent) {
        log_.line("mute silent");
        return;
    }
    const Clock::time_point bootAt = *restartAt_ + Millis(options_.bootMs);
    if (bootAt > Clock::now()) log_.line("held until boot");
    const Clock::time_point replyAt = std::max(bootAt, Clock::now()) + Millis(options_.delayMs);
    if (replyAt > Clock::now()) {
        pendingReplies_.push_back(replyAt);
    } else {
        sendReply();
    }
}

bool Emulator::listening() {
    if (!restartAt_) {
        log_.line("mute no restart");
        return false;
    }
    const long age = static_cast<long>(std::chrono::duration_cast<Millis>(Clock::now() - *restartAt_).count());
    log_.line("since restart " + std::to_string(age) + " ms");
    if (age > options_.listenUntilMs) {
        log_.line("mute late");
        return false;
    }
    return true;
}

void Emulator::sendReply() {
    switch (options_.reply) {
    case ReplyMode::Ok:
        queue(options_.replyBytes.empty() ? std::vector<unsigned char>{0x14, 0x10} : options_.replyBytes);
        break;
    case ReplyMode::Reversed:
        queue({0x10, 0x14});
        break;
    case ReplyMode::OneByte:
        queue({0x14});
        break;
    case ReplyMode::ThreeBytes:
        queue({0x14, 0x10, 0x14});
        break;
    case ReplyMode::Silent:
        break;
    case ReplyMode::HangupMidReply:
        if (midReplyQueued_) break;
        // Watch reads from before the byte is written: the program may read
        // it before write() has even returned here.
        if (!setWatch(true)) {
            hangUp("without watch");
            return;
        }
        midReplyQueued_ = true;
        midReplyGiveUpAt_ = Clock::now() + Millis(options_.midReplyWaitMs);
        queue({0x14});
        break;
    case ReplyMode::Flood:
        if (!flooding_) {
            flooding_ = true;
            floodBytes_ = 0;
            log_.line("flood start");
            writePending();
        }
        break;
    }
}

void Emulator::queue(const std::vector<unsigned char>& bytes) {
    tx_.insert(tx_.end(), bytes.begin(), bytes.end());
    writePending();
}

void Emulator::writePending() {
    if (holders_ == 0) {
        // No one holds the port: what would be sent now is lost.
        tx_.clear();
        return;
    }
    if (writeBlocked_ || master_ < 0) return;
    while (!tx_.empty()) {
        const ssize_t n = ::write(master_, tx_.data(), tx_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            writeBlocked_ = true;
            return;
        }
        if (n <= 0) {
            log_.line(std::string("write failed ") + std::strerror(errno));
            tx_.clear();
            return;
        }
        const auto sent = static_cast<std::size_t>(n);
        for (std::size_t i = 0; i < sent; ++i) log_.line("tx " + hexByte(tx_[i]));
        tx_.erase(tx_.begin(), tx_.begin() + n);
    }
    if (midReplyQueued_ && !midReplySent_) midReplySent_ = true;
    if (!flooding_) return;
    static const std::vector<unsigned char> chunk(4096, kFloodByte);
    std::size_t burst = 0;
    while (burst < kFloodBurst) {
        const ssize_t n = ::write(master_, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            writeBlocked_ = true;
            return;
        }
        if (n <= 0) {
            log_.line(std::string("flood write failed ") + std::strerror(errno));
            flooding_ = false;
            return;
        }
        burst += static_cast<std::size_t>(n);
        floodBytes_ += static_cast<unsigned long long>(n);
    }
    // Go on once poll() has looked at the other descriptors; POLLOUT is
    // reported at once while there is room.
    writeBlocked_ = true;
}

std::optional<Clock::time_point> Emulator::nextDeadline() const {
    std::optional<Clock::time_point> next = expireAt_;
    auto consider = [&next](const std::optional<Clock::time_point>& t) {
        if (t && (!next || *t < *next)) next = t;
    };
    if (!pendingReplies_.empty()) consider(pendingReplies_.front());
    consider(hangupAt_);
    if (midReplyQueued_) consider(midReplyGiveUpAt_);
    return next;
}

void Emulator::runTimers() {
    const Clock::time_point now = Clock::now();
    if (now >= expireAt_) {
        log_.line("expired");
        removeLink();
        done_ = true;
        exitCode_ = 0;
        return;
    }
    if (hangupAt_ && now >= *hangupAt_) {
        hangUp("on open");
        return;
    }
    if (midReplyQueued_ && midReplyGiveUpAt_ && now >= *midReplyGiveUpAt_) {
        hangUp("mid-reply unread");
        return;
    }
    while (!pendingReplies_.empty() && now >= pendingReplies_.front() && !done_) {
        pendingReplies_.pop_front();
        sendReply();
    }
}

int Emulator::run() {
    while (!done_) {
        pollfd fds[3] = {};
        fds[0] = {signals_, POLLIN, 0};
        fds[1] = {inotify_, POLLIN, 0};
        short masterEvents = POLLIN;
        const bool wantWrite = holders_ > 0 && writeBlocked_ && (!tx_.empty() || flooding_);
        if (wantWrite) masterEvents = static_cast<short>(masterEvents | POLLOUT);
        fds[2] = {master_, masterEvents, 0};

        int timeout = -1;
        if (const auto deadline = nextDeadline()) {
            const auto left = *deadline - Clock::now();
            // Rounded up: waking a little early would only poll again at once.
            const auto ms = std::chrono::ceil<Millis>(left).count();
            timeout = ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT_MAX));
        }
        const int ready = poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "quillfern-emulator: poll: %s\n", std::strerror(errno));
            removeLink();
            return kExitFailure;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signals_, &info, sizeof info) > 0) {
                log_.line("signal " + std::to_string(info.ssi_signo));
                removeLink();
                return 0;
            }
        }
        // Always before the master: a byte can only have come from an open
        // the program made earlier, whose event is already queued.
        drainInotify();
        if (done_) break;
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) readMaster();
        if (done_) break;
        if (fds[2].revents & POLLOUT) {
            writeBlocked_ = false;
            writePending();
        }
        runTimers();
    }
    removeLink();
    return exitCode_;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) return kExitUsage;
    Log log;
    if (!log.open(options.logPath)) {
        std::fprintf(stderr, "quillfern-emulator: cannot open log %s: %s\n", options.logPath.c_str(),
                     std::strerror(errno));
        return kExitFailure;
    }
    Emulator emulator(options, log);
    if (!emulator.setUp()) return kExitFailure;
    const int code = emulator.run();
    log.line("exit " + std::to_string(code));
    return code;
}
