// The real program (built to look for devices under the build tree) against
// emulated controllers on pseudo-terminals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "emulator_process.h"
#include "transcript.h"
#include "tests/e2e/device_root.h"

namespace {

namespace fs = std::filesystem;
using testsupport::EmulatorProcess;
using testsupport::RunResult;
using testsupport::join;
using testsupport::kAnswered;
using testsupport::lines;
using testsupport::oneDeviceRun;
using testsupport::probeLines;
using testsupport::reading;

const std::string kProgram = QUILLFIND_DEVROOT_PROGRAM;

// Every run is bounded well above what its probes may take.
constexpr int kRunBoundSeconds = 60;

class EndToEnd : public testsupport::DeviceRootTest {
protected:
    static RunResult run(const std::vector<std::string>& words, const std::vector<std::string>& runner = {}) {
        std::vector<std::string> argv = runner;
        argv.push_back(kProgram);
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult result = testsupport::runProgram(argv, kRunBoundSeconds);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.stderrText, "") << "nothing goes to standard error";
        return result;
    }

    static std::string device(const std::string& name) { return (kRoot / "dev" / name).string(); }
};

TEST_F(EndToEnd, ControllerOnTheSecondPortIsFoundAfterTheFirstIsProbed) {
    EmulatorProcess& silent = emulate("ttyUSB0", {"--reply=silent"});
    EmulatorProcess& controller = emulate("ttyUSB1");
    const RunResult result = run({"timeout=1", "verbose"});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.stdoutText,
              lines(join({probeLines(1, 1, reading(1, {"       - Read NULL"})), probeLines(2, 1, reading(2, kAnswered)),
                          {"(COM2): Valid response", "Found Quillfern Controller on COM2"}})));
    EXPECT_EQ(silent.countLogLines("open 2"), 1U) << "the first port was probed, twice opened";
    EXPECT_EQ(controller.countLogLines("rx 30"), 1U);
}

TEST_F(EndToEnd, SilentByDefault) {
    emulate("ttyUSB0");
    const RunResult result = run({});
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.stdoutText, "");
}

TEST_F(EndToEnd, ChosenPortAndAllPorts) {
    emulate("ttyUSB0", {"--reply=silent"});
    EmulatorProcess& controller = emulate("ttyUSB1");
    EmulatorProcess& other = emulate("ttyUSB2");

    RunResult result = run({"com=3"});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(controller.countLogLines("rx 30"), 0U) << "only the chosen port is probed";

    result = run({"com=9", "verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines({"Testing COM9", "(COM9): Opening port", "(COM9): Invalid COM port",
                                        "(COM9): Failed to open port", "Failed to find Quillfern Controller"}));

    result = run({"allports", "timeout=1"});
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(other.countLogLines("rx 30"), 1U) << "only the com=3 run reached the third port";
}

TEST_F(EndToEnd, AllPortsWithNothingBehindTheNumbersEndsQuickly) {
    const RunResult result = run({"allports", "verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.stdoutText.find("(COM99): Failed to open port\nFailed to find Quillfern Controller\n"),
              std::string::npos);
}

struct DeviceCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> words;
    int status;
    std::vector<std::string> readLines;
};

void PrintTo(const DeviceCase& param, std::ostream* out) { *out << param.name; }

class Device : public EndToEnd, public testing::WithParamInterface<DeviceCase> {};

TEST_P(Device, OnlyTheExactReplyAnswers) {
    const DeviceCase& device = GetParam();
    emulate("ttyUSB0", device.options);
    std::vector<std::string> words = device.words;
    words.push_back("verbose");
    const RunResult result = run(words);
    EXPECT_EQ(result.exitStatus, device.status);
    EXPECT_EQ(result.stdoutText, lines(oneDeviceRun(1, words, device.status, device.readLines)));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Replies, Device, testing::Values(
    DeviceCase{"Answers", {}, {}, 1, kAnswered},
    // The command held from the end of the start-up delay (one at one second is late), or sent again when it swallowed it.
    DeviceCase{"AnswersTheCommandItHeld", {"--boot-ms=900", "--listen-until-ms=950"}, {}, 1, kAnswered},
    DeviceCase{"AnswersTheCommandSentAgain", {"--startup-ms=900"}, {}, 1, kAnswered},
    DeviceCase{"WrongOrder", {"--reply=reversed"}, {"timeout=1"}, 0,
               {"       - Read (0x10)", "       - Read (0x14)"}},
    DeviceCase{"OneByte", {"--reply=one-byte"}, {"timeout=1"}, 0,
               {"       - Read (0x14)", "       - Read NULL"}},
    DeviceCase{"Silent", {"--reply=silent"}, {"timeout=1"}, 0, {"       - Read NULL"}},
    DeviceCase{"ThreeBytes", {"--reply=three-bytes"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"NoiseAfterEachOpen", {"--noise-on-open=55"}, {"timeout=1"}, 0,
               {"       - Read (0x55)", "       - Read (0x14)"}},
    // Each 1.5 s or more from the end of the timeout, which a loaded
    // machine's scheduling of two processes cannot make up.
    DeviceCase{"ReplyInsideTheTimeout", {"--delay-ms=500"}, {"timeout=2"}, 1, kAnswered},
    DeviceCase{"ReplyOutsideTheTimeout", {"--delay-ms=4000"}, {"timeout=2"}, 0, {"       - Read NULL"}},
    DeviceCase{"AnswersAtItsSpeed", {"--baud=115200"}, {"baudrate=115200"}, 1, kAnswered},
    DeviceCase{"SilentAtAnotherSpeed", {"--baud=115200"}, {"timeout=1"}, 0, {"       - Read NULL"}},
    DeviceCase{"PortLeftByATerminal", {"--left-by=terminal"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"PortLeftWithDtrHigh", {"--left-by=no-hupcl"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"PortLeftWithCtsHandshake", {"--left-by=cts-flow"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"PortLeftWithXonXoffAndAnXoffAtOpen", {"--left-by=xon-xoff"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"HangsUpMidReply", {"--reply=hangup-mid-reply"}, {"timeout=2"}, 0,
               {"       - Read (0x14)", "       - Error Reading (5)"}},
    DeviceCase{"UnpluggedDuringTheWait", {"--hangup-on-open=2", "--hangup-delay-ms=200"}, {"timeout=2"}, 0,
               {"(COM1 Failed to send command"}},
    DeviceCase{"OutputHeldBack", {"--hold-output=yes"}, {"timeout=1"}, 0, {"(COM1 Failed to send command"}},
    DeviceCase{"FloodsWithoutEnd", {"--reply=flood"}, {"timeout=1"}, 0,
               {"       - Read (0xAA)", "       - Read (0xAA)"}}
), [](const testing::TestParamInfo<DeviceCase>& param) { return std::string(param.param.name); });
// clang-format on

// A driver that takes the settings but keeps its speed would have the
// command go out at the wrong speed; the read-back of the speed tells.
TEST_F(EndToEnd, ADriverThatKeepsItsSpeedFailsTheSetup) {
    emulate("ttyUSB0", {"--driver-keeps-speed=yes"});
    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText,
              lines({"Testing COM1", "(COM1): Opening port", "(COM1): Testing COM state", "       - Getting COM state",
                     "       - Updating COM state", "       - Failed setting COM state",
                     "(COM1): Failed to test COM port", "(COM1): Failed to open port",
                     "Failed to find Quillfern Controller"}));
}

TEST_F(EndToEnd, ListReportOverThreePorts) {
    emulate("ttyUSB0");
    emulate("ttyUSB1", {"--reply=silent"});
    emulate("ttyUSB2", {"--reply=reversed"});
    const RunResult result = run({"timeout=1", "list"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines({"Available COM ports", "-------------------",
                                        "COM1  - Quillfern " + device("ttyUSB0"), "COM2  - None      " + device("ttyUSB1"),
                                        "COM3  - None      " + device("ttyUSB2"), "-------------------",
                                        "Total:  3 ports", "Quillfern:  1 found"}));
}

// A list probes at once and prints, byte for byte, the ports probed one after another: the
// refused port ends first and the silent one last, but each prints in the list's place.
TEST_F(EndToEnd, VerboseListProbesAtOnceAndPrintsAsOneAfterAnother) {
    const std::vector<std::string> options = {"--reply=ok", "--reply=silent", "--refuse-open=eio",
                                              "--reply=hangup-mid-reply", "--reply=ok"};
    for (std::size_t index = 0; index < options.size(); ++index) {
        emulate("ttyUSB" + std::to_string(index), {options[index]});
    }
    const RunResult result = run({"verbose", "timeout=2", "list"});
    const std::vector<std::vector<std::string>> reads = {
        join({kAnswered, {"(COM1): Valid response"}}), {"       - Read NULL"}, {},
        {"       - Read (0x14)", "       - Error Reading (5)"}, join({kAnswered, {"(COM5): Valid response"}})};
    std::vector<std::string> expected = {"Available COM ports", "-------------------"};
    for (int port = 1; port <= 5; ++port) {
        const std::string name = "ttyUSB" + std::to_string(port - 1);
        const std::vector<std::string> refused = {"Testing COM3", "(COM3): Opening port", "(COM3): Invalid COM port",
                                                  "       - " + device(name) + ": Input/output error",
                                                  "(COM3): Failed to open port"};
        const std::vector<std::string>& read = reads[static_cast<std::size_t>(port - 1)];
        expected = join({expected, port == 3 ? refused : probeLines(port, 2, reading(port, read)),
                         {"COM" + std::to_string(port) + "  - " + (port % 4 == 1 ? "Quillfern " : "None      ") +
                          device(name)}});
    }
    expected = join({expected, {"-------------------", "Total:  5 ports", "Quillfern:  2 found"}});
    EXPECT_EQ(result.stdoutText, lines(expected));
}

TEST_F(EndToEnd, ComNumbersFollowTheDeviceFamiliesInOrderAndLeaveOutTheConsole) {
    // Plain files stand for the devices that only need a number: they open,
    // are no tty, and fail at once. Each family goes by number, so 2 comes
    // before 10; ttyS0 has no UART and ttyS1 is the kernel's console.
    const auto node = [](const std::string& name) { std::ofstream(kRoot / "dev" / name) << ""; };
    const auto uart = [](const std::string& name, const char* type) {
        fs::create_directories(kRoot / "sys/class/tty" / name);
        std::ofstream(kRoot / "sys/class/tty" / name / "type") << type << "\n";
    };
    fs::create_directories(kRoot / "sys/class/tty/console");
    std::ofstream(kRoot / "sys/class/tty/console/active") << "tty0 ttyS1\n";
    for (const auto& [name, type] : {std::pair{"ttyS0", "0"}, {"ttyS1", "4"}, {"ttyS2", "4"}, {"ttyS10", "4"}}) {
        uart(name, type);
    }
    for (const char* name : {"ttyS0", "ttyS2", "ttyS10", "ttyUSB10", "ttyUSB2", "ttyAMA0", "ttyUSB", "ttyACMx", "tty0"}) {
        node(name);
    }
    EmulatorProcess& console = emulate("ttyS1");
    EmulatorProcess& controller = emulate("ttyACM0");

    const RunResult listing = run({"timeout=1", "list"});
    std::vector<std::string> expected = {"Available COM ports", "-------------------"};
    int com = 0;
    for (const char* name : {"ttyACM0", "ttyUSB2", "ttyUSB10", "ttyS2", "ttyS10", "ttyAMA0"}) {
        const std::string outcome = std::string(name) == "ttyACM0" ? "Quillfern" : "None     ";
        expected.push_back("COM" + std::to_string(++com) + "  - " + outcome + " " + device(name));
    }
    expected.insert(expected.end(), {"-------------------", "Total:  6 ports", "Quillfern:  1 found"});
    EXPECT_EQ(listing.stdoutText, lines(expected));

    const RunResult search = run({"device"});
    EXPECT_EQ(search.exitStatus, 1) << "the USB device comes before every UART";
    EXPECT_EQ(search.stdoutText, device("ttyACM0") + "\n") << "the device word names where it answered";
    EXPECT_EQ(controller.countLogLines("rx 30"), 2U);
    EXPECT_EQ(console.countLogLines("open 1"), 0U) << "the console is never opened";
}

// A Raspberry Pi 3 or 4 as its kernel lays the ports out: the PL011 at
// ttyAMA0 held by Bluetooth's HCI line discipline (the null one stands in,
// HCI needing the hci_uart module), the mini UART at ttyS0, the serial0 and
// serial1 links, and cmdline.txt's console on serial0, then taken off it.
// Controllers at ttyUSB0 and ttyS0: the USB one answers first.
TEST_F(EndToEnd, RaspberryPiPortsSkipBluetoothAndTheConsoleAndPutUsbFirst) {
    fs::create_directories(kRoot / "sys/class/tty/ttyS0");
    fs::create_directories(kRoot / "sys/class/tty/console");
    std::ofstream(kRoot / "sys/class/tty/ttyS0/type") << "4\n";
    std::ofstream(kRoot / "sys/class/tty/console/active") << "tty1 ttyS0\n";
    emulate("ttyAMA0", {"--line-discipline=27"});
    EmulatorProcess& miniUart = emulate("ttyS0");
    emulate("ttyUSB0");
    fs::create_symlink("ttyS0", kRoot / "dev/serial0");
    fs::create_symlink("ttyAMA0", kRoot / "dev/serial1");
    EXPECT_EQ(run({"timeout=1", "list"}).stdoutText,
              lines({"Available COM ports", "-------------------", "COM1  - Quillfern " + device("ttyUSB0"),
                     "COM2  - None      " + device("ttyAMA0"), "-------------------", "Total:  2 ports",
                     "Quillfern:  1 found"}));
    EXPECT_EQ(miniUart.countLogLines("open 1"), 0U) << "the console is never opened";

    std::ofstream(kRoot / "sys/class/tty/console/active") << "tty1\n";
    EXPECT_EQ(run({"timeout=1", "list"}).stdoutText,
              lines({"Available COM ports", "-------------------", "COM1  - Quillfern " + device("ttyUSB0"),
                     "COM2  - Quillfern " + device("ttyS0"), "COM3  - None      " + device("ttyAMA0"),
                     "-------------------", "Total:  3 ports", "Quillfern:  2 found"}));
    const RunResult search = run({"device"});
    EXPECT_EQ(search.exitStatus, 1);
    EXPECT_EQ(search.stdoutText, device("ttyUSB0") + "\n");
}

// sysfs as the kernel lays it out for a ttyACM on an interface of a
// composite device, a ttyUSB behind its usb-serial port and a ttyS with a
// UART, with by-id links; plain files stand for the two that only need a
// number. The descriptor strings are the device's choice: a quote, a
// backslash, a control character and a byte that is no UTF-8 reach a real
// JSON reader intact (the byte as U+FFFD), the verbose lines going to
// standard error.
TEST_F(EndToEnd, JsonListCarriesEachIdentityToAJsonReader) {
    const fs::path usb = kRoot / "sys/devices/pci0000:00/0000:00:14.0/usb1";
    const std::pair<fs::path, std::string> files[] = {
        {usb / "1-2/idVendor", "2341\n"}, {usb / "1-2/idProduct", "8036\n"},
        {usb / "1-2/serial", "S\"\\\x01\xfe" "9\n"}, {usb / "1-2/product", "Leonardo\n"},
        {usb / "1-2/1-2:1.2/bInterfaceNumber", "02\n"}, {usb / "1-2/1-2:1.2/interface", "Debug Port\n"},
        {usb / "1-1.4/idVendor", "0403\n"}, {usb / "1-1.4/idProduct", "6001\n"},
        {usb / "1-1.4/serial", "A50285BI\n"}, {usb / "1-1.4/manufacturer", "FTDI\n"},
        {usb / "1-1.4/product", "FT232R USB UART\n"}, {usb / "1-1.4/1-1.4:1.0/bInterfaceNumber", "00\n"},
        {usb / "1-1.4/1-1.4:1.0/ttyUSB0/uevent", ""}, {kRoot / "sys/devices/pnp0/00:01/uevent", ""},
        {kRoot / "sys/class/tty/ttyS0/type", "4\n"}, {kRoot / "dev/ttyUSB0", ""}, {kRoot / "dev/ttyS0", ""}};
    for (const auto& [path, text] : files) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    for (const auto& [name, device] : {std::pair{"ttyACM0", usb / "1-2/1-2:1.2"}, {"ttyUSB0", usb / "1-1.4/1-1.4:1.0/ttyUSB0"},
                                       {"ttyS0", kRoot / "sys/devices/pnp0/00:01"}}) {
        fs::create_directories(kRoot / "sys/class/tty" / name);
        fs::create_directory_symlink(device, kRoot / "sys/class/tty" / name / "device");
    }
    fs::create_directories(kRoot / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB0", kRoot / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    fs::create_symlink("../../ttyACM0", kRoot / "dev/serial/by-id/usb-Arduino_LLC_Leonardo-if02");
    emulate("ttyACM0");
    const RunResult result = testsupport::runProgram({kProgram, "verbose", "list", "json"}, kRunBoundSeconds);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.stderrText.find("(COM1): Valid response\n"), std::string::npos) << result.stderrText;
    std::ofstream(kRoot / "list.json") << result.stdoutText;
    const RunResult parsed = testsupport::runProgram(
        {"python3", "-c",
         "import json, sys\nd = json.load(open(sys.argv[1]))\nprint(d['total'], d['found'])\nfor p in d['ports']: "
         "print(ascii([p[k] for k in ('com', 'device', 'answered', 'bus', 'vendor_id', 'product_id', 'interface', "
         "'serial_number', 'manufacturer', 'product', 'description', 'location', 'stable_path')]))",
         (kRoot / "list.json").string()},
        kRunBoundSeconds);
    if (!parsed.startError.empty() && std::getenv("CI") == nullptr) {
        GTEST_SKIP() << "python3 cannot run here: " << parsed.startError;
    }
    EXPECT_EQ(parsed.stdoutText,
              lines({"3 1",
                     "[1, '" + device("ttyACM0") + "', True, 'usb', '2341', '8036', 2, 'S\"\\\\\\x01\\ufffd9', None, "
                         "'Leonardo', 'Debug Port', '1-2', '" + device("serial/by-id/usb-Arduino_LLC_Leonardo-if02") + "']",
                     "[2, '" + device("ttyUSB0") + "', False, 'usb', '0403', '6001', 0, 'A50285BI', 'FTDI', "
                         "'FT232R USB UART', 'FT232R USB UART', '1-1.4', '" +
                         device("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0") + "']",
                     "[3, '" + device("ttyS0") + "', False, 'builtin', None, None, None, None, None, None, None, None, None]"}))
        << result.stdoutText << parsed.stderrText;
}

TEST_F(EndToEnd, SerialNumberInAnotherCaseFindsTheSecondControllerAndNeverOpensTheFirst) {
    for (const auto& [tty, serial] : {std::pair{"ttyACM0", "A1B2\n"}, {"ttyACM1", "C3D4\n"}}) {
        const fs::path usb = kRoot / "sys/devices/usb1" / (std::string("1-") + tty[6]);
        fs::create_directories(usb);
        std::ofstream(usb / "idVendor") << "2341\n";
        std::ofstream(usb / "serial") << serial;
        fs::create_directories(kRoot / "sys/class/tty" / tty);
        fs::create_directory_symlink(usb, kRoot / "sys/class/tty" / tty / "device");
    }
    EmulatorProcess& first = emulate("ttyACM0");
    emulate("ttyACM1");
    EXPECT_EQ(run({"serial=c3d4"}).exitStatus, 2);
    EXPECT_EQ(first.countLogLines("open 1"), 0U);
}

// Another program holds the port: with the advisory lock, or with only the
// tty's exclusive mark. The kernel enforces the mark against everyone but
// root, so only as root does the open get as far as the program's own check
// of the mark; as an ordinary user the row would pass without reaching it.
class HeldPort : public EndToEnd, public testing::WithParamInterface<bool> {};

TEST_P(HeldPort, IsMissingToTheSearchAndUndisturbed) {
    const bool byLock = GetParam();
    if (!byLock && geteuid() != 0) {
        GTEST_SKIP() << "needs root: as another user the kernel refuses the open (EBUSY) before the program "
                        "reads the exclusive mark";
    }
    EmulatorProcess& held = emulate("ttyUSB0", {"--noise-on-open=5a"});
    const int holder = open((kRoot / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    const bool markReadable = !testsupport::exclusiveMarkUnreadable(holder);
    if (!byLock && !markReadable) {
        close(holder);
        GTEST_SKIP() << testsupport::kQemuCannotShow;
    }
    ASSERT_EQ(byLock ? flock(holder, LOCK_EX | LOCK_NB) : ioctl(holder, TIOCEXCL), 0);
    ASSERT_TRUE(held.waitForLogLine("open 1", 1, 10000));
    // Wait until the noise has reached the holder's side before the run.
    pollfd ready{holder, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);

    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText,
              lines({"Testing COM1", "(COM1): Opening port", "(COM1): Invalid COM port",
                     "       - " + device("ttyUSB0") + ": in use by another program", "(COM1): Failed to open port",
                     "Failed to find Quillfern Controller"}));
    unsigned char byte = 0;
    EXPECT_EQ(read(holder, &byte, 1), 1);
    EXPECT_EQ(byte, 0x5A) << "the holder's bytes were not consumed";
    int marked = 0;
    ASSERT_TRUE(!markReadable || ioctl(holder, TIOCGEXCL, &marked) == 0);
    EXPECT_EQ(marked != 0, !byLock) << "the holder's exclusive mark is the holder's to clear";
    close(holder);
}

INSTANTIATE_TEST_SUITE_P(Holders, HeldPort, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& param) {
                             return std::string(param.param ? "Lock" : "ExclusiveMark");
                         });

// Why an open failed is told in one line after "Invalid COM port", except
// when there is simply no device. The program runs without any capability,
// so that the kernel checks it against the file's permissions as it would an
// ordinary user; a switch to another user would also need every folder above
// the build tree to be open to that user.
struct OpenFailureCase {
    const char* name;
    std::function<void(const fs::path&)> make;
    std::string reason;  // after the device path; empty: no line
};

void PrintTo(const OpenFailureCase& param, std::ostream* out) { *out << param.name; }

class OpenFailure : public EndToEnd, public testing::WithParamInterface<OpenFailureCase> {};

// A device of user nobody and group dialout (the group of serial ports on
// Debian), with the given permissions. Giving it away needs root.
void giveToNobody(const fs::path& node, fs::perms permissions) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the device is given to user nobody and group dialout";
    }
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr) << "this system has no group dialout, which these rows give the device to";
    std::ofstream(node) << "";
    ASSERT_EQ(chown(node.c_str(), 65534, dialout->gr_gid), 0);
    fs::permissions(node, permissions);
}

TEST_P(OpenFailure, IsExplainedUnderTheInvalidPortLine) {
    const fs::path node = kRoot / "dev/ttyACM0";
    GetParam().make(node);
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    const RunResult result = run({"verbose"}, {"setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"});
    std::vector<std::string> expected = {"Testing COM1", "(COM1): Opening port", "(COM1): Invalid COM port"};
    if (!GetParam().reason.empty()) {
        expected.push_back("       - " + node.string() + ": " + GetParam().reason);
    }
    expected.insert(expected.end(), {"(COM1): Failed to open port", "Failed to find Quillfern Controller"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines(expected));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Reasons, OpenFailure, testing::Values(
    OpenFailureCase{"NotInTheDevicesGroup", [](const fs::path& node) {
        giveToNobody(node, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write);
    }, "permission denied (the port belongs to group dialout; add yourself to it and log in again)"},
    OpenFailureCase{"NoGroupMayUseIt", [](const fs::path& node) {
        giveToNobody(node, fs::perms::owner_read | fs::perms::owner_write);
    }, "permission denied"},
    OpenFailureCase{"AnyOtherError", [](const fs::path& node) { fs::create_directory(node); }, "Is a directory"},
    OpenFailureCase{"UnpluggedSinceListed", [](const fs::path& node) {
        fs::create_symlink(node.parent_path() / "gone", node);
    }, ""}
), [](const testing::TestParamInfo<OpenFailureCase>& param) { return std::string(param.param.name); });
// clang-format on

// A kernel driver's link (here the null line discipline a test may set on
// a pty) is skipped like a port in use, before anything on it is changed.
TEST_F(EndToEnd, TtyWithAnotherLineDisciplineIsLeftToTheKernel) {
    EmulatorProcess& link = emulate("ttyUSB0", {"--line-discipline=27"});
    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText,
              lines({"Testing COM1", "(COM1): Opening port", "(COM1): Invalid COM port",
                     "       - " + device("ttyUSB0") + ": in use by the kernel (line discipline 27)",
                     "(COM1): Failed to open port", "Failed to find Quillfern Controller"}));
    EXPECT_EQ(link.countLogLines("open 2"), 0U);
}

// A watch read through a pipe, as a script reads it: each line comes as its
// event happens, and the watch ends once its reader has gone.
TEST_F(EndToEnd, WatchStreamsAControllerComingAndGoing) {
    std::FILE* pipe = popen(("exec timeout 60 " + kProgram + " watch").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    const auto nextLine = [fd = fileno(pipe)] {
        std::string line;
        pollfd ready{fd, POLLIN, 0};
        for (char byte = 0; poll(&ready, 1, 10000) == 1 && read(fd, &byte, 1) == 1 && byte != '\n';) line += byte;
        return line;
    };
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EmulatorProcess& controller = emulate("ttyACM0");
    EXPECT_EQ(nextLine(), "COM1  - Quillfern " + device("ttyACM0"));
    controller.stop();
    EXPECT_EQ(nextLine(), "COM1  - Gone      " + device("ttyACM0"));
    EXPECT_EQ(pclose(pipe), 0);
}

// The controller is plugged in after the program started: the test starts
// its emulator while the program runs, from this thread, since an emulator
// dies with the thread that started it.
struct AppearingCase {
    const char* name;
    std::string waitWord;
    int status;
};

void PrintTo(const AppearingCase& param, std::ostream* out) { *out << param.name; }

class PortAppearing : public EndToEnd, public testing::WithParamInterface<AppearingCase> {};

TEST_P(PortAppearing, IsProbedWhileTimeIsLeft) {
    // A silent UART that is COM1 until the controller comes and then COM2:
    // a wait that knew ports by number would probe it again as new.
    fs::create_directories(kRoot / "sys/class/tty/ttyS0");
    std::ofstream(kRoot / "sys/class/tty/ttyS0/type") << "4\n";
    EmulatorProcess& uart = emulate("ttyS0", {"--reply=silent"});
    RunResult result;
    std::thread program([&result] { result = run({GetParam().waitWord, "timeout=1", "device"}); });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EmulatorProcess& controller = emulate("ttyACM0");
    program.join();
    EXPECT_EQ(result.exitStatus, GetParam().status) << "the USB device is COM1 now, before the UART";
    EXPECT_EQ(result.stdoutText, GetParam().status != 0 ? device("ttyACM0") + "\n" : "");
    EXPECT_EQ(controller.countLogLines("rx 30"), GetParam().status != 0 ? 1U : 0U);
    EXPECT_TRUE(uart.waitForLogLine("open 2", 1, 10000)) << "the search probed the UART";
    EXPECT_EQ(uart.countLogLines("open 3"), 0U) << "and the wait did not probe it again";
}

INSTANTIATE_TEST_SUITE_P(Waits, PortAppearing,
                         testing::Values(AppearingCase{"WithinTheWait", "wait=8", 1},
                                         AppearingCase{"AfterTheWait", "wait=1", 0}),
                         [](const testing::TestParamInfo<AppearingCase>& param) {
                             return std::string(param.param.name);
                         });

// A new device node is there before udev has given it its group: the first
// opens are refused, and the wait tries again until one gets through. The
// program runs without capabilities, so that root is held to the node's
// permissions (see OpenFailure).
TEST_F(EndToEnd, PortRefusedAtFirstIsFoundOnceItMayBeOpened) {
    fs::create_directories(kRoot / "pending");
    EmulatorProcess& controller = emulate("../pending/ttyACM0");
    const fs::path pty = fs::read_symlink(kRoot / "pending/ttyACM0");
    ASSERT_EQ(chmod(pty.c_str(), 0), 0);
    RunResult result;
    std::thread program([&result] {
        result = run({"wait=10", "verbose"}, {"setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"});
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    fs::create_symlink(pty, kRoot / "dev/ttyACM0");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(chmod(pty.c_str(), 0600), 0);
    program.join();
    EXPECT_EQ(result.exitStatus, 1);
    const std::string refused = "(COM1): Invalid COM port\n       - " + device("ttyACM0") + ": permission denied\n";
    EXPECT_EQ(result.stdoutText.rfind("Waiting up to 10 seconds for new COM ports\n", 0), 0U) << result.stdoutText;
    EXPECT_NE(result.stdoutText.find(refused), std::string::npos) << result.stdoutText;
    EXPECT_NE(result.stdoutText.find("Found Quillfern Controller on COM1\n"), std::string::npos);
    EXPECT_EQ(controller.countLogLines("rx 30"), 1U);
}

TEST_F(EndToEnd, DeviceFolderMissing) {
    std::error_code ignored;
    fs::remove_all(kRoot, ignored);
    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines({"Error with querydosdevice:  (2)", "Error with querydosdevice:  (2)",
                                        "Failed to get list of COM ports", "Failed to find Quillfern Controller"}));
}

TEST_F(EndToEnd, HelpAndUsageErrors) {
    RunResult result = run({"HELP"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.stdoutText.find("Usage:  " + kProgram + " [OPTIONS]\n\n"), std::string::npos);
    result = run({"com="});
    EXPECT_EQ(result.stdoutText, "Invalid usage (com=). ex. COM=5");
    EXPECT_EQ(result.exitStatus, 0);
}

#ifdef QUILLFIND_VALGRIND
// The same program under memcheck: no error and no byte left allocated at
// exit, on the paths that end in each way.
struct MemcheckCase {
    const char* name;
    std::vector<std::string> words;
    int status;
};

void PrintTo(const MemcheckCase& param, std::ostream* out) { *out << param.name; }

class Memcheck : public EndToEnd, public testing::WithParamInterface<MemcheckCase> {};

TEST_P(Memcheck, NoErrorsAndNoLeaks) {
    emulate("ttyUSB0", {"--reply=reversed"});
    emulate("ttyUSB1", {"--reply=hangup-mid-reply"});
    emulate("ttyUSB2");
    const fs::path log = kRoot / "memcheck.log";
    const RunResult result =
        run(GetParam().words, {QUILLFIND_VALGRIND, "-q", "--error-exitcode=99", "--leak-check=full",
                               "--show-leak-kinds=all", "--errors-for-leak-kinds=all",
                               "--log-file=" + log.string()});
    EXPECT_EQ(result.exitStatus, GetParam().status);
    // Memcheck knows no argument layout for TIOCEXCL and TIOCNXCL, which take
    // none, nor for TIOCGETD (0x5424), whose int the program sets before the
    // call; its notes about them are the only lines allowed.
    std::ifstream report(log);
    std::string line;
    while (std::getline(report, line)) {
        const bool ioctlNote = line.find("unhandled ioctl 0x540") != std::string::npos ||
                               line.find("unhandled ioctl 0x5424") != std::string::npos ||
                               line.find("spurious value errors") != std::string::npos ||
                               line.find("README_MISSING_SYSCALL_OR_IOCTL") != std::string::npos;
        EXPECT_TRUE(ioctlNote) << line;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Paths, Memcheck, testing::Values(
    MemcheckCase{"Found", {"verbose", "timeout=1"}, 3},
    MemcheckCase{"ChosenMissingPort", {"com=9", "verbose"}, 0},
    MemcheckCase{"WaitAfterAWrongReply", {"com=1", "timeout=1", "wait=6"}, 0},
    MemcheckCase{"List", {"timeout=1", "list"}, 0},
    MemcheckCase{"Help", {"help"}, 0},
    MemcheckCase{"UsageError", {"com=4294967297"}, 0}
), [](const testing::TestParamInfo<MemcheckCase>& param) { return std::string(param.param.name); });
// clang-format on
#endif

}  // namespace
