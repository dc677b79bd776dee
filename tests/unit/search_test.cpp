#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cli/run_settings.h"
#include "search/search.h"
#include "tests/fake_platform.h"
#include "tests/unit/capture.h"

namespace {

using fake::Op;
using testing_support::captureOutput;
using testing_support::joinLines;
using testing_support::runWords;

class Search : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        resetRunSettings();
    }

    // The ports probed, in order (each probe begins with an open).
    static std::vector<std::int32_t> probedPorts() {
        std::vector<std::int32_t> ports;
        const auto& calls = fake::calls();
        // The reopen follows the close of the same port at once, whatever probes at once call in between.
        std::map<std::int32_t, fake::Call> lastOn;
        for (const fake::Call& call : calls) {
            const auto last = lastOn.find(call.port);
            const bool reopen = last != lastOn.end() && last->second.op == Op::Close && last->second.at == call.at;
            if (call.op == Op::Open && !reopen) ports.push_back(call.port);
            if (call.port != 0) lastOn.insert_or_assign(call.port, call);
        }
        return ports;
    }
};

struct EntryCase {
    const char* name;
    bool isEntry;
    std::int32_t number;
};

TEST(ComEntry, OnlyUpperCaseComAndANumberThatFits) {
    const EntryCase cases[] = {
        {"COM1", true, 1},          {"COM12", true, 12},        {"COM256", true, 256},
        {"COM5x", true, 5},         {"COM 7", true, 7},         {"COM-3", true, -3},
        {"COM+4", true, 4},         {"COM0", true, 0},          {"COM2147483647", true, 2147483647},
        {"COM-2147483648", true, INT32_MIN},
        {"COM2147483648", false, 0}, {"COM99999999999999999999", false, 0},
        {"COM", false, 0},          {"COMx", false, 0},         {"COM-", false, 0},
        {"com5", false, 0},         {"Com5", false, 0},         {"LPT1", false, 0},
        {"C:", false, 0},           {"", false, 0},             {"XCOM1", false, 0},
    };
    for (const EntryCase& entry : cases) {
        std::int32_t number = 12345;
        EXPECT_EQ(readComEntry(entry.name, number), entry.isEntry) << entry.name;
        if (entry.isEntry) {
            EXPECT_EQ(number, entry.number) << entry.name;
        }
    }
}

struct WalkCase {
    const char* name;
    std::string bytes;
    std::uint32_t count;
    std::int32_t entries;
    std::vector<std::int32_t> filled;
};

void PrintTo(const WalkCase& param, std::ostream* out) { *out << param.name; }

class NameWalk : public Search, public testing::WithParamInterface<WalkCase> {};

TEST_P(NameWalk, CountsAndFillsWithinTheReturnedCount) {
    const WalkCase& walk = GetParam();
    fake::setDeviceNamesWithCount(walk.bytes, walk.count);
    std::int32_t count = -1;
    ASSERT_TRUE(walkDosDevices(nullptr, count, true, false));
    EXPECT_EQ(count, walk.entries);

    // One slot more than needed, with a guard that must stay untouched.
    std::vector<std::int32_t> list(walk.filled.size() + 1, -777);
    std::int32_t capacity = static_cast<std::int32_t>(walk.filled.size());
    ASSERT_TRUE(walkDosDevices(list.data(), capacity, false, true));
    EXPECT_EQ(capacity, static_cast<std::int32_t>(walk.filled.size()));
    EXPECT_EQ(std::vector<std::int32_t>(list.begin(), list.end() - 1), walk.filled);
    EXPECT_EQ(list.back(), -777);
}

const std::string kThree = fake::names({"C:", "COM3", "LPT1", "COM10", "com5", "COM1"});

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lists, NameWalk, testing::Values(
    WalkCase{"Typical", kThree, static_cast<std::uint32_t>(kThree.size()), 3, {3, 10, 1}},
    WalkCase{"CountWithoutClosingNul", kThree, static_cast<std::uint32_t>(kThree.size() - 1), 3, {3, 10, 1}},
    WalkCase{"NoClosingNulAtAll", std::string("COM2\0COM4\0", 10), 10, 2, {2, 4}},
    WalkCase{"CountEndsInsideAName", std::string("COM2\0COM41\0", 11), 8, 1, {2}},
    WalkCase{"CountEndsRightAfterAName", std::string("COM2\0COM41\0", 11), 10, 1, {2}},
    WalkCase{"CountBeyondTheNames", std::string("COM2\0\0", 6), 200, 1, {2}},
    WalkCase{"EmptyList", std::string(1, '\0'), 1, 0, {}},
    WalkCase{"OverflowingNumberIsNoEntry", fake::names({"COM4294967297", "COM8"}), 21, 1, {8}},
    WalkCase{"SystemOrderKept", fake::names({"COM9", "COM2", "COM120"}), 18, 3, {9, 2, 120}}
), [](const testing::TestParamInfo<WalkCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(Search, FillNeverStoresMoreThanItsCapacity) {
    fake::setDeviceNames({fake::names({"COM1", "COM2", "COM3"})});
    std::vector<std::int32_t> list(3, -1);
    std::int32_t capacity = 2;
    ASSERT_TRUE(walkDosDevices(list.data(), capacity, false, true));
    EXPECT_EQ(capacity, 2);
    EXPECT_EQ(list, (std::vector<std::int32_t>{1, 2, -1}));
}

TEST_F(Search, CandidatesForEachMode) {
    fake::setDeviceNames({fake::names({"COM4", "COM1"})});
    EXPECT_EQ(countCandidatePorts(), 2);

    runSettings.lowestPort = runSettings.highestPort = 7;
    EXPECT_EQ(countCandidatePorts(), 1);
    std::int32_t list[1] = {0};
    std::int32_t count = 1;
    ASSERT_TRUE(fillCandidatePorts(list, count));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(list[0], 7) << "the chosen port, whether or not the system reports it";

    resetRunSettings();
    runSettings.allPorts = true;
    ASSERT_EQ(countCandidatePorts(), 99);
    std::vector<std::int32_t> all(99);
    count = 99;
    ASSERT_TRUE(fillCandidatePorts(all.data(), count));
    for (std::int32_t index = 0; index < 99; ++index) {
        EXPECT_EQ(all[static_cast<std::size_t>(index)], index + 1);
    }
}

TEST_F(Search, ProbesInTheSystemOrderAndStopsAtTheFirstAnswer) {
    fake::setDeviceNames({fake::names({"COM9", "C:", "COM2", "COM5", "COM7"})});
    fake::addPort(9);
    fake::addController(2);
    fake::addController(5);
    EXPECT_TRUE(searchForController());
    EXPECT_EQ(runSettings.foundPort, 2);
    EXPECT_EQ(probedPorts(), (std::vector<std::int32_t>{9, 2}));
    EXPECT_EQ(fake::openHandles(), 0);
}

// USB ports first, then those of no known bus or a virtual one, then UARTs
// on the board, then Bluetooth links, whose opens may stall for many
// seconds; each group in the system's order. A chosen port, allports and
// the list report keep their own order.
TEST_F(Search, PortsAreProbedByBusUsbFirstAndBluetoothLast) {
    fake::setDeviceNames({fake::names({"COM4", "COM9", "COM3", "COM5", "COM2", "COM7", "COM8"})});
    fake::setBluetoothLink(4);
    fake::setBluetoothLink(3);
    for (const auto& [port, bus] : {std::pair{9, platform::PortBus::Builtin}, {5, platform::PortBus::Usb},
                                    {7, platform::PortBus::Virtual}, {8, platform::PortBus::Usb}}) {
        platform::PortIdentity identity;
        identity.bus = bus;
        fake::setPortIdentity(port, identity);
    }
    for (const std::int32_t port : {4, 9, 3, 5, 2, 7, 8}) {
        fake::addPort(port);
    }
    EXPECT_FALSE(searchForController());
    EXPECT_EQ(probedPorts(), (std::vector<std::int32_t>{5, 8, 2, 7, 9, 4, 3}));

    resetRunSettings();
    runSettings.allPorts = true;
    std::vector<std::int32_t> all(99);
    std::int32_t count = 99;
    ASSERT_TRUE(fillCandidatePorts(all.data(), count));
    EXPECT_EQ(std::vector<std::int32_t>(all.begin(), all.begin() + 5), (std::vector<std::int32_t>{1, 2, 3, 4, 5}));

    const auto list = runWords({"list", "timeout=1"});
    EXPECT_LT(list.output.find("COM4 "), list.output.find("COM9 ")) << list.output;
    EXPECT_LT(list.output.find("COM3 "), list.output.find("COM5 ")) << list.output;
}

TEST_F(Search, ChosenPortAndAllPorts) {
    fake::setDeviceNames({fake::names({"COM1"})});
    fake::addController(1);
    fake::addController(30);
    runSettings.lowestPort = runSettings.highestPort = 30;
    EXPECT_TRUE(searchForController());
    EXPECT_EQ(runSettings.foundPort, 30);
    EXPECT_EQ(probedPorts(), std::vector<std::int32_t>{30});

    fake::reset();
    resetRunSettings();
    fake::addController(42);
    runSettings.allPorts = true;
    EXPECT_TRUE(searchForController());
    EXPECT_EQ(runSettings.foundPort, 42);
    std::vector<std::int32_t> expected;
    for (std::int32_t port = 1; port <= 42; ++port) {
        expected.push_back(port);
    }
    EXPECT_EQ(probedPorts(), expected);
    for (const fake::Call& call : fake::calls()) {
        EXPECT_NE(call.op, Op::QueryNames) << "allports never reads the system's list";
    }
}

TEST_F(Search, WordsThatChooseByIdentityLeaveEveryOtherPortUnopened) {
    struct Case {
        std::vector<std::string> words;
        int status;
        std::vector<std::int32_t> probed;
    };
    for (const Case& row : {Case{{"serial=7f3c"}, 2, {2}}, {{"usb=2341:8036"}, 2, {2}}, {{"usb=2341"}, 1, {1}},
                            {{"USB=0403"}, 3, {3}}, {{"location=1-1.3"}, 3, {3}}, {{"usb=8036"}, 0, {}},
                            {{"usb=2341:0043", "serial=7F3C"}, 0, {}}, {{"serial=zz"}, 0, {}},
                            {{"com=4", "serial=85A1"}, 0, {}}, {{"com=1", "serial=85a1"}, 1, {1}}}) {
        fake::reset();
        resetRunSettings();
        fake::setDeviceNames({fake::names({"COM1", "COM2", "COM3", "COM4"})});
        for (const std::int32_t port : {1, 2, 3, 4}) fake::addController(port);
        fake::setUsbIdentity(1, "2341", "0043", "85A1", "1-1.1");
        fake::setUsbIdentity(2, "2341", "8036", "7F3C", "1-1.2");
        fake::setUsbIdentity(3, "0403", "6001", "", "1-1.3");  // COM4: nothing known
        EXPECT_EQ(runWords(row.words).status, row.status) << row.words[0];
        EXPECT_EQ(probedPorts(), row.probed) << row.words[0];
    }
    resetRunSettings();
    const std::string head = "(COM1): Skipped, its USB product ID does not match\nTesting COM2\n";
    EXPECT_EQ(runWords({"verbose", "usb=2341:8036"}).output.substr(0, head.size()), head);
}

TEST_F(Search, PortsAddedOrRemovedBetweenTheTwoPasses) {
    // Added: at most the counted number of entries is probed.
    fake::setDeviceNames({fake::names({"COM1", "COM2"}), fake::names({"COM1", "COM2", "COM3"})});
    fake::addPort(1);
    fake::addPort(2);
    fake::addController(3);
    EXPECT_FALSE(searchForController());
    EXPECT_EQ(probedPorts(), (std::vector<std::int32_t>{1, 2}));

    // Removed: only what the filling pass stored is probed.
    fake::reset();
    resetRunSettings();
    fake::setDeviceNames({fake::names({"COM1", "COM2", "COM3"}), fake::names({"COM3"})});
    fake::addController(3);
    EXPECT_TRUE(searchForController());
    EXPECT_EQ(probedPorts(), std::vector<std::int32_t>{3});
}

TEST_F(Search, NoComEntriesProbesNothing) {
    fake::setDeviceNames({fake::names({"C:", "LPT1"})});
    const auto run = runWords({"verbose"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "Failed to find Quillfern Controller\n");
}

struct NameFailureCase {
    const char* name;
    std::vector<int> failing;  // which queries fail
    std::string transcript;
    int status;
};

void PrintTo(const NameFailureCase& param, std::ostream* out) { *out << param.name; }

class NameListFailure : public Search, public testing::WithParamInterface<NameFailureCase> {};

TEST_P(NameListFailure, ReportedAndSearchGoesOnWherePossible) {
    const NameFailureCase& failure = GetParam();
    fake::setDeviceNames({fake::names({"COM6"})});
    fake::addController(6);
    for (int occurrence : failure.failing) {
        fake::failCall(Op::QueryNames, occurrence, 21);
    }
    const auto run = runWords({"verbose"});
    EXPECT_EQ(run.status, failure.status);
    EXPECT_EQ(run.output, failure.transcript);
}

const std::string kFoundSix =
    "Testing COM6\n(COM6): Opening port\n(COM6): Testing COM state\n       - Getting COM state\n"
    "       - Updating COM state\n       - Setting 5 second COM timeout\n(COM6): Opened\n"
    "(COM6): Closing port\n(COM6): Opening port (again)\n(COM6): Testing COM state\n"
    "       - Getting COM state\n       - Updating COM state\n       - Setting 5 second COM timeout\n"
    "(COM6): Opened\n(COM6): Sending command (0x30, 0x20)\n"
    "(COM6): Reading response, expecting (0x14, 0x10)\n       - Read (0x14)\n       - Read (0x10)\n"
    "(COM6): Valid response\nFound Quillfern Controller on COM6\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Passes, NameListFailure, testing::Values(
    // The count pass fails: the list of 0 entries still gets a fill pass, which stores none.
    NameFailureCase{"CountPassOnly", {1},
        "Error with querydosdevice:  (21)\nFailed to find Quillfern Controller\n", 0},
    NameFailureCase{"FillPassOnly", {2},
        "Error with querydosdevice:  (21)\nFailed to get list of COM ports\n"
        "Failed to find Quillfern Controller\n", 0},
    NameFailureCase{"BothPasses", {1, 2},
        "Error with querydosdevice:  (21)\nError with querydosdevice:  (21)\n"
        "Failed to get list of COM ports\nFailed to find Quillfern Controller\n", 0},
    NameFailureCase{"NeitherPass", {}, kFoundSix, 6}
), [](const testing::TestParamInfo<NameFailureCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(Search, ANameListTooLargeForTheBufferIsReadAgainIntoALargerOne) {
    fake::setDeviceNames({fake::names({"COM6"})});
    fake::addController(6);
    fake::failCall(Op::QueryNames, 1, 122, true);
    fake::failCall(Op::QueryNames, 2, 122, true);
    std::int32_t count = 0;
    ASSERT_TRUE(walkDosDevices(nullptr, count, true, false));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(fake::callLog(),
              (std::vector<std::string>{"names 65535", "names 131071", "names 262143"}));

    // Any other failure is reported at once, without a second read.
    fake::reset();
    fake::failCall(Op::QueryNames, 1, 5);
    EXPECT_FALSE(walkDosDevices(nullptr, count, true, false));
    EXPECT_EQ(fake::callLog(), std::vector<std::string>{"names 65535"});
}

TEST_F(Search, GivesUpGrowingTheBufferAtItsLimit) {
    for (int occurrence = 1; occurrence <= 40; ++occurrence) {
        fake::failCall(Op::QueryNames, occurrence, 122, true);
    }
    std::int32_t count = 0;
    const std::string output = captureOutput([&] {
        runSettings.verbose = true;
        EXPECT_FALSE(walkDosDevices(nullptr, count, true, false));
    });
    EXPECT_EQ(output, "Error with querydosdevice:  (122)\n");
    EXPECT_EQ(fake::calls().size(), 9U) << "64 KiB doubled up to 16 MiB";
}

// The wait, on the fake clock: the device-name list changes at given times,
// and opens fail as given (by their count from the start of the run).
struct WaitCase {
    const char* name;
    std::vector<std::string> words;
    std::vector<std::pair<std::uint64_t, std::vector<std::string>>> timeline;
    std::vector<std::int32_t> controllers;
    std::vector<std::int32_t> silent;
    std::vector<int> failedOpens;
    int status;
    std::vector<std::int32_t> probed;
    std::vector<std::int32_t> refusingSetup = {};
    std::vector<std::int32_t> openingInTwoSeconds = {};
    std::vector<std::pair<std::int32_t, const char*>> serials = {};
    const char* output = nullptr;
};

void PrintTo(const WaitCase& param, std::ostream* out) { *out << param.name; }

class Wait : public Search, public testing::WithParamInterface<WaitCase> {};

TEST_P(Wait, ProbesWhatAppearsUntilTheTimeIsUp) {
    const WaitCase& wait = GetParam();
    std::vector<std::pair<std::uint64_t, std::string>> timeline;
    for (const auto& [at, list] : wait.timeline) {
        timeline.emplace_back(at, fake::names(list));
    }
    fake::setDeviceNamesOverTime(timeline);
    for (const std::int32_t port : wait.controllers) {
        fake::addController(port);
    }
    for (const std::int32_t port : wait.silent) {
        fake::addPort(port);
    }
    for (const int occurrence : wait.failedOpens) {
        fake::failCall(Op::Open, occurrence, 5);
    }
    for (const std::int32_t port : wait.refusingSetup) {
        fake::refuseSetup(port);
    }
    for (const std::int32_t port : wait.openingInTwoSeconds) {
        fake::setOpenDuration(port, 2000);
    }
    for (const auto& [port, serial] : wait.serials) {
        fake::setUsbIdentity(port, "2341", "0043", serial, "");
    }
    const auto run = runWords(wait.words);
    EXPECT_EQ(run.status, wait.status);
    EXPECT_EQ(probedPorts(), wait.probed);
    EXPECT_EQ(fake::openHandles(), 0);
    EXPECT_EQ(run.output, wait.output != nullptr ? wait.output : run.output);
    std::vector<std::string> seen;
    for (const fake::Call& call : fake::calls()) {
        // A port is probed at the first reading of the list that shows it.
        const std::string name = "COM" + std::to_string(call.port);
        if (call.op == Op::Open && std::find(seen.begin(), seen.end(), name) == seen.end()) {
            for (const auto& [at, list] : wait.timeline) {
                if (std::find(list.begin(), list.end(), name) != list.end() && call.at >= at) {
                    EXPECT_LE(call.at, at + 200) << name << " probed late";
                    seen.push_back(name);
                    break;
                }
            }
        }
    }
    if (wait.status == 0) {
        std::int32_t seconds = 0;
        for (const std::string& word : wait.words) {
            if (word.rfind("wait=", 0) == 0) {
                seconds = std::stoi(word.substr(5));
            }
        }
        EXPECT_EQ(fake::clock(), static_cast<std::uint64_t>(seconds) * 1000U)
            << "the wait ends when its time is up, not before, not after";
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Timelines, Wait, testing::Values(
    WaitCase{"PortAppearingIsProbed", {"wait=5"}, {{0, {"COM1"}}, {2000, {"COM1", "COM4"}}}, {4}, {1}, {}, 4, {1, 4}},
    WaitCase{"PortAppearingTooLate", {"wait=1"}, {{0, {}}, {2000, {"COM4"}}}, {4}, {}, {}, 0, {}},
    WaitCase{"KnownPortsAreNotProbedAgain", {"wait=3"}, {{0, {"COM1"}}}, {}, {1}, {}, 0, {1}},
    WaitCase{"PortBackAfterAResetIsProbedAgain", {"wait=5"},
             {{0, {"COM2"}}, {1500, {}}, {2000, {"COM2"}}}, {}, {2}, {}, 0, {2, 2}},
    WaitCase{"PortThatCannotOpenYetIsTriedAgain", {"wait=5"}, {{0, {}}, {1000, {"COM3"}}}, {3}, {}, {1, 2, 3}, 3,
             {3, 3, 3, 3}},
    WaitCase{"PortThatCannotOpenAtTheStartIsTriedAgain", {"wait=5"}, {{0, {"COM3"}}}, {3}, {}, {1}, 3, {3, 3}},
    WaitCase{"ChosenPortWaitedFor", {"com=4", "wait=5"}, {{0, {"COM1"}}, {1000, {"COM1", "COM4"}}}, {1, 4}, {},
             {1}, 4, {4, 4}},
    WaitCase{"ChosenPortOnlyAmongNewPorts", {"com=4", "wait=3"}, {{0, {}}, {1500, {"COM2", "COM5", "COM4"}}},
             {2, 5}, {4}, {}, 0, {4, 4}},
    // Every open restarts the board behind the port: only a failed open is
    // tried again, with gaps of 200, 400, 800, 1600 ms, then every 2 s.
    WaitCase{"SetupRefusedIsNotTriedAgain", {"wait=5"}, {{0, {"COM1"}}}, {}, {1}, {}, 0, {1}, {1}},
    WaitCase{"OpenedAfterAFailedOpenIsNotTriedAgain", {"wait=60"}, {{0, {"COM3"}}}, {}, {3}, {1}, 0, {3, 3}},
    WaitCase{"FailingOpenIsTriedWithGrowingGaps", {"wait=10"}, {{0, {"COM3"}}}, {}, {}, {}, 0,
             {3, 3, 3, 3, 3, 3, 3, 3}},
    WaitCase{"StalledOpenIsNotTriedAgain", {"wait=5"}, {{0, {"COM5"}}, {3000, {"COM5", "COM6"}}}, {6}, {}, {},
             6, {5, 6}, {}, {5}},
    WaitCase{"AllPortsWatchesTheList", {"allports", "wait=200"}, {{0, {}}, {110000, {"COM7"}}}, {7}, {}, {7}, 7,
             {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
              29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53,
              54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78,
              79, 80, 81, 82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96, 97, 98, 99, 7}},
    WaitCase{"OnlyAPortThatMatchesWhenItAppears", {"serial=W2", "wait=5"}, {{0, {"COM1"}}, {1000, {"COM1", "COM4", "COM5"}}},
             {1, 4, 5}, {}, {}, 5, {5}, {}, {}, {{4, "W1"}, {5, "w2"}}},
    // The watch: each port reported when its probe ends, once per appearance, and when it goes.
    WaitCase{"WatchProbesEachAppearanceOnce", {"wait=14", "watch"}, {{0, {"COM3"}}, {1000, {"COM1", "COM3"}},
             {6000, {"COM1"}}, {7000, {"COM1", "COM3"}}}, {1}, {3}, {}, 0, {3, 1, 3}, {}, {3}, {},
             "COM1  - Quillfern\nCOM3  - None\nCOM3  - Gone\nCOM3  - None\n"},
    WaitCase{"WatchAsJsonLines", {"verbose", "json", "wait=2", "watch"}, {{0, {"COM2"}}, {1000, {}}}, {2}, {}, {}, 0, {2},
             {}, {}, {{2, "W2"}}, "{\"event\":\"added\",\"port\":{\"com\":2,\"name\":\"COM2\",\"device\":\"COM2\",\"answered\":true,\"bus\":\"usb\",\"vendor_id\":\"2341\",\"product_id\":\"0043\",\"interface\":null,\"serial_number\":\"W2\",\"manufacturer\":null,\"product\":null,\"description\":null,\"location\":null,\"stable_path\":null}}\n{\"event\":\"removed\",\"port\":{\"com\":2,\"name\":\"COM2\",\"device\":\"COM2\",\"answered\":true,\"bus\":\"usb\",\"vendor_id\":\"2341\",\"product_id\":\"0043\",\"interface\":null,\"serial_number\":\"W2\",\"manufacturer\":null,\"product\":null,\"description\":null,\"location\":null,\"stable_path\":null}}\n"},
    WaitCase{"WatchTriesAFailingOpenForTenSeconds", {"wait=12", "watch"}, {{0, {"COM3"}}}, {}, {}, {}, 0,
             {3, 3, 3, 3, 3, 3, 3, 3}, {}, {}, {}, "COM3  - None\n"},
    WaitCase{"WatchReportsAPortOnceItOpens", {"wait=3", "watch"}, {{0, {"COM2"}}}, {2}, {}, {1}, 0, {2, 2}, {}, {}, {},
             "COM2  - Quillfern\n"},
    WaitCase{"WatchOnlyWhatEveryWordChooses", {"com=5", "serial=W2", "wait=3", "watch"}, {{0, {"COM1"}}, {1000, {"COM1",
             "COM5", "COM6"}}}, {1, 5, 6}, {}, {}, 0, {}, {}, {}, {{5, "W1"}, {6, "w2"}}, ""},
    WaitCase{"NoWaitWithoutTheWord", {}, {{0, {}}, {100, {"COM4"}}}, {4}, {}, {}, 0, {}}
), [](const testing::TestParamInfo<WaitCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(Search, APortThatAppearsDuringTheSearchIsProbedOnce) {
    // Listed for the first time by the search's own reading.
    fake::setDeviceNames({fake::names({"COM1"}), fake::names({"COM1", "COM2"})});
    fake::addPort(1);
    fake::addPort(2);
    EXPECT_EQ(runWords({"wait=5"}).status, 0);
    EXPECT_EQ(probedPorts(), (std::vector<std::int32_t>{1, 2}));
}

TEST_F(Search, WaitSaysSoOnceWithTheSecondsLeft) {
    fake::setDeviceNamesOverTime({{0, fake::names({"COM1"})}, {2500, fake::names({"COM1", "COM2"})}});
    fake::addPort(1);
    fake::addController(2);
    const auto run = runWords({"wait=4", "device"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, "COM2\n");
    fake::reset();
    resetRunSettings();
    fake::setDeviceNamesOverTime({{0, fake::names({"COM1"})}});
    fake::addPort(1);
    const auto verbose = runWords({"wait=4", "verbose"});
    EXPECT_NE(verbose.output.find("       - Read NULL\nWaiting up to 3 seconds for new COM ports\n"
                                  "Failed to find Quillfern Controller\n"),
              std::string::npos)
        << verbose.output;
}

}  // namespace
