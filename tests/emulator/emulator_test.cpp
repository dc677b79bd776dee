// The emulator seen from the port side, the way the program under test sees
// it: a raw tty opened through the link. Every wait is bounded; where a test
// checks that nothing arrives, it first waits until the emulator's log shows
// the decision was made, so a slow machine cannot make it pass or fail by luck.
// Where a test waits on purpose (to be late for the bootloader), it waits
// after the emulator logged the restart, so that the wait can only be longer.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emulator_process.h"
#include "framing_state.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using testsupport::EmulatorProcess;
using testsupport::RunResult;
using testsupport::runProgram;

const Bytes kCommand{0x30, 0x20};
const Bytes kAnswer{0x14, 0x10};
constexpr int kBoundMs = 5000;   // for anything that should happen
constexpr int kQuietMs = 200;    // listening for bytes that must not come
// Tests that are not about the bootloader's timing talk to it at once.
const std::vector<std::string> kAlwaysListening{"--startup-ms=0", "--boot-ms=0", "--listen-until-ms=600000"};

std::string hex(const Bytes& bytes) {
    std::string text;
    char piece[4];
    for (unsigned char b : bytes) {
        std::snprintf(piece, sizeof piece, "%02x ", static_cast<unsigned>(b));
        text += piece;
    }
    return text;
}

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quillfern-emu-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
    }
    ~TempDir() {
        if (path_.empty()) return;
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
            }
            closedir(dir);
        }
        ::rmdir(path_.c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct Received {
    Bytes bytes;
    bool hungUp = false;  // POLLHUP, end of file or EIO
    int error = 0;        // errno of a failed read
};

// The port side, configured like the program under test configures it.
class Client {
public:
    Client() = default;
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool open(const std::string& path, speed_t speed = B57600, tcflag_t framing = CS8) {
        return openAsFound(path) && configure(speed, framing);
    }

    // framing replaces the data bits, parity and stop bits; HUPCL stays as
    // the port has it.
    bool configure(speed_t speed = B57600, tcflag_t framing = CS8) {
        termios settings{};
        if (tcgetattr(fd_, &settings) != 0) return false;
        cfmakeraw(&settings);
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
        settings.c_cflag |= framing | CLOCAL | CREAD;
        if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return false;
        return tcsetattr(fd_, TCSANOW, &settings) == 0;
    }

    bool openAsFound(const std::string& path) {
        close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }

    bool setHupcl(bool on) {
        termios settings{};
        if (tcgetattr(fd_, &settings) != 0) return false;
        settings.c_cflag = on ? settings.c_cflag | HUPCL : settings.c_cflag & ~static_cast<tcflag_t>(HUPCL);
        return tcsetattr(fd_, TCSANOW, &settings) == 0;
    }

    // Takes the port the way the program does: advisory lock and, where it
    // does not lock root out anyway, exclusive mode.
    bool lockLikeTheProgram() {
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0) return false;
        return ioctl(fd_, TIOCEXCL) == 0;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads until count bytes came, the port hung up, or timeoutMs passed.
    Received read(std::size_t count, int timeoutMs) {
        Received result;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<unsigned char> buffer(std::max<std::size_t>(count, 1));
        while (result.bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            const int ready = poll(&p, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            const ssize_t n = ::read(fd_, buffer.data(), count - result.bytes.size());
            if (n > 0) {
                result.bytes.insert(result.bytes.end(), buffer.begin(), buffer.begin() + n);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) result.error = errno;
            result.hungUp = n == 0 || errno == EIO || (p.revents & POLLHUP) != 0;
            break;
        }
        return result;
    }

    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// User plus system CPU time of a process, in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(all.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // Fields 3.. after the command name; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = std::stol(field);
        if (index == 15) stime = std::stol(field);
    }
    return utime + stime;
}

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty()) << "mkdtemp failed";
        // For the emulator and for the shim linked into this test.
        setenv(framing::kDirVariable, dir_.path().c_str(), 1);
    }

    std::string linkPath(const std::string& name = "port") const { return dir_.path() + "/" + name; }

    // Starts the emulator at linkPath(), listening whenever unless options
    // say otherwise; the caller ASSERTs on the result.
    bool start(const std::vector<std::string>& options) {
        std::vector<std::string> all = kAlwaysListening;
        all.insert(all.end(), options.begin(), options.end());
        return emulator_.start(linkPath(), all);
    }

    // After a command: waits until the emulator has dealt with it, then
    // makes sure no further byte arrives.
    void expectNothingMoreAfter(Client& client, const std::string& decision, std::size_t count = 1) {
        ASSERT_TRUE(emulator_.waitForLogLine(decision, count, kBoundMs)) << "log lacks \"" << decision << "\"";
        const Received extra = client.read(1, kQuietMs);
        EXPECT_TRUE(extra.bytes.empty()) << "unexpected bytes: " << hex(extra.bytes);
    }

    TempDir dir_;
    EmulatorProcess emulator_;
};

// --- replies ---------------------------------------------------------------

struct ReplyCase {
    const char* mode;  // "default": no --reply
    Bytes expected;
};

void PrintTo(const ReplyCase& param, std::ostream* out) { *out << param.mode; }

class ReplyModeTest : public EmulatorTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyModeTest, AnswersTheCommandWithExactlyTheseBytes) {
    const ReplyCase& c = GetParam();
    const std::string mode = c.mode;
    ASSERT_TRUE(start(mode == "default" ? std::vector<std::string>{} : std::vector<std::string>{"--reply=" + mode}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    const Received got = client.read(c.expected.size(), kBoundMs);
    EXPECT_EQ(hex(got.bytes), hex(c.expected));
    EXPECT_FALSE(got.hungUp);
    expectNothingMoreAfter(client, "command");
    EXPECT_EQ(emulator_.countLogLines("rx 30"), 1U);
    EXPECT_EQ(emulator_.countLogLines("rx 20"), 1U);
    EXPECT_EQ(emulator_.countLogLines("open 1"), 1U);
}

INSTANTIATE_TEST_SUITE_P(Modes, ReplyModeTest,
                         ::testing::Values(ReplyCase{"default", {0x14, 0x10}}, ReplyCase{"ok", {0x14, 0x10}},
                                           ReplyCase{"reversed", {0x10, 0x14}},
                                           ReplyCase{"one-byte", {0x14}},
                                           ReplyCase{"three-bytes", {0x14, 0x10, 0x14}},
                                           ReplyCase{"silent", {}}),
                         [](const ::testing::TestParamInfo<ReplyCase>& param) {
                             std::string name = param.param.mode;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

struct StreamCase {
    const char* name;
    std::vector<Bytes> writes;  // written one after the other, each seen by the emulator first
    bool answered;
};

void PrintTo(const StreamCase& param, std::ostream* out) { *out << param.name; }

class CommandScanTest : public EmulatorTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(CommandScanTest, FindsTheCommandAnywhereInTheStreamAndNothingElse) {
    const StreamCase& c = GetParam();
    ASSERT_TRUE(start({}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    std::size_t total = 0;
    for (const Bytes& piece : c.writes) {
        ASSERT_TRUE(client.write(piece));
        total += piece.size();
        // Every byte logged as received before the next piece goes out.
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kBoundMs);
        std::size_t seen = 0;
        while (Clock::now() < deadline) {
            const auto lines = emulator_.logLines();
            seen = static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("rx ", 0) == 0;
            }));
            if (seen >= total) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(seen, total);
    }
    if (c.answered) {
        EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
        expectNothingMoreAfter(client, "command");
        EXPECT_EQ(emulator_.countLogLines("command"), 1U);
    } else {
        const Received got = client.read(1, kQuietMs);
        EXPECT_TRUE(got.bytes.empty()) << hex(got.bytes);
        EXPECT_EQ(emulator_.countLogLines("command"), 0U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, CommandScanTest,
    ::testing::Values(StreamCase{"AfterGarbage", {{0x00, 0xff, 0x30, 0x20}}, true},
                      StreamCase{"AfterARepeatedFirstByte", {{0x30, 0x30, 0x20}}, true},
                      StreamCase{"SplitOverTwoWrites", {{0x30}, {0x20}}, true},
                      StreamCase{"InterruptedByAnotherByte", {{0x30, 0x00, 0x20}}, false},
                      StreamCase{"InTheWrongOrder", {{0x20, 0x30}}, false},
                      StreamCase{"OtherBytesOnly", {{0x14, 0x10, 0x55}}, false}),
    [](const ::testing::TestParamInfo<StreamCase>& param) { return std::string(param.param.name); });

// --- conditions on answering -------------------------------------------------

struct ConditionCase {
    const char* name;
    std::vector<std::string> options;
    bool defaultWindow;  // else listening from the restart on
    speed_t speed;
    tcflag_t framing;
    int waitMs;          // after the restart, before the command
    const char* mute;    // nullptr: answered
};

void PrintTo(const ConditionCase& param, std::ostream* out) { *out << param.name; }

class ConditionTest : public EmulatorTest, public ::testing::WithParamInterface<ConditionCase> {};

TEST_P(ConditionTest, AnswersOnlyWhatARealControllerWouldUnderstand) {
    const ConditionCase& c = GetParam();
    ASSERT_TRUE(c.defaultWindow ? emulator_.start(linkPath(), c.options) : start(c.options));
    Client client;
    ASSERT_TRUE(client.open(linkPath(), c.speed, c.framing));
    ASSERT_TRUE(emulator_.waitForLogLine("restart", 1, kBoundMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(c.waitMs));
    ASSERT_TRUE(client.write(kCommand));
    if (c.mute == nullptr) {
        EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
    }
    expectNothingMoreAfter(client, c.mute == nullptr ? "command" : c.mute);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Conditions, ConditionTest, ::testing::Values(
    ConditionCase{"AtTheDefaultSpeed", {}, false, B57600, CS8, 0, nullptr},
    ConditionCase{"AtTheChosenSpeed", {"--baud=115200"}, false, B115200, CS8, 0, nullptr},
    ConditionCase{"AtAnotherSpeed", {"--baud=115200"}, false, B19200, CS8, 0, "mute framing 8N1 19200"},
    ConditionCase{"SevenBits", {}, false, B57600, CS7, 0, "mute framing 7N1 57600"},
    ConditionCase{"EvenParity", {}, false, B57600, CS8 | PARENB, 0, "mute framing 8E1 57600"},
    ConditionCase{"OddParity", {}, false, B57600, CS8 | PARENB | PARODD, 0, "mute framing 8O1 57600"},
    ConditionCase{"TwoStopBits", {}, false, B57600, CS8 | CSTOPB, 0, "mute framing 8N2 57600"},
    ConditionCase{"AfterADelay", {"--delay-ms=300"}, false, B57600, CS8, 0, nullptr},
    // The bootloader's window after a restart; a wait can only be longer.
    ConditionCase{"LosesWhatComesInItsStartUp", {"--startup-ms=2000", "--listen-until-ms=9000"}, true, B57600, CS8, 0,
                  "lost 20"},
    ConditionCase{"GivesUpAfterOneAndAHalfSecondsByDefault", {}, true, B57600, CS8, 2000, "mute late"},
    ConditionCase{"InsideTheWindow", {"--startup-ms=200", "--listen-until-ms=60000"}, true, B57600, CS8, 400,
                  nullptr},
    ConditionCase{"AfterTheWindow", {"--listen-until-ms=200"}, false, B57600, CS8, 400, "mute late"}
), [](const ::testing::TestParamInfo<ConditionCase>& param) { return std::string(param.param.name); });
// clang-format on

struct LeftByCase {
    const char* name;
    tcflag_t cflag;  // of CSIZE, PARENB, CSTOPB, HUPCL
    tcflag_t iflag;  // of ICRNL, IXON, IXOFF
    tcflag_t oflag;  // of OPOST
    tcflag_t lflag;  // of ICANON, ECHO, ISIG
    const char* mute;  // once the line is set up; nullptr: answered
};

void PrintTo(const LeftByCase& param, std::ostream* out) { *out << param.name; }

class LeftByTest : public EmulatorTest, public ::testing::WithParamInterface<LeftByCase> {};

TEST_P(LeftByTest, PortStartsAsThePreviousProgramLeftIt) {
    const LeftByCase& c = GetParam();
    ASSERT_TRUE(start({std::string("--left-by=") + c.name}));
    Client client;
    ASSERT_TRUE(client.openAsFound(linkPath()));
    termios found{};
    ASSERT_EQ(tcgetattr(client.fd(), &found), 0);
    EXPECT_EQ(found.c_cflag & (CSIZE | PARENB | CSTOPB | HUPCL), c.cflag);
    EXPECT_EQ(found.c_iflag & (ICRNL | IXON | IXOFF), c.iflag);
    EXPECT_EQ(found.c_oflag & OPOST, c.oflag);
    EXPECT_EQ(found.c_lflag & (ICANON | ECHO | ISIG), c.lflag);
    ASSERT_TRUE(client.configure());
    ASSERT_TRUE(client.write(kCommand));
    if (c.mute == nullptr) {
        EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
    }
    expectNothingMoreAfter(client, c.mute == nullptr ? "command" : c.mute);
}

INSTANTIATE_TEST_SUITE_P(
    States, LeftByTest,
    ::testing::Values(LeftByCase{"raw", CS8 | HUPCL, 0, 0, 0, nullptr},
                      LeftByCase{"terminal", CS7 | PARENB | CSTOPB | HUPCL, ICRNL | IXON | IXOFF, OPOST,
                                 ICANON | ECHO | ISIG, nullptr},
                      // Its first open met DTR high already: no restart.
                      LeftByCase{"no-hupcl", CS8, 0, 0, 0, "mute no restart"}),
    [](const ::testing::TestParamInfo<LeftByCase>& param) {
        std::string name = param.param.name;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// --- DTR -------------------------------------------------------------------------

TEST_F(EmulatorTest, RestartsOnlyWhenDtrRises) {
    ASSERT_TRUE(start({}));
    Client a;
    Client b;
    // Each open is seen before the next: inotify merges two unread opens.
    ASSERT_TRUE(a.open(linkPath()));
    ASSERT_TRUE(emulator_.waitForLogLine("open 1", 1, kBoundMs));
    ASSERT_TRUE(b.open(linkPath()));
    ASSERT_TRUE(emulator_.waitForLogLine("open 2", 1, kBoundMs));
    b.close();
    ASSERT_TRUE(emulator_.waitForLogLine("close", 1, kBoundMs));
    a.close();
    ASSERT_TRUE(emulator_.waitForLogLine("dtr low", 1, kBoundMs)) << "the last close drops DTR under HUPCL";
    EXPECT_EQ(emulator_.countLogLines("restart"), 1U) << "a second holder and its close leave DTR high";
    ASSERT_TRUE(a.open(linkPath()));
    ASSERT_TRUE(a.setHupcl(false));
    a.close();
    ASSERT_TRUE(emulator_.waitForLogLine("dtr high", 1, kBoundMs));
    ASSERT_TRUE(a.open(linkPath()));
    ASSERT_TRUE(a.write(kCommand));
    EXPECT_EQ(hex(a.read(2, kBoundMs).bytes), hex(kAnswer));
    EXPECT_EQ(emulator_.countLogLines("open 4"), 1U);
    EXPECT_EQ(emulator_.countLogLines("restart"), 2U);
    EXPECT_EQ(emulator_.countLogLines("dtr low"), 1U);
}

// --- the port's life ------------------------------------------------------------

TEST_F(EmulatorTest, NoiseArrivesOnEveryOpenBeforeTheAnswer) {
    ASSERT_TRUE(start({"--noise-on-open=55aA"}));
    Client client;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("open " + std::to_string(round));
        ASSERT_TRUE(client.open(linkPath()));
        EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex({0x55, 0xaa}));
        ASSERT_TRUE(client.write(kCommand));
        EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
        expectNothingMoreAfter(client, "command", static_cast<std::size_t>(round));
        client.close();
        ASSERT_TRUE(emulator_.waitForLogLine("close", static_cast<std::size_t>(round), kBoundMs));
    }
}

TEST_F(EmulatorTest, UnreadBytesAreGoneAfterTheLastClose) {
    ASSERT_TRUE(start({"--reply=three-bytes"}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
    // The third byte was sent too, and is left unread.
    ASSERT_TRUE(emulator_.waitForLogLine("tx 14", 2, kBoundMs));
    client.close();
    ASSERT_TRUE(emulator_.waitForLogLine("close", 1, kBoundMs));

    ASSERT_TRUE(client.open(linkPath()));
    const Received stale = client.read(1, kQuietMs);
    EXPECT_TRUE(stale.bytes.empty()) << "stale: " << hex(stale.bytes);
    ASSERT_TRUE(client.write(kCommand));
    EXPECT_EQ(hex(client.read(3, kBoundMs).bytes), hex({0x14, 0x10, 0x14}));
}

TEST_F(EmulatorTest, PendingAnswerIsDroppedByTheClose) {
    ASSERT_TRUE(start({"--delay-ms=300"}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    ASSERT_TRUE(emulator_.waitForLogLine("command", 1, kBoundMs));
    client.close();
    ASSERT_TRUE(emulator_.waitForLogLine("reply dropped", 1, kBoundMs));
    ASSERT_TRUE(client.open(linkPath()));
    // Three times the delay: an answer kept past the close would be here.
    const Received got = client.read(1, 1000);
    EXPECT_TRUE(got.bytes.empty()) << hex(got.bytes);
    const auto before = Clock::now();
    EXPECT_EQ(emulator_.stop(), 0);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(4));
}

TEST_F(EmulatorTest, CountsOpensOfARapidCloseAndReopen) {
    ASSERT_TRUE(start({}));
    // Root is not held back by TIOCEXCL; anyone else is, on a pty, until the
    // emulator has seen the close.
    const bool root = geteuid() == 0;
    Client client;
    for (int i = 1; i < 20; ++i) {
        ASSERT_TRUE(client.open(linkPath())) << "open " << i << ": " << std::strerror(errno);
        if (root) {
            ASSERT_TRUE(client.lockLikeTheProgram());
        }
        client.close();
        if (!root) {
            ASSERT_TRUE(emulator_.waitForLogLine("close", static_cast<std::size_t>(i), kBoundMs));
        }
    }
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
    EXPECT_EQ(emulator_.countLogLines("open 20"), 1U);
    EXPECT_EQ(emulator_.countLogLines("close"), 19U);
    EXPECT_EQ(emulator_.countLogLines("restart"), 20U) << "each close dropped DTR, each open raised it";
}

TEST_F(EmulatorTest, ReopenWorksAfterTheProgramsExclusiveMode) {
    ASSERT_TRUE(start({}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.lockLikeTheProgram());
    client.close();
    ASSERT_TRUE(emulator_.waitForLogLine("close", 1, kBoundMs));
    ASSERT_TRUE(client.open(linkPath())) << std::strerror(errno);
    ASSERT_TRUE(client.write(kCommand));
    EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
}

TEST_F(EmulatorTest, TwoInstancesServeTheirOwnPorts) {
    EmulatorProcess other;
    ASSERT_TRUE(start({"--reply=ok"}));
    std::vector<std::string> options = kAlwaysListening;
    options.push_back("--reply=reversed");
    ASSERT_TRUE(other.start(linkPath("other"), options));
    Client a;
    Client b;
    ASSERT_TRUE(a.open(linkPath()));
    ASSERT_TRUE(b.open(linkPath("other")));
    ASSERT_TRUE(b.write(kCommand));
    ASSERT_TRUE(a.write(kCommand));
    EXPECT_EQ(hex(a.read(2, kBoundMs).bytes), hex({0x14, 0x10}));
    EXPECT_EQ(hex(b.read(2, kBoundMs).bytes), hex({0x10, 0x14}));
    EXPECT_EQ(emulator_.countLogLines("open 1"), 1U);
    EXPECT_EQ(other.countLogLines("open 1"), 1U);
    EXPECT_EQ(emulator_.countLogLines("command"), 1U);
    EXPECT_EQ(other.countLogLines("command"), 1U);
    EXPECT_EQ(other.stop(), 0);
    EXPECT_FALSE(exists(linkPath("other")));
    EXPECT_TRUE(exists(linkPath()));
}

// --- hang-ups --------------------------------------------------------------------

TEST_F(EmulatorTest, HangupMidReplyGivesOneByteThenHangsUp) {
    ASSERT_TRUE(start({"--reply=hangup-mid-reply"}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    const Received first = client.read(1, kBoundMs);
    EXPECT_EQ(hex(first.bytes), hex({0x14}));
    const Received second = client.read(1, kBoundMs);
    EXPECT_TRUE(second.bytes.empty()) << hex(second.bytes);
    EXPECT_TRUE(second.hungUp);
    EXPECT_FALSE(client.write(kCommand));
    EXPECT_EQ(errno, EIO);
    int status = -2;
    ASSERT_TRUE(emulator_.waitForExit(kBoundMs, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(linkPath()));
    EXPECT_EQ(emulator_.countLogLines("cause mid-reply"), 1U);
    EXPECT_EQ(emulator_.countLogLines("hangup"), 1U);
}

TEST_F(EmulatorTest, HangupMidReplyHangsUpAnywayWhenTheByteIsNotRead) {
    ASSERT_TRUE(start({"--reply=hangup-mid-reply", "--mid-reply-wait-ms=50"}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    ASSERT_TRUE(emulator_.waitForLogLine("hangup", 1, kBoundMs));
    EXPECT_EQ(emulator_.countLogLines("cause mid-reply unread"), 1U);
    // The hang-up discarded the unread byte.
    const Received got = client.read(1, kBoundMs);
    EXPECT_TRUE(got.bytes.empty()) << hex(got.bytes);
    EXPECT_TRUE(got.hungUp);
    int status = -2;
    ASSERT_TRUE(emulator_.waitForExit(kBoundMs, &status));
    EXPECT_EQ(status, 0);
}

TEST_F(EmulatorTest, HangupOnOpenHangsUpThatOpenOnly) {
    ASSERT_TRUE(start({"--hangup-on-open=2", "--hangup-delay-ms=100"}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    EXPECT_EQ(hex(client.read(2, kBoundMs).bytes), hex(kAnswer));
    client.close();
    ASSERT_TRUE(emulator_.waitForLogLine("close", 1, kBoundMs));

    ASSERT_TRUE(client.open(linkPath()));
    const Received got = client.read(1, kBoundMs);
    EXPECT_TRUE(got.bytes.empty()) << hex(got.bytes);
    EXPECT_TRUE(got.hungUp);
    int status = -2;
    ASSERT_TRUE(emulator_.waitForExit(kBoundMs, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(linkPath()));
    EXPECT_EQ(emulator_.countLogLines("cause on open"), 1U);
    EXPECT_EQ(emulator_.countLogLines("hangup"), 1U);
}

// --- flood -------------------------------------------------------------------------

TEST_F(EmulatorTest, FloodGoesOnWhileReadAndStopsWithTheClose) {
    ASSERT_TRUE(start({"--reply=flood"}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    ASSERT_TRUE(client.write(kCommand));
    // Several times what the pty buffers, so the emulator had to wait for room.
    const std::size_t wanted = 512 * 1024;
    const Received got = client.read(wanted, 15000);
    ASSERT_EQ(got.bytes.size(), wanted);
    EXPECT_TRUE(std::all_of(got.bytes.begin(), got.bytes.end(), [](unsigned char b) { return b == 0xAA; }));

    // Unread, the pty fills up; the emulator must wait, not spin.
    const long before = cpuTicks(emulator_.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = cpuTicks(emulator_.pid()) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in one second of a full port";

    client.close();
    ASSERT_TRUE(emulator_.waitForLogLine("flood stop", 1, kBoundMs));
    ASSERT_TRUE(client.open(linkPath()));
    const Received stale = client.read(1, kQuietMs);
    EXPECT_TRUE(stale.bytes.empty()) << stale.bytes.size() << " stale bytes";
    EXPECT_EQ(emulator_.stop(), 0);
}

TEST_F(EmulatorTest, IdlesWhileNoOneHoldsThePort) {
    ASSERT_TRUE(start({}));
    Client client;
    ASSERT_TRUE(client.open(linkPath()));
    client.close();
    ASSERT_TRUE(emulator_.waitForLogLine("close", 1, kBoundMs));
    const long before = cpuTicks(emulator_.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = cpuTicks(emulator_.pid()) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 2) << "CPU ticks in one idle second";
}

// --- process ----------------------------------------------------------------------

class SignalTest : public EmulatorTest, public ::testing::WithParamInterface<int> {};

TEST_P(SignalTest, RemovesTheLinkAndExitsZero) {
    ASSERT_TRUE(start({}));
    char target[256] = {};
    ASSERT_GT(readlink(linkPath().c_str(), target, sizeof target - 1), 0);
    struct stat st {};
    ASSERT_EQ(stat(linkPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << target;
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0U) << target;

    ASSERT_EQ(kill(emulator_.pid(), GetParam()), 0);
    int status = -2;
    ASSERT_TRUE(emulator_.waitForExit(kBoundMs, &status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(linkPath()));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(param.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

struct BadArgsCase {
    const char* name;
    std::vector<std::string> args;
};

void PrintTo(const BadArgsCase& param, std::ostream* out) { *out << param.name; }

class BadArgumentsTest : public EmulatorTest, public ::testing::WithParamInterface<BadArgsCase> {};

TEST_P(BadArgumentsTest, ExitTwoWithUsageAndNoLink) {
    std::vector<std::string> argv{EmulatorProcess::emulatorPath()};
    for (const std::string& arg : GetParam().args) {
        argv.push_back(arg == "LINK" ? "--link=" + linkPath() : arg);
    }
    const RunResult result = runProgram(argv, 10);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_NE(result.stderrText.find("usage"), std::string::npos) << result.stderrText;
    EXPECT_FALSE(exists(linkPath()));
}

INSTANTIATE_TEST_SUITE_P(
    Args, BadArgumentsTest,
    ::testing::Values(BadArgsCase{"NoLink", {"--reply=ok"}}, BadArgsCase{"UnknownReply", {"LINK", "--reply=maybe"}},
                      BadArgsCase{"UnknownOption", {"LINK", "--colour=blue"}},
                      BadArgsCase{"NotNameValue", {"LINK", "--reply"}},
                      BadArgsCase{"NonStandardBaud", {"LINK", "--baud=12345"}},
                      BadArgsCase{"NegativeDelay", {"LINK", "--delay-ms=-1"}},
                      BadArgsCase{"OddHex", {"LINK", "--noise-on-open=5"}},
                      BadArgsCase{"NotHex", {"LINK", "--noise-on-open=zz"}},
                      BadArgsCase{"UnknownPriorState", {"LINK", "--left-by=nobody"}},
                      BadArgsCase{"DtrModeWithoutADriverToKeepIt", {"LINK", "--left-by=dtr-disabled"}},
                      BadArgsCase{"WindowEndsBeforeItStarts", {"LINK", "--startup-ms=900", "--listen-until-ms=100"}}),
    [](const ::testing::TestParamInfo<BadArgsCase>& param) { return std::string(param.param.name); });

TEST_F(EmulatorTest, StartFailsWhenTheLinkCannotBeMade) {
    EmulatorProcess emulator;
    EXPECT_FALSE(emulator.start(dir_.path() + "/missing-dir/port", {}));
    EXPECT_FALSE(emulator.running());
}

// --- runProgram --------------------------------------------------------------------

TEST(RunProgram, KeepsStdoutAndStderrApartAndReportsTheExitCode) {
    const RunResult r = runProgram({"sh", "-c", "echo out; echo err >&2; echo more; exit 3"}, 10);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.stdoutText, "out\nmore\n");
    EXPECT_EQ(r.stderrText, "err\n");
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_TRUE(r.startError.empty());
}

TEST(RunProgram, CollectsLargeOutputOnBothStreams) {
    const RunResult r =
        runProgram({"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' o; head -c 300000 /dev/zero | tr '\\0' e >&2"}, 20);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.stdoutText, std::string(300000, 'o'));
    EXPECT_EQ(r.stderrText, std::string(300000, 'e'));
}

TEST(RunProgram, KillsAProgramThatOutlivesItsTime) {
    const auto before = Clock::now();
    const RunResult r = runProgram({"sh", "-c", "echo started; sleep 30"}, 1);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);
    EXPECT_EQ(r.exitStatus, -1);
    EXPECT_EQ(r.stdoutText, "started\n");
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(10));
}

TEST(RunProgram, ReportsAProgramThatCannotStart) {
    const RunResult r = runProgram({"/nonexistent/quillfern-nothing"}, 5);
    EXPECT_FALSE(r.startError.empty());
    EXPECT_EQ(r.exitStatus, -1);
    EXPECT_FALSE(r.timedOut);
}

TEST(RunProgram, ChildInheritsNoDescriptorsOfTheTest) {
    // Deliberately not close-on-exec, at a number no shell uses by itself.
    const int null = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    ASSERT_EQ(dup2(null, 100), 100);
    ::close(null);
    const RunResult r = runProgram({"sh", "-c", "if [ -e /proc/$$/fd/100 ]; then echo leaked; else echo clean; fi"}, 10);
    ::close(100);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.stdoutText, "clean\n");
}

}  // namespace
