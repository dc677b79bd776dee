// The real program (built to look for devices under the build tree) against
// emulated controllers on pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
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
    DeviceCase{"WrongOrder", {"--reply=reversed"}, {"timeout=1"}, 0,
               {"       - Read (0x10)", "       - Read (0x14)"}},
    DeviceCase{"OneByte", {"--reply=one-byte"}, {"timeout=1"}, 0,
               {"       - Read (0x14)", "       - Read NULL"}},
    DeviceCase{"Silent", {"--reply=silent"}, {"timeout=1"}, 0, {"       - Read NULL"}},
    DeviceCase{"ThreeBytes", {"--reply=three-bytes"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"NoiseAfterEachOpen", {"--noise-on-open=55"}, {"timeout=1"}, 0,
               {"       - Read (0x55)", "       - Read (0x14)"}},
    DeviceCase{"ReplyInsideTheTimeout", {"--delay-ms=1400"}, {"timeout=2"}, 1, kAnswered},
    DeviceCase{"ReplyOutsideTheTimeout", {"--delay-ms=3000"}, {"timeout=2"}, 0, {"       - Read NULL"}},
    DeviceCase{"AnswersAtItsSpeed", {"--baud=115200"}, {"baudrate=115200"}, 1, kAnswered},
    DeviceCase{"SilentAtAnotherSpeed", {"--baud=115200"}, {"timeout=1"}, 0, {"       - Read NULL"}},
    DeviceCase{"PortLeftByATerminal", {"--left-by=terminal"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"PortLeftWithDtrHigh", {"--left-by=no-hupcl"}, {"timeout=1"}, 1, kAnswered},
    DeviceCase{"HangsUpMidReply", {"--reply=hangup-mid-reply"}, {"timeout=2"}, 0,
               {"       - Read (0x14)", "       - Error Reading (5)"}},
    DeviceCase{"UnpluggedDuringTheWait", {"--hangup-on-open=2", "--hangup-delay-ms=200"}, {"timeout=2"}, 0,
               {"(COM1 Failed to send command"}},
    DeviceCase{"FloodsWithoutEnd", {"--reply=flood"}, {"timeout=1"}, 0,
               {"       - Read (0xAA)", "       - Read (0xAA)"}}
), [](const testing::TestParamInfo<DeviceCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(EndToEnd, ListReportOverThreePorts) {
    emulate("ttyUSB0");
    emulate("ttyUSB1", {"--reply=silent"});
    emulate("ttyUSB2", {"--reply=reversed"});
    const RunResult result = run({"timeout=1", "list"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines({"Available COM ports", "-------------------", "COM1  - Quillfern",
                                        "COM2  - None", "COM3  - None", "-------------------",
                                        "Total:  3 ports", "Quillfern:  1 found"}));
}

TEST_F(EndToEnd, ComNumbersFollowTheDeviceFamiliesInOrder) {
    // ttyS0 has no UART (type 0) and is no port; ttyS1 has one and comes
    // first; then USB before ACM, each family by number (2 before 10).
    const auto uart = [](const std::string& name, const char* type) {
        fs::create_directories(kRoot / "sys/class/tty" / name);
        std::ofstream(kRoot / "sys/class/tty" / name / "type") << type << "\n";
    };
    uart("ttyS0", "0");
    uart("ttyS1", "4");
    emulate("ttyS0");
    emulate("ttyS1", {"--reply=silent"});
    emulate("ttyACM0", {"--reply=silent"});
    emulate("ttyUSB10", {"--reply=silent"});
    emulate("ttyUSB2", {"--reply=reversed"});
    const RunResult result = run({"timeout=1", "list"});
    EXPECT_EQ(result.stdoutText, lines({"Available COM ports", "-------------------", "COM1  - None",
                                        "COM2  - None", "COM3  - None", "COM4  - None", "-------------------",
                                        "Total:  4 ports", "Quillfern:  0 found"}));
    EXPECT_EQ(run({"com=2", "baudrate=9600"}).exitStatus, 0) << "COM2 is ttyUSB2, which answers wrongly";
}

TEST_F(EndToEnd, APortHeldByAnotherProgramIsMissingAndUndisturbed) {
    EmulatorProcess& held = emulate("ttyUSB0", {"--noise-on-open=5a"});
    const int holder = open((kRoot / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(held.waitForLogLine("open 1", 1, 10000));
    // Wait until the noise has reached the holder's side before the run.
    pollfd ready{holder, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);

    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines({"Testing COM1", "(COM1): Opening port", "(COM1): Invalid COM port",
                                        "(COM1): Failed to open port", "Failed to find Quillfern Controller"}));
    unsigned char byte = 0;
    EXPECT_EQ(read(holder, &byte, 1), 1);
    EXPECT_EQ(byte, 0x5A) << "the holder's bytes were not consumed";
    close(holder);
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
    // none; its notes about them are the only lines allowed.
    std::ifstream report(log);
    std::string line;
    while (std::getline(report, line)) {
        const bool ioctlNote = line.find("unhandled ioctl 0x540") != std::string::npos ||
                               line.find("spurious value errors") != std::string::npos ||
                               line.find("README_MISSING_SYSCALL_OR_IOCTL") != std::string::npos;
        EXPECT_TRUE(ioctlNote) << line;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Paths, Memcheck, testing::Values(
    MemcheckCase{"Found", {"verbose", "timeout=1"}, 3},
    MemcheckCase{"ChosenMissingPort", {"com=9", "verbose"}, 0},
    MemcheckCase{"List", {"timeout=1", "list"}, 0},
    MemcheckCase{"Help", {"help"}, 0},
    MemcheckCase{"UsageError", {"com=4294967297"}, 0}
), [](const testing::TestParamInfo<MemcheckCase>& param) { return std::string(param.param.name); });
// clang-format on
#endif

}  // namespace
