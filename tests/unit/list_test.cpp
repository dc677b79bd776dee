#include <gtest/gtest.h>

#include <ostream>
#include <utility>
#include <string>
#include <tuple>
#include <vector>

#include "cli/run_settings.h"
#include "platform/instance_id.h"
#include "tests/fake_platform.h"
#include "tests/unit/capture.h"

namespace {

using fake::Op;
using testing_support::runWords;

class ListReport : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        resetRunSettings();
    }
};

std::string table(const std::string& rows, const std::string& totals) {
    return "Available COM ports\n-------------------\n" + rows + "-------------------\n" + totals;
}

struct TableCase {
    const char* name;
    std::vector<std::string> devices;
    std::vector<std::int32_t> controllers;
    std::vector<std::int32_t> silent;
    std::string expected;
    // Devices the layer names after the outcome (Linux); none on Windows.
    std::vector<std::pair<std::int32_t, std::string>> paths = {};
};

void PrintTo(const TableCase& param, std::ostream* out) { *out << param.name; }

class ListTable : public ListReport, public testing::WithParamInterface<TableCase> {};

TEST_P(ListTable, PrintsEveryComDeviceWithItsOutcome) {
    const TableCase& list = GetParam();
    fake::setDeviceNames({fake::names(list.devices)});
    for (std::int32_t port : list.controllers) {
        fake::addController(port);
    }
    for (std::int32_t port : list.silent) {
        fake::addPort(port);
    }
    for (const auto& [port, path] : list.paths) {
        fake::setDevicePath(port, path);
    }
    const auto run = runWords({"list"});
    EXPECT_EQ(run.output, list.expected);
    EXPECT_EQ(run.status, 0) << "list ends with 0 even when a controller was found";
    EXPECT_EQ(runSettings.foundPort, 0);
    EXPECT_EQ(fake::openHandles(), 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Systems, ListTable, testing::Values(
    TableCase{"NoDevices", {"C:", "LPT1"}, {}, {},
              table("", "Total:  0 port \nQuillfern:  0 found\n")},
    TableCase{"OneDevice", {"COM3"}, {}, {3},
              table("COM3  - None\n", "Total:  1 port \nQuillfern:  0 found\n")},
    TableCase{"TwoDevicesOneController", {"COM1", "COM4"}, {4}, {1},
              table("COM1  - None\nCOM4  - Quillfern\n", "Total:  2 ports\nQuillfern:  1 found\n")},
    TableCase{"LongNamesAndOthersSkipped", {"COM10", "C:", "com2", "COM123", "COM7x", "COM2"}, {10, 2}, {123},
              table("COM10 - Quillfern\nCOM123 - None\nCOM7x - None\nCOM2  - Quillfern\n",
                    "Total:  4 ports\nQuillfern:  2 found\n")},
    TableCase{"DevicesNamedAfterThePaddedOutcome", {"COM1", "COM2", "COM10"}, {2}, {1, 10},
              table("COM1  - None      /dev/ttyACM0\nCOM2  - Quillfern /dev/ttyUSB0\nCOM10 - None\n",
                    "Total:  3 ports\nQuillfern:  1 found\n"),
              {{1, "/dev/ttyACM0"}, {2, "/dev/ttyUSB0"}}}
), [](const testing::TestParamInfo<TableCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(ListReport, NameListUnavailable) {
    fake::failCall(Op::QueryNames, 1, 21);
    EXPECT_EQ(runWords({"list"}).output, "") << "nothing at all without verbose";

    fake::reset();
    resetRunSettings();
    fake::failCall(Op::QueryNames, 1, 21);
    const auto run = runWords({"verbose", "list"});
    EXPECT_EQ(run.output, "Error with querydosdevice:  (21)\n");
    EXPECT_EQ(run.status, 0);
}

// list json wherever json stands: one document, each port with what the
// system knew of it before the first probe. Every text is plain ASCII: a
// quote, a backslash, control characters and all beyond ASCII escaped, and
// each byte of a lone, cut, overlong or surrogate sequence, or one past
// U+10FFFF, as U+FFFD.
TEST_F(ListReport, JsonDocumentWithEachPortInTheListsOrder) {
    fake::setDeviceNames({fake::names({"COM7\"x", "COM1"})});
    fake::addPort(7);
    fake::addController(1);
    platform::PortIdentity identity;
    identity.bus = platform::PortBus::Builtin;
    const std::string text = "a\"b\\c/\n\t\x01\x1f\x7f Ger\xc3\xa4t \xe2\x82\xac \xf0\x9f\x98\x80 "
                             "\xff|\xc3|\xe2\x82|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80";
    platform::copyText(identity.description, text.c_str(), text.size());
    fake::setPortIdentity(7, identity);
    const auto port = [](const char* head, const char* tail) {
        return std::string(head) + ",\"vendor_id\":null,\"product_id\":null,\"interface\":null,\"serial_number\":null,"
               "\"manufacturer\":null,\"product\":null," + tail + ",\"location\":null,\"stable_path\":null}";
    };
    const auto run = runWords({"verbose", "list", "json"});
    EXPECT_EQ(run.output, "{\"ports\":[\n" +
                              port("{\"com\":7,\"name\":\"COM7\\\"x\",\"device\":\"COM7\",\"answered\":false,\"bus\":\"builtin\"",
                                   "\"description\":\"a\\\"b\\\\c/\\u000a\\u0009\\u0001\\u001f\\u007f Ger\\u00e4t \\u20ac "
                                   "\\ud83d\\ude00 \\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|"
                                   "\\ufffd\\ufffd\\ufffd\\ufffd\"") + ",\n" +
                              port("{\"com\":1,\"name\":\"COM1\",\"device\":\"COM1\",\"answered\":true,\"bus\":\"unknown\"",
                                   "\"description\":null") + "\n],\"total\":2,\"found\":1}\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(fake::callLog()[1], "identities");

    fake::reset();
    resetRunSettings();
    fake::failCall(Op::QueryNames, 1, 21);
    EXPECT_EQ(runWords({"json", "list"}).output, "{\"error\":\"Failed to get list of COM ports\"}\n");
}

TEST_F(ListReport, CoversTheSystemsDevicesWhateverWasChosenBefore) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"com=7", "list"}, {"allports", "list"}}) {
        fake::reset();
        resetRunSettings();
        fake::setDeviceNames({fake::names({"COM2"})});
        fake::addController(2);
        fake::addController(7);
        fake::addController(1);
        const auto run = runWords(words);
        EXPECT_EQ(run.output, table("COM2  - Quillfern\n", "Total:  1 port \nQuillfern:  1 found\n"));
        for (const fake::Call& call : fake::calls()) {
            EXPECT_TRUE(call.op != Op::Open || call.port == 2) << words[0];
        }
    }
}

// The calls that set a port up, whatever their order among the others.
std::vector<std::string> callsStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : fake::callLog()) {
        if (call.rfind(prefix, 0) == 0) {
            found.push_back(call);
        }
    }
    return found;
}

TEST_F(ListReport, HoldsOnlyThePortsTheWordsChooseAndOpensNoOther) {
    fake::setDeviceNames({fake::names({"COM1", "COM2", "COM3"})});
    for (const std::int32_t port : {1, 2, 3}) fake::addController(port);
    fake::setUsbIdentity(1, "2341", "0043", "85A1", "1-1.1");
    fake::setUsbIdentity(3, "2341", "8036", "7F3C", "1-1.2");
    const std::string out = runWords({"verbose", "serial=7f3c", "list"}).output;
    const std::string head = "Available COM ports\n-------------------\n(COM1): Skipped, its serial number does not match\n"
                             "(COM2): Skipped, its serial number does not match\nTesting COM3\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_EQ(out.substr(out.find("COM3  -")), "COM3  - Quillfern\n-------------------\nTotal:  1 port \nQuillfern:  1 found\n");
    EXPECT_EQ(callsStartingWith("open "), (std::vector<std::string>{"open 3", "open 3"}));
    resetRunSettings();
    for (const std::int32_t port : {1, 2, 3}) fake::addController(port);
    const std::string json = runWords({"usb=2341", "list", "json"}).output;
    EXPECT_EQ(json.substr(json.find("\n],")), "\n],\"total\":2,\"found\":2}\n");
    EXPECT_EQ(json.find("\"com\":2"), std::string::npos);
}

TEST_F(ListReport, WordsBeforeListApplyAndWordsAfterItAreNeverRead) {
    fake::setDeviceNames({fake::names({"COM2"})});
    fake::addPort(2);
    runWords({"timeout=2", "baudrate=9600", "list"});
    // Both opens of the probe set the port up the same way.
    EXPECT_EQ(callsStartingWith("apply "), (std::vector<std::string>{"apply 2 9600", "apply 2 9600"}));
    EXPECT_EQ(callsStartingWith("timeout ").front(), "timeout 2 2000");

    fake::reset();
    resetRunSettings();
    fake::setDeviceNames({fake::names({"COM2"})});
    fake::addPort(2);
    const auto run = runWords({"list", "timeout=2", "verbose", "com=0", "help"});
    EXPECT_EQ(callsStartingWith("timeout ").front(), "timeout 2 5000");
    EXPECT_EQ(run.output, table("COM2  - None\n", "Total:  1 port \nQuillfern:  0 found\n"));
}

TEST_F(ListReport, VerboseBeforeListPutsEachProbeBeforeItsLine) {
    fake::setDeviceNames({fake::names({"COM1", "COM4"})});
    fake::addPort(1, {fake::byte(0x10), fake::byte(0x14)});
    fake::addController(4);
    const auto run = runWords({"verbose", "list"});
    const std::string& out = run.output;
    const auto at = [&](const std::string& text) {
        const std::size_t position = out.find(text);
        EXPECT_NE(position, std::string::npos) << text;
        return position;
    };
    EXPECT_EQ(at("Available COM ports\n-------------------\n"), 0U);
    EXPECT_LT(at("Testing COM1\n"), at("COM1  - None\n"));
    EXPECT_LT(at("       - Read (0x14)\n"), at("COM1  - None\n"));
    EXPECT_LT(at("COM1  - None\n"), at("Testing COM4\n"));
    EXPECT_LT(at("(COM4): Valid response\n"), at("COM4  - Quillfern\n"));
    EXPECT_EQ(out.substr(at("COM4  - Quillfern\n")),
              "COM4  - Quillfern\n-------------------\nTotal:  2 ports\nQuillfern:  1 found\n");
    EXPECT_EQ(out.find("Found Quillfern"), std::string::npos);
}

// At most 32 ports at once: forty controllers take two rounds of the 100 ms wait for the command, fewer take one;
// with no thread to start (the first start fails), or only one, they go one after another.
TEST_F(ListReport, ProbesRunAtOnceAtMost32AtATime) {
    for (const auto& [ports, failingStart, rounds] :
         {std::tuple{3, 0, 1U}, {32, 0, 1U}, {40, 0, 2U}, {3, 1, 3U}, {3, 2, 3U}}) {
        fake::reset();
        std::vector<std::string> names;
        for (std::int32_t port = 1; port <= ports; ++port) {
            names.push_back("COM" + std::to_string(port));
            fake::addController(port);
        }
        fake::setDeviceNames({fake::names(names)});
        fake::failCall(Op::StartThread, failingStart, 8);
        const auto run = runWords({"list"});
        EXPECT_NE(run.output.find("Quillfern:  " + std::to_string(ports) + " found\n"), std::string::npos);
        EXPECT_EQ(fake::clock(), rounds * 100U) << ports << " ports, thread start " << failingStart << " failing";
        EXPECT_EQ(fake::openHandles(), 0);
    }
}

}  // namespace
