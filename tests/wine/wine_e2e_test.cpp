// The Windows build, run under Wine, against emulated controllers whose
// pseudo-terminals Wine's registry maps to COM ports (see wine-env.sh).
//
// Every test maps exactly the ports it needs (links under the build tree,
// one fixed path per COM number, so that a mapping made by an earlier test is
// reused and Wine's server is restarted only when the set changes), learns
// the order in which Wine lists them, starts its emulators and runs the
// program. Output goes through msvcrt in text mode, as on Windows, so every
// line ends in "\r\n".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "emulator_process.h"
#include "framing_state.h"
#include "transcript.h"

namespace {

namespace fs = std::filesystem;
using testsupport::EmulatorProcess;
using testsupport::RunResult;
using testsupport::comName;
using testsupport::found;
using testsupport::invalidPort;
using testsupport::join;
using testsupport::kAnswered;
using testsupport::kNotFound;
using testsupport::kWrongOrder;
using testsupport::oneDeviceRun;
using testsupport::probeLines;
using testsupport::reading;

const fs::path kProgram = QUILLFIND_WINDOWS_EXE;
const std::string kWineEnv = QUILLFIND_WINE_ENV;
const std::string kPrefix = QUILLFIND_WINE_PREFIX;
const fs::path kLinks = QUILLFIND_WINE_LINKS;

// A change of mappings restarts Wine's server and may build the helper; the
// script's own waits for those are bounded at a few minutes.
constexpr int kSetupBoundSeconds = 600;
// Ports are mapped and the server is ready before a run, so a run costs a
// helper start plus the probes (a few seconds at most); a read that never
// returns, or a probe per number that does not fail fast, passes this.
constexpr int kRunBoundSeconds = 90;

std::string lines(const std::vector<std::string>& list) { return testsupport::lines(list, "\r\n"); }

class WineEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::is_regular_file(kProgram))
            << kProgram.string()
            << " is missing: build the Windows program first (cmake --preset windows && cmake --build --preset "
               "windows), or point QUILLFIND_WINDOWS_EXE at it";
        fs::create_directories(kLinks);
        setenv(framing::kDirVariable, kLinks.c_str(), 1);
    }

    void TearDown() override {
        emulators_.clear();
        unsetenv(kBluetoothVariable);
        if (devicesMade_) {
            makeDevices({});
        }
    }

    // Ports-class devices that SetupAPI lists, as "ID=COMn=FriendlyName";
    // they last until the end of the test.
    void makeDevices(const std::vector<std::string>& devices) {
        std::vector<std::string> argv{kWineEnv, "devices", kPrefix};
        argv.insert(argv.end(), devices.begin(), devices.end());
        const RunResult made = testsupport::runProgram(argv, kSetupBoundSeconds);
        EXPECT_EQ(made.exitStatus, 0) << made.startError << made.stderrText;
        devicesMade_ = !devices.empty();
    }

    // wine-env-helper.c defines these names as Bluetooth links.
    static constexpr const char* kBluetoothVariable = "QUILLFIND_WINE_BLUETOOTH";

    static std::string linkOf(int port) { return (kLinks / comName(port)).string(); }

    // Maps exactly these ports to their links (emulators may start later)
    // and returns them in the order Wine lists them, which is the order a
    // search probes them in.
    static std::vector<int> mapPorts(const std::vector<int>& ports, const std::vector<int>& bluetooth = {}) {
        std::vector<std::string> argv{kWineEnv, "set", kPrefix};
        for (const int port : ports) {
            argv.push_back(comName(port) + "=" + linkOf(port));
        }
        const RunResult set = testsupport::runProgram(argv, kSetupBoundSeconds);
        EXPECT_EQ(set.exitStatus, 0) << set.startError << set.stderrText;
        // "ports" also restarts the server when the set changed, so that no
        // run below pays for it.
        const RunResult listing = testsupport::runProgram({kWineEnv, "ports", kPrefix}, kSetupBoundSeconds);
        EXPECT_EQ(listing.exitStatus, 0) << listing.startError << listing.stderrText;
        std::vector<int> listed;
        std::istringstream in(listing.stdoutText);
        std::string name;
        while (in >> name) {
            if (name.size() > 3 && name.rfind("COM", 0) == 0 &&
                name.find_first_not_of("0123456789", 3) == std::string::npos) {
                listed.push_back(std::stoi(name.substr(3)));
            } else {
                ADD_FAILURE() << "not a COM name: " << name;
            }
        }
        std::vector<int> wanted = ports;
        wanted.insert(wanted.end(), bluetooth.begin(), bluetooth.end());
        std::vector<int> seen = listed;
        std::sort(wanted.begin(), wanted.end());
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, wanted) << "Wine lists exactly the mapped ports: none of the host's, none missing";
        return listed;
    }

    // An emulated device behind COM<port>, whose port keeps its modem lines
    // as a Windows driver does.
    EmulatorProcess& emulate(int port, std::vector<std::string> options = {}) {
        emulators_.push_back(std::make_unique<EmulatorProcess>());
        EmulatorProcess& emulator = *emulators_.back();
        options.push_back("--modem-lines=windows");
        EXPECT_TRUE(emulator.start(linkOf(port), options)) << comName(port);
        return emulator;
    }

    // environment: more "NAME=value" for wine-env.sh and the program; reader:
    // a shell command that reads its output through a pipe instead.
    static RunResult run(const std::vector<std::string>& words, const std::vector<std::string>& environment = {},
                         const std::string& reader = "") {
        // The shim reaches Wine's serial code, which runs in the program's
        // process, and there plays a Windows driver.
        std::vector<std::string> argv{"env", "LD_PRELOAD=" QUILLFERN_FRAMING_SHIM,
                                      std::string(framing::kWindowsDriverVariable) + "=1"};
        if (!reader.empty()) argv.insert(argv.begin(), {"sh", "-c", "\"$@\" | " + reader, "sh"});
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.insert(argv.end(), {kWineEnv, "run", kPrefix, kProgram.string()});
        argv.insert(argv.end(), words.begin(), words.end());
        RunResult result = testsupport::runProgram(argv, kRunBoundSeconds);
        EXPECT_FALSE(result.timedOut) << "the run did not end within " << kRunBoundSeconds << " s";
        EXPECT_EQ(result.stderrText, "") << "nothing goes to standard error";
        EXPECT_NE(result.exitStatus, 125) << "wine-env.sh could not get the prefix ready";
        return result;
    }

    std::vector<std::unique_ptr<EmulatorProcess>> emulators_;
    bool devicesMade_ = false;
};

TEST_F(WineEndToEnd, ControllerOnTheSecondListedPortIsFoundAfterTheFirstIsProbed) {
    const std::vector<int> listed = mapPorts({4, 9});
    ASSERT_EQ(listed.size(), 2U);
    const int first = listed[0];
    const int second = listed[1];
    EmulatorProcess& wrong = emulate(first, {"--reply=reversed"});
    EmulatorProcess& controller = emulate(second);

    const RunResult result = run({"timeout=1", "verbose"});
    EXPECT_EQ(result.exitStatus, second);
    EXPECT_EQ(result.stdoutText, lines(join({probeLines(first, 1, reading(first, kWrongOrder)),
                                             probeLines(second, 1, reading(second, kAnswered)), found(second)})));
    EXPECT_EQ(wrong.countLogLines("open 2"), 1U) << "the first listed port was probed, opened twice";
    EXPECT_EQ(wrong.countLogLines("rx 30"), 1U);
    EXPECT_EQ(controller.countLogLines("rx 30"), 1U);
}

// Under Wine a mapped port whose device is gone still opens, and only
// GetCommState fails (on Windows a vanished device is no longer listed), so
// Wine reaches the path of a port that opens but cannot be set up.
TEST_F(WineEndToEnd, PortThatCannotBeSetUpIsPassedOver) {
    const std::vector<int> listed = mapPorts({4, 9});
    ASSERT_EQ(listed.size(), 2U);
    const int gone = listed[0];
    const int second = listed[1];
    emulate(second);

    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, second);
    const std::string com = "(" + comName(gone) + "): ";
    EXPECT_EQ(result.stdoutText,
              lines(join({{"Testing " + comName(gone), com + "Opening port", com + "Testing COM state",
                           "       - Getting COM state", "       - Failed getting COM state",
                           com + "Failed to test COM port", com + "Failed to open port"},
                          probeLines(second, 5, reading(second, kAnswered)), found(second)})));
}

TEST_F(WineEndToEnd, ChosenPortIsTheOnlyOneProbed) {
    const std::vector<int> listed = mapPorts({4, 9});
    ASSERT_EQ(listed.size(), 2U);
    // The chosen port is the one a search would come to last.
    const int skipped = listed[0];
    const int chosen = listed[1];
    EmulatorProcess& other = emulate(skipped);
    EmulatorProcess& controller = emulate(chosen);

    RunResult result = run({"com=" + std::to_string(chosen)});
    EXPECT_EQ(result.exitStatus, chosen);
    EXPECT_EQ(result.stdoutText, "");
    EXPECT_EQ(controller.countLogLines("rx 30"), 1U);
    EXPECT_EQ(other.countLogLines("open 1"), 0U) << "only the chosen port is opened";

    result = run({"com=6", "verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines(join({invalidPort(6), {kNotFound}})));
    EXPECT_EQ(other.countLogLines("open 1"), 0U);
}

// The order Wine lists the ports in is Wine's (mapPorts checks that each is
// listed once); the program owns probing them in that order, whatever it is.
// An order other than the numeric one is the unit tests' job.
TEST_F(WineEndToEnd, ProbeOrderIsTheListingOrder) {
    const std::vector<int> ports = {3, 7, 12, 120};
    const std::vector<int> listed = mapPorts(ports);
    ASSERT_EQ(listed.size(), ports.size());
    for (const int port : ports) {
        emulate(port, {"--reply=reversed"});
    }

    const RunResult result = run({"timeout=1", "verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    std::vector<std::string> expected;
    for (const int port : listed) {
        const std::vector<std::string> probe = probeLines(port, 1, reading(port, kWrongOrder));
        expected.insert(expected.end(), probe.begin(), probe.end());
    }
    expected.push_back(kNotFound);
    EXPECT_EQ(result.stdoutText, lines(expected));
}

// Wine lets a COM name lead to \Device\BthModem<n>, as Microsoft's Bluetooth
// stack names its links, but has no such device: the open fails as for a
// missing port, and the order of the probes shows the rest.
TEST_F(WineEndToEnd, BluetoothLinksAreProbedLast) {
    // A candidate that Wine happens to list last would prove nothing.
    std::vector<int> listed;
    int bluetooth = 0;
    for (const int candidate : {3, 6, 7, 8, 2}) {
        setenv(kBluetoothVariable, comName(candidate).c_str(), 1);
        listed = mapPorts({4, 9}, {candidate});
        ASSERT_EQ(listed.size(), 3U);
        if (listed.back() != candidate) {
            bluetooth = candidate;
            break;
        }
    }
    ASSERT_NE(bluetooth, 0) << "Wine lists every candidate last";
    emulate(4, {"--reply=reversed"});
    emulate(9, {"--reply=reversed"});

    const RunResult result = run({"timeout=1", "verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    std::vector<std::string> expected;
    for (const int port : listed) {
        if (port != bluetooth) expected = join({expected, probeLines(port, 1, reading(port, kWrongOrder))});
    }
    expected = join({expected, invalidPort(bluetooth), {kNotFound}});
    EXPECT_EQ(result.stdoutText, lines(expected));
}

// A board's UART listed ahead of the controller's USB port: the USB port is
// probed first and the UART never opened; json list tells them apart, with
// a name read through the wide calls.
TEST_F(WineEndToEnd, UsbPortIsProbedBeforeABuiltInUartListedAheadOfIt) {
    const std::vector<int> listed = mapPorts({3, 8});
    ASSERT_EQ(listed.size(), 2U);
    const int uart = listed[0];
    const int usb = listed[1];
    makeDevices({"ACPI\\PNP0501\\1=" + comName(uart) + "=Communications Port (" + comName(uart) + ")",
                 "USB\\VID_2341&PID_0043\\7573\"5323=" + comName(usb) + "=Uno Ger\xc3\xa4t (" + comName(usb) + ")"});
    EmulatorProcess& silent = emulate(uart, {"--reply=silent"});
    emulate(usb);
    const RunResult result = run({"timeout=1", "verbose"});
    EXPECT_EQ(result.exitStatus, usb);
    EXPECT_EQ(result.stdoutText, lines(join({probeLines(usb, 1, reading(usb, kAnswered)), found(usb)})));
    EXPECT_EQ(silent.countLogLines("open 1"), 0U);

    emulators_.pop_back();
    emulate(usb);
    const auto port = [](int com, bool answered, const std::string& identity) {
        return "{\"com\":" + std::to_string(com) + ",\"name\":\"" + comName(com) + "\",\"device\":\"" + comName(com) +
               "\",\"answered\":" + (answered ? "true" : "false") + "," + identity +
               ",\"manufacturer\":null,\"product\":null,\"description\":";
    };
    const RunResult list = run({"json", "timeout=1", "list"});
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_EQ(list.stdoutText,
              "{\"ports\":[\r\n" +
                  port(uart, false, "\"bus\":\"builtin\",\"vendor_id\":null,\"product_id\":null,\"interface\":null,"
                                    "\"serial_number\":null") +
                  "\"Communications Port\",\"location\":null,\"stable_path\":null},\r\n" +
                  port(usb, true, "\"bus\":\"usb\",\"vendor_id\":\"2341\",\"product_id\":\"0043\",\"interface\":null,"
                                  "\"serial_number\":\"7573\\\"5323\"") +
                  "\"Uno Ger\\u00e4t\",\"location\":null,\"stable_path\":null}\r\n],\"total\":2,\"found\":1}\r\n");
}

// A list probes every port it keeps; the UART answers too, so an open would show.
TEST_F(WineEndToEnd, UsbWordListsTheUsbPortAloneAndNeverOpensTheUart) {
    mapPorts({3, 8});
    makeDevices({"ACPI\\PNP0501\\1=COM3=Communications Port (COM3)", "USB\\VID_2341&PID_0043\\7573=COM8=Uno (COM8)"});
    EmulatorProcess& uart = emulate(3);
    emulate(8);
    EXPECT_EQ(run({"USB=2341:0043", "timeout=1", "list"}).stdoutText,
              lines({"Available COM ports", "-------------------", "COM8  - Quillfern", "-------------------",
                     "Total:  1 port ", "Quillfern:  1 found"}));
    EXPECT_EQ(uart.countLogLines("open 1"), 0U);
}

TEST_F(WineEndToEnd, ListReportOverThreePortsInListingOrder) {
    const std::vector<int> listed = mapPorts({3, 12, 120});
    ASSERT_EQ(listed.size(), 3U);
    emulate(3);
    emulate(12, {"--reply=silent"});
    emulate(120, {"--reply=reversed"});

    const RunResult result = run({"timeout=1", "list"});
    EXPECT_EQ(result.exitStatus, 0);
    std::vector<std::string> expected = {"Available COM ports", "-------------------"};
    for (const int port : listed) {
        // "%-5s": COM120 is wider than the column and pushes the dash along.
        std::string name = comName(port);
        name.resize(std::max<std::size_t>(name.size(), 5), ' ');
        expected.push_back(name + " - " + (port == 3 ? "Quillfern" : "None"));
    }
    expected.insert(expected.end(), {"-------------------", "Total:  3 ports", "Quillfern:  1 found"});
    EXPECT_EQ(result.stdoutText, lines(expected));
}

// A list probes at once and prints, byte for byte, the ports probed one after another in Wine's
// order. The shim refuses one port's open in Wine's server, which must then run with it.
TEST_F(WineEndToEnd, VerboseListProbesAtOnceAndPrintsAsOneAfterAnother) {
    const std::vector<int> listed = mapPorts({2, 3, 4, 6, 8});
    ASSERT_EQ(listed.size(), 5U);
    const RunResult restart = testsupport::runProgram(
        {"env", "LD_PRELOAD=" QUILLFERN_FRAMING_SHIM, kWineEnv, "restart", kPrefix}, kSetupBoundSeconds);
    ASSERT_EQ(restart.exitStatus, 0) << restart.stderrText;
    for (const auto& [port, option] : {std::pair{2, "--reply=ok"}, {3, "--reply=silent"}, {4, "--refuse-open=eacces"},
                                       {6, "--reply=hangup-mid-reply"}, {8, "--reply=ok"}}) {
        emulate(port, {option});
    }
    const RunResult result = run({"verbose", "timeout=2", "list"});
    const std::map<int, std::vector<std::string>> reads = {{2, join({kAnswered, {"(COM2): Valid response"}})},
                                                           {3, {"       - Read NULL"}},
                                                           {6, {"       - Read (0x14)", "       - Error Reading (21)"}},
                                                           {8, join({kAnswered, {"(COM8): Valid response"}})}};
    std::vector<std::string> expected = {"Available COM ports", "-------------------"};
    for (const int port : listed) {
        const std::string com = "(" + comName(port) + "): ";
        const std::vector<std::string> refused = {"Testing COM4", com + "Opening port", com + "Invalid COM port",
                                                  "       - COM4: in use by another program", com + "Failed to open port"};
        expected = join({expected, port == 4 ? refused : probeLines(port, 2, reading(port, reads.at(port))),
                         {comName(port) + "  - " + (port == 2 || port == 8 ? "Quillfern" : "None")}});
    }
    expected = join({expected, {"-------------------", "Total:  5 ports", "Quillfern:  2 found"}});
    EXPECT_EQ(result.stdoutText, lines(expected));
}

TEST_F(WineEndToEnd, AllPortsGoesByNumberAndNothingBehindANumberFailsFast) {
    // COM120 is listed first or not, but allports never reaches past 99.
    mapPorts({2, 57, 120});
    EmulatorProcess& wrong = emulate(2, {"--reply=reversed"});
    emulate(57);
    EmulatorProcess& beyond = emulate(120);

    const RunResult result = run({"allports", "timeout=1", "verbose"});
    EXPECT_EQ(result.exitStatus, 57);
    std::vector<std::string> expected = invalidPort(1);
    const std::vector<std::string> second = probeLines(2, 1, reading(2, kWrongOrder));
    expected.insert(expected.end(), second.begin(), second.end());
    for (int port = 3; port < 57; ++port) {
        const std::vector<std::string> missing = invalidPort(port);
        expected.insert(expected.end(), missing.begin(), missing.end());
    }
    expected = join({expected, probeLines(57, 1, reading(57, kAnswered)), found(57)});
    EXPECT_EQ(result.stdoutText, lines(expected));
    EXPECT_EQ(wrong.countLogLines("rx 30"), 1U);
    EXPECT_EQ(beyond.countLogLines("open 1"), 0U);
}

TEST_F(WineEndToEnd, PortAbove99IsFoundByTheDefaultSearchAndNamedByDevice) {
    mapPorts({120});
    EmulatorProcess& controller = emulate(120);
    const RunResult result = run({});
    EXPECT_EQ(result.exitStatus, 120);
    EXPECT_EQ(result.stdoutText, "");
    EXPECT_EQ(controller.countLogLines("rx 30"), 1U);

    // A Windows user knows the device by its COM name. Wine leaves DTR
    // high at the close, so only a fresh controller restarts for a new run.
    controller.stop();
    emulate(120);
    const RunResult named = run({"Device"});
    EXPECT_EQ(named.exitStatus, 120);
    EXPECT_EQ(named.stdoutText, "COM120\r\n");
}

// Every case uses the same port, so only the first of them restarts Wine.
constexpr int kDevicePort = 5;

// A real Windows machine's device-name list can outgrow the first buffer
// of 64 KiB, and only the layer's report of that makes the search read it
// again into a larger one. For this run the helper adds 14000 names that
// are no port (70 KB), and fails the run unless the list no longer fits
// 64 KiB.
TEST_F(WineEndToEnd, ANameListLongerThanTheFirstBufferIsReadWhole) {
    mapPorts({kDevicePort});
    EmulatorProcess& controller = emulate(kDevicePort);
    const RunResult result = run({}, {"WINE_ENV_PAD_NAMES=14000"});
    EXPECT_EQ(result.exitStatus, kDevicePort);
    EXPECT_EQ(controller.countLogLines("rx 30"), 1U);
}

TEST_F(WineEndToEnd, HelpAndUsageErrorsTouchNoPort) {
    mapPorts({kDevicePort});
    EmulatorProcess& controller = emulate(kDevicePort);

    RunResult result = run({"HELP"});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_NE(result.stdoutText.find("\r\nVersion:  " QUILLFIND_VERSION "\r\n"), std::string::npos)
        << result.stdoutText;
    // Wine hands the program a Windows path to itself, as Windows does.
    EXPECT_NE(result.stdoutText.find("\\quillfind.exe [OPTIONS]\r\n"), std::string::npos) << result.stdoutText;

    result = run({"com="});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, "Invalid usage (com=). ex. COM=5");

    result = run({"allports", "com=" + std::to_string(kDevicePort)});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.stdoutText, lines({"Cannot specify ALLPORTS and a specific port at the same time"}));
    EXPECT_EQ(controller.countLogLines("open 1"), 0U);
}

// Windows cannot tell that nothing reads the output any more until a write
// fails: the watch ends at its first line, long before its wait.
TEST_F(WineEndToEnd, WatchEndsAtItsFirstLineOnceItsReaderHasGone) {
    mapPorts({kDevicePort});
    emulate(kDevicePort);
    EXPECT_EQ(run({"wait=600", "watch"}, {}, "true").exitStatus, 0);
}

// A controller plugged in while the program waits: wine-env.sh appear gives
// its port a link and a name in the list of the running server, 2 s after
// the program started. The mapped port has nothing behind it: it opens but
// cannot be set up, and is tried again meanwhile.
struct AppearingCase {
    const char* name;
    std::vector<std::string> words;
    int status;
    std::vector<std::string> output;
};

void PrintTo(const AppearingCase& param, std::ostream* out) { *out << param.name; }

class WinePortAppearing : public WineEndToEnd, public testing::WithParamInterface<AppearingCase> {};

TEST_P(WinePortAppearing, IsProbedWhileTimeIsLeft) {
    constexpr int kAppearingPort = 7;
    mapPorts({kDevicePort});
    EmulatorProcess& controller = emulate(kAppearingPort);
    const fs::path started = kLinks / "program-started";
    fs::remove(started);
    RunResult result;
    std::thread program([&] {
        result = run(GetParam().words, {"WINE_ENV_STARTED_FILE=" + started.string()});
    });
    for (int tries = 0; tries < kRunBoundSeconds * 20 && !fs::exists(started); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fs::exists(started)) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const RunResult appeared = testsupport::runProgram(
            {kWineEnv, "appear", kPrefix, comName(kAppearingPort), linkOf(kAppearingPort)}, kSetupBoundSeconds);
        EXPECT_EQ(appeared.exitStatus, 0) << appeared.stderrText;
    } else {
        ADD_FAILURE() << "the program never started";
    }
    program.join();
    const bool found = !GetParam().output.empty();
    EXPECT_EQ(result.exitStatus, GetParam().status);
    EXPECT_EQ(result.stdoutText, found ? lines(GetParam().output) : "");
    EXPECT_EQ(controller.countLogLines("rx 30"), found ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(Waits, WinePortAppearing,
                         testing::Values(AppearingCase{"WithinTheWait", {"wait=5", "timeout=1", "device"}, 7, {"COM7"}},
                                         AppearingCase{"AfterTheWait", {"wait=1", "timeout=1", "device"}, 0, {}},
                                         AppearingCase{"Watched", {"wait=5", "timeout=1", "watch"}, 0,
                                                       {"COM5  - None", "COM7  - Quillfern"}}),
                         [](const testing::TestParamInfo<AppearingCase>& param) {
                             return std::string(param.param.name);
                         });

struct DeviceCase {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> words;
    int status;
    // What follows "Sending command": the reads, or the failure to send.
    std::vector<std::string> afterSend;
    // A line the emulator's log must hold, which shows it played its part.
    std::string logLine;
    // Where Wine may take either of two sound paths: the other reads.
    std::vector<std::string> orAfterSend = {};
    // When not 0, the run ends within this many seconds.
    int endsWithinSeconds = 0;
};

void PrintTo(const DeviceCase& param, std::ostream* out) { *out << param.name; }

class WineDevice : public WineEndToEnd, public testing::WithParamInterface<DeviceCase> {};

TEST_P(WineDevice, VerboseTranscript) {
    const DeviceCase& device = GetParam();
    mapPorts({kDevicePort});
    EmulatorProcess& emulator = emulate(kDevicePort, device.options);
    std::vector<std::string> words = device.words;
    words.push_back("verbose");

    const auto start = std::chrono::steady_clock::now();
    const RunResult result = run(words);
    if (device.endsWithinSeconds != 0) {
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(device.endsWithinSeconds));
    }
    EXPECT_EQ(result.exitStatus, device.status);
    std::vector<std::string> transcripts{lines(oneDeviceRun(kDevicePort, words, device.status, device.afterSend))};
    if (!device.orAfterSend.empty()) {
        transcripts.push_back(lines(oneDeviceRun(kDevicePort, words, device.status, device.orAfterSend)));
    }
    EXPECT_THAT(result.stdoutText, testing::AnyOfArray(transcripts));
    EXPECT_TRUE(emulator.waitForLogLine(device.logLine, 1, 10000))
        << "the emulator's log lacks \"" << device.logLine << "\"";
}

// Wine differs from Windows where a pty differs from a serial driver: when
// the peer hangs up during a read, the pty reads 0 bytes, which Wine takes
// for "no byte yet" until the timeout, so the hang-up would read as silence
// (now and then as ERROR_NOT_READY). The shim makes such a read fail with
// EIO, as a Windows driver fails ReadFile on a device that went away, and
// Wine reports that as ERROR_NOT_READY (21), every time.
// Wine also clears HUPCL and drives DTR and RTS through TIOCMSET, which a
// pty refuses; the emulator's ports keep them as a Windows driver does
// (--modem-lines=windows, with the shim answering those calls), so DTR drops
// at every close and `stty -hupcl` has no Windows twin but the stored DTR
// mode of the PortLeftWithDtrDisabled row.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Replies, WineDevice, testing::Values(
    DeviceCase{"AnswersWithDefaultSettings", {}, {}, kDevicePort, kAnswered, "tx 10"},
    // The command held from the end of the start-up delay, and the one sent again when that swallowed it.
    DeviceCase{"AnswersTheCommandItHeld", {"--boot-ms=900", "--listen-until-ms=950"}, {}, kDevicePort, kAnswered,
               "held until boot"},
    DeviceCase{"AnswersTheCommandSentAgain", {"--startup-ms=900"}, {}, kDevicePort, kAnswered, "lost 20"},
    DeviceCase{"WrongOrder", {"--reply=reversed"}, {"timeout=1"}, 0, kWrongOrder, "tx 14"},
    DeviceCase{"OneByte", {"--reply=one-byte"}, {"timeout=1"}, 0,
               {"       - Read (0x14)", "       - Read NULL"}, "tx 14"},
    DeviceCase{"Silent", {"--reply=silent"}, {"timeout=1"}, 0, {"       - Read NULL"}, "mute silent"},
    DeviceCase{"ThreeBytes", {"--reply=three-bytes"}, {"timeout=1"}, kDevicePort, kAnswered, "tx 10"},
    // Each 1.5 s or more from the end of the timeout, which a loaded
    // machine's scheduling of two processes cannot make up.
    DeviceCase{"ReplyInsideTheTimeout", {"--delay-ms=500"}, {"timeout=2"}, kDevicePort, kAnswered, "tx 10"},
    DeviceCase{"ReplyOutsideTheTimeout", {"--delay-ms=4000"}, {"timeout=2"}, 0, {"       - Read NULL"},
               "reply dropped"},
    DeviceCase{"AnswersAtItsSpeed", {"--baud=115200"}, {"baudrate=115200"}, kDevicePort, kAnswered, "tx 10"},
    DeviceCase{"SilentAtTheDefaultSpeed", {"--baud=115200"}, {"timeout=1"}, 0, {"       - Read NULL"},
               "mute framing 8N1 57600"},
    DeviceCase{"PortLeftByATerminal", {"--left-by=terminal"}, {"timeout=1"}, kDevicePort, kAnswered, "tx 10"},
    DeviceCase{"NoiseAfterEachOpen", {"--noise-on-open=55"}, {"timeout=1"}, 0,
               {"       - Read (0x55)", "       - Read (0x14)"}, "tx 55"},
    DeviceCase{"HangsUpMidReply", {"--reply=hangup-mid-reply"}, {"timeout=2"}, 0,
               {"       - Read (0x14)", "       - Error Reading (21)"}, "hangup"},
    DeviceCase{"UnpluggedDuringTheWait", {"--hangup-on-open=2", "--hangup-delay-ms=200"}, {"timeout=2"}, 0,
               {"(" + comName(kDevicePort) + " Failed to send command"}, "hangup"},
    DeviceCase{"FloodsWithoutEnd", {"--reply=flood"}, {"timeout=1"}, 0,
               {"       - Read (0xAA)", "       - Read (0xAA)"}, "flood start"},
    // What other programs leave in a Windows driver, which keeps it.
    DeviceCase{"PortLeftWithDtrDisabled", {"--left-by=dtr-disabled"}, {"timeout=1"}, kDevicePort, kAnswered,
               "tx 10"},
    DeviceCase{"PortLeftWithCtsHandshake", {"--left-by=cts-flow"}, {"timeout=1"}, kDevicePort, kAnswered,
               "output released"},
    DeviceCase{"PortLeftWithXonXoffAndAnXoffAtOpen", {"--left-by=xon-xoff"}, {"timeout=1"}, kDevicePort,
               kAnswered, "tx 13"},
    // A write that can never complete ends within the timeout: the run, with
    // Wine's start and the second open's one second, well within 4 times it.
    DeviceCase{"OutputHeldForever", {"--hold-output=yes"}, {"timeout=3"}, 0,
               {"(" + comName(kDevicePort) + " Failed to send command"}, "output held", {}, 12}
), [](const testing::TestParamInfo<DeviceCase>& param) { return std::string(param.param.name); });
// clang-format on

// Why an open failed, for errors other than a missing port: the shim fails
// the open of the emulator's pty with an errno, which Wine hands the program
// as the Windows error. Wine's server opens devices, so it must run with
// the shim too. No errno reaches the program as ERROR_SEM_TIMEOUT (Wine's
// server maps ETIMEDOUT to a general failure), so that line has no row.
struct OpenFailureCase {
    const char* name;
    const char* refusal;
    std::string reason;
};

void PrintTo(const OpenFailureCase& param, std::ostream* out) { *out << param.name; }

class WineOpenFailure : public WineEndToEnd, public testing::WithParamInterface<OpenFailureCase> {};

TEST_P(WineOpenFailure, IsExplainedUnderTheInvalidPortLine) {
    mapPorts({kDevicePort});
    const RunResult restart = testsupport::runProgram(
        {"env", "LD_PRELOAD=" QUILLFERN_FRAMING_SHIM, kWineEnv, "restart", kPrefix}, kSetupBoundSeconds);
    ASSERT_EQ(restart.exitStatus, 0) << restart.stderrText;
    emulate(kDevicePort, {std::string("--refuse-open=") + GetParam().refusal});

    const RunResult result = run({"verbose"});
    EXPECT_EQ(result.exitStatus, 0);
    const std::string com = "(" + comName(kDevicePort) + "): ";
    EXPECT_EQ(result.stdoutText,
              lines({"Testing " + comName(kDevicePort), com + "Opening port", com + "Invalid COM port",
                     "       - " + comName(kDevicePort) + ": " + GetParam().reason, com + "Failed to open port",
                     kNotFound}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Reasons, WineOpenFailure, testing::Values(
    OpenFailureCase{"InUse", "eacces", "in use by another program"},
    // Wine's server makes STATUS_ACCESS_VIOLATION of EIO: the system's text.
    OpenFailureCase{"AnyOtherError", "eio", "No access to memory location."}
), [](const testing::TestParamInfo<OpenFailureCase>& param) { return std::string(param.param.name); });
// clang-format on

}  // namespace
