// The POSIX platform layer on real pseudo-terminals, in-process: what the
// core relies on from each call, and that a probe leaves no descriptor open.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/run_settings.h"
#include "emulator_process.h"
#include "tests/e2e/device_root.h"
#include "platform/platform.h"
#include "platform/posix_devices.h"
#include "probe/probe.h"

namespace {

namespace fs = std::filesystem;
using testsupport::EmulatorProcess;


std::size_t openDescriptors() {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

class PosixPlatform : public testsupport::DeviceRootTest {
protected:
    void SetUp() override {
        DeviceRootTest::SetUp();
        resetRunSettings();
    }
    // Starts an emulated device and lists the devices again, as a search
    // would, so that COM numbers follow what is there now.
    EmulatorProcess& emulate(const std::string& device, const std::vector<std::string>& options = {}) {
        EmulatorProcess& emulator = DeviceRootTest::emulate(device, options);
        char names[4096];
        EXPECT_GT(platform::queryDeviceNames(names, sizeof names), 0U);
        return emulator;
    }

    // Opens COM<number> and sets it up as a probe does.
    static platform::PortHandle openConfigured(std::int32_t number, std::int32_t timeoutSeconds) {
        const platform::PortHandle port = platform::openComPort(number);
        platform::LineState state{};
        if (port == platform::kNoPort || !platform::getLineState(port, state)) {
            ADD_FAILURE() << "COM" << number << " does not open";
            return port;
        }
        platform::setLineSettings(state, 57600);
        EXPECT_TRUE(platform::applyLineState(port, state));
        EXPECT_TRUE(platform::setReadTimeout(port, static_cast<std::uint32_t>(timeoutSeconds) * 1000));
        return port;
    }
};

// The bytes the emulator received, in its log's order.
std::vector<std::string> received(const EmulatorProcess& device) {
    std::vector<std::string> bytes;
    for (const std::string& line : device.logLines()) {
        if (line.rfind("rx ", 0) == 0) {
            bytes.push_back(line.substr(3));
        }
    }
    return bytes;
}

TEST_F(PosixPlatform, DeviceNamesAreComNumbersInOrder) {
    emulate("ttyUSB1");
    emulate("ttyACM0");
    char buffer[64];
    std::memset(buffer, 'X', sizeof buffer);
    const std::uint32_t count = platform::queryDeviceNames(buffer, sizeof buffer - 1);
    ASSERT_EQ(count, 11U);
    EXPECT_EQ(std::string(buffer, count), std::string("COM1\0COM2\0\0", 11));
    EXPECT_EQ(buffer[count], 'X') << "nothing stored past the count";

    EXPECT_EQ(platform::queryDeviceNames(buffer, 10), 0U) << "one byte short";
    EXPECT_TRUE(platform::deviceNamesTruncated());
    EXPECT_EQ(platform::queryDeviceNames(buffer, 11), 11U);
    EXPECT_FALSE(platform::deviceNamesTruncated());
}

// The numbering rules need no tty: plain files stand for the devices.
TEST_F(PosixPlatform, NumberingOfAFolderOfNames) {
    const fs::path root = kRoot / "numbering";
    const auto names = [&root] {
        std::vector<platform::posix::SerialDevice> devices;
        int error = 0;
        EXPECT_TRUE(platform::posix::listSerialDevices(root.string(), devices, error));
        std::vector<std::string> list;
        for (const auto& device : devices) {
            list.push_back(device.name);
        }
        return list;
    };
    fs::create_directories(root / "dev");
    fs::create_directories(root / "sys/class/tty/ttyS3");
    std::ofstream(root / "sys/class/tty/ttyS3/type") << "4\n";
    for (const char* name : {"ttyACM1", "ttyS0", "ttyS3", "ttyUSB1234567890", "ttyUSB-1", "ttyAMA"}) {
        std::ofstream(root / "dev" / name) << "";
    }
    EXPECT_EQ(names(), (std::vector<std::string>{"ttyACM1", "ttyS3"}))
        << "no UART type file, too many digits, or no digits: no number";

    for (int number = 0; number < 300; ++number) {
        std::ofstream(root / "dev" / ("ttyUSB" + std::to_string(number))) << "";
    }
    const std::vector<std::string> many = names();
    ASSERT_EQ(many.size(), 255U) << "every COM number fits an exit status";
    EXPECT_EQ(many[1], "ttyUSB0");
    EXPECT_EQ(many.back(), "ttyUSB253");

    std::vector<platform::posix::SerialDevice> devices;
    int error = 0;
    EXPECT_FALSE(platform::posix::listSerialDevices((root / "missing").string(), devices, error));
    EXPECT_EQ(error, ENOENT);
}

TEST_F(PosixPlatform, NumbersWithoutADeviceFailToOpen) {
    emulate("ttyUSB0");
    for (std::int32_t number : {0, -1, 2, 255, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(platform::openComPort(number), platform::kNoPort) << number;
        EXPECT_EQ(platform::lastErrorCode(), ENOENT) << number;
    }
}

TEST_F(PosixPlatform, ADeviceUnpluggedAfterTheListingShiftsNoNumbers) {
    emulate("ttyUSB0");
    EmulatorProcess& unplugged = emulate("ttyUSB1");
    emulate("ttyUSB2", {"--noise-on-open=33"});
    unplugged.stop();
    EXPECT_EQ(platform::openComPort(2), platform::kNoPort);
    const platform::PortHandle third = platform::openComPort(3);
    ASSERT_NE(third, platform::kNoPort) << "COM3 is still the third device listed";
    ASSERT_TRUE(platform::setReadTimeout(third, 10000));
    std::uint8_t byte = 0;
    bool gotByte = false;
    EXPECT_TRUE(platform::readByte(third, byte, gotByte));
    EXPECT_TRUE(gotByte);
    EXPECT_EQ(byte, 0x33) << "the device that was listed third";
    platform::closeComPort(third);
}

TEST_F(PosixPlatform, ExclusiveUseAgainstOtherHolders) {
    emulate("ttyUSB0");
    const platform::PortHandle first = platform::openComPort(1);
    ASSERT_NE(first, platform::kNoPort);
    EXPECT_EQ(platform::openComPort(1), platform::kNoPort) << "a second open is refused";
    // By the lock for root, whom the kernel lets past the exclusive mark;
    // by the kernel, for the mark, for anyone else.
    EXPECT_EQ(platform::lastErrorCode(), geteuid() == 0 ? EWOULDBLOCK : EBUSY);
    platform::closeComPort(first);

    const int holder = open((kRoot / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(platform::openComPort(1), platform::kNoPort);
    close(holder);
    const platform::PortHandle again = platform::openComPort(1);
    EXPECT_NE(again, platform::kNoPort) << "free again once the holder let go";
    platform::closeComPort(again);

    setenv(framing::kNoExclusiveQueryVariable, "1", 1);
    const platform::PortHandle unmarked = platform::openComPort(1);
    EXPECT_NE(unmarked, platform::kNoPort) << "a mark the system cannot read counts as none";
    EXPECT_EQ(platform::openComPort(1), platform::kNoPort);
    EXPECT_EQ(platform::lastErrorCode(), EWOULDBLOCK) << "the lock still holds";
    platform::closeComPort(unmarked);
    unsetenv(framing::kNoExclusiveQueryVariable);
}

// The mark is on the tty, so that another descriptor sees it: set while
// the port is held, and taken away at the close even while another
// descriptor keeps the tty open (a last close would clear it anyway).
TEST_F(PosixPlatform, PortIsMarkedExclusiveOnlyWhileHeld) {
    emulate("ttyUSB0");
    const int watcher = open((kRoot / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(watcher, 0);
    if (testsupport::exclusiveMarkUnreadable(watcher)) {
        close(watcher);
        GTEST_SKIP() << testsupport::kQemuCannotShow;
    }
    const auto marked = [watcher] {
        int mark = -1;
        EXPECT_EQ(ioctl(watcher, TIOCGEXCL, &mark), 0);
        return mark != 0;
    };
    ASSERT_FALSE(marked());
    const platform::PortHandle port = platform::openComPort(1);
    ASSERT_NE(port, platform::kNoPort);
    EXPECT_TRUE(marked()) << "no other program may open the port during the probe";
    platform::closeComPort(port);
    EXPECT_FALSE(marked()) << "the mark goes with the port";
    close(watcher);
}

TEST_F(PosixPlatform, SpeedsTheTtyCannotTakeFailAtApply) {
    emulate("ttyUSB0");
    const platform::PortHandle port = platform::openComPort(1);
    ASSERT_NE(port, platform::kNoPort);
    for (std::uint32_t speed : {9600U, 19200U, 57600U, 115200U}) {
        platform::LineState state{};
        ASSERT_TRUE(platform::getLineState(port, state));
        platform::setLineSettings(state, speed);
        EXPECT_TRUE(platform::applyLineState(port, state)) << speed;
    }
    platform::LineState state{};
    ASSERT_TRUE(platform::getLineState(port, state));
    platform::setLineSettings(state, 12345);
    EXPECT_FALSE(platform::applyLineState(port, state));
    EXPECT_EQ(platform::lastErrorCode(), EINVAL);
    platform::closeComPort(port);
}

TEST_F(PosixPlatform, ReadTimesOutWithNoByteAndReportsAHangUp) {
    // The command follows a one-second timed read: too near the end of the
    // default listening window to rely on.
    EmulatorProcess& device = emulate("ttyUSB0", {"--reply=hangup-mid-reply", "--listen-until-ms=60000"});
    const platform::PortHandle port = platform::openComPort(1);
    ASSERT_NE(port, platform::kNoPort);
    platform::LineState state{};
    ASSERT_TRUE(platform::getLineState(port, state));
    platform::setLineSettings(state, 57600);
    ASSERT_TRUE(platform::applyLineState(port, state));
    ASSERT_TRUE(platform::setReadTimeout(port, 1000));

    std::uint8_t byte = 0;
    bool gotByte = true;
    EXPECT_TRUE(platform::readByte(port, byte, gotByte));
    EXPECT_FALSE(gotByte) << "nothing was sent: the timeout runs out";

    const std::uint8_t command[] = {0x30, 0x20};
    ASSERT_TRUE(platform::writeBytes(port, command, 2));
    ASSERT_TRUE(platform::setReadTimeout(port, 15000));
    ASSERT_TRUE(platform::readByte(port, byte, gotByte));
    ASSERT_TRUE(gotByte);
    EXPECT_EQ(byte, 0x14);
    ASSERT_TRUE(device.waitForLogLine("hangup", 1, 15000));
    bool failed = false;
    for (int attempt = 0; attempt < 3 && !failed; ++attempt) {
        failed = !platform::readByte(port, byte, gotByte);
    }
    EXPECT_TRUE(failed) << "a hang-up is a read error, not a timeout";
    EXPECT_EQ(platform::lastErrorCode(), EIO);
    EXPECT_FALSE(platform::writeBytes(port, command, 2));
    platform::closeComPort(port);
}

// A port left by a terminal echoes, translates line ends both ways and
// takes XON/XOFF and signal characters for itself until it is set raw: the
// controller must get exactly the bytes written, and the program exactly
// the bytes sent.
TEST_F(PosixPlatform, BytesPassUnchangedOnAPortLeftByATerminal) {
    EmulatorProcess& device = emulate(
        "ttyUSB0", {"--left-by=terminal", "--reply-bytes=0d0a130d03", "--startup-ms=0", "--boot-ms=0", "--listen-until-ms=60000"});
    const platform::PortHandle port = openConfigured(1, 10);
    ASSERT_NE(port, platform::kNoPort);
    const std::uint8_t command[] = {0x30, 0x20, 0x0a};
    ASSERT_TRUE(platform::writeBytes(port, command, sizeof command));
    std::vector<int> reply;
    for (int index = 0; index < 5; ++index) {
        std::uint8_t byte = 0;
        bool gotByte = false;
        ASSERT_TRUE(platform::readByte(port, byte, gotByte));
        if (!gotByte) {
            break;
        }
        reply.push_back(byte);
    }
    EXPECT_EQ(reply, (std::vector<int>{0x0d, 0x0a, 0x13, 0x0d, 0x03}));
    // An echo of the reply would reach the emulator before this last byte.
    const std::uint8_t last = 0x55;
    ASSERT_TRUE(platform::writeBytes(port, &last, 1));
    ASSERT_TRUE(device.waitForLogLine("rx 55", 1, 15000));
    EXPECT_EQ(received(device), (std::vector<std::string>{"30", "20", "0a", "55"}));
    platform::closeComPort(port);
}

// A pseudo-terminal (a simulator's virtual port) keeps what was not read
// across a close, where a serial driver drops it: the close must throw it
// away, or a stale reply would greet the next probe. A bare pty, since the
// emulator drops stale input itself, as a real driver does.
TEST_F(PosixPlatform, ACloseThrowsAwayWhatWasNotRead) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    // Held open here too, as a simulator holds it, so that the pty stays.
    const int held = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    fs::create_symlink(ptsname(master), kRoot / "dev/ttyUSB0");
    char names[64];
    ASSERT_GT(platform::queryDeviceNames(names, sizeof names), 0U);
    platform::PortHandle port = openConfigured(1, 1);
    ASSERT_EQ(write(master, "\x14", 1), 1);
    pollfd readable{static_cast<int>(port), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 15000), 1);
    platform::closeComPort(port);
    port = openConfigured(1, 1);
    std::uint8_t byte = 0;
    bool gotByte = true;
    EXPECT_TRUE(platform::readByte(port, byte, gotByte));
    EXPECT_FALSE(gotByte) << "read 0x" << std::hex << int{byte} << " that the last open left";
    platform::closeComPort(port);
    close(held);
    close(master);
}

// A port whose output is held back (XOFF, or CTS low under flow control)
// takes no byte: the write gives up after the read timeout (well within
// four times it), or at once when the device goes away meanwhile.
TEST_F(PosixPlatform, AWriteHeldBackGivesUpAtTheTimeoutOrTheHangUp) {
    emulate("ttyUSB0", {"--hold-output=yes"});
    // Hung up 2 s after the open: while the write below waits, unless the
    // machine is slower than that, when the write fails at its start alike.
    emulate("ttyUSB1", {"--hold-output=yes", "--hangup-on-open=1", "--hangup-delay-ms=2000"});
    const std::uint8_t command[] = {0x30, 0x20};

    const platform::PortHandle held = openConfigured(1, 1);
    ASSERT_NE(held, platform::kNoPort);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::writeBytes(held, command, 2));
    EXPECT_EQ(platform::lastErrorCode(), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    platform::closeComPort(held);

    const platform::PortHandle unplugged = openConfigured(2, 60);
    ASSERT_NE(unplugged, platform::kNoPort);
    EXPECT_FALSE(platform::writeBytes(unplugged, command, 2));
    EXPECT_EQ(platform::lastErrorCode(), EIO) << "a hang-up, not the 60 s timeout";
    platform::closeComPort(unplugged);
}

TEST_F(PosixPlatform, ProbesLeaveNoDescriptorOpen) {
    emulate("ttyUSB0");
    emulate("ttyUSB1", {"--reply=silent"});
    emulate("ttyUSB2", {"--reply=hangup-mid-reply"});
    runSettings.timeoutSeconds = 1;
    const std::size_t before = openDescriptors();
    EXPECT_TRUE(probePort(1));
    EXPECT_FALSE(probePort(2));
    EXPECT_FALSE(probePort(3));
    EXPECT_FALSE(probePort(4));
    EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
