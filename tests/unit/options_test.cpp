#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run_settings.h"
#include "platform/instance_id.h"
#include "tests/fake_platform.h"
#include "tests/unit/capture.h"

namespace {

using testing_support::captureOutput;
using testing_support::runWords;

const std::string kBoth = "Cannot specify ALLPORTS and a specific port at the same time\n";

std::string comRange(const std::string& word) {
    return "Invalid usage (" + word + "). ex. COM=#, where # is between 1 and 99\n";
}
std::string timeoutRange(const std::string& word) {
    return "Invalid usage (" + word + "). ex. TIMEOUT=#, where # is between 1 and 20\n";
}
std::string usbForm(const std::string& word) { return "Invalid usage (" + word + "). ex. USB=2341:0043\n"; }
const std::string kByIdentity = "Cannot specify ALLPORTS and a port's identity at the same time\n";
std::string waitRange(const std::string& word) {
    return "Invalid usage (" + word + "). ex. WAIT=#, where # is between 1 and 600\n";
}

const std::string kHelp =
    "Searches the COM ports on the system for the Quillfern Controller.  If found,\n"
    "returns the port number that the first Quillfern Controller is connected.\n"
    "Otherwise, 0 is returned.  Does not display any output unless the verbose\n"
    "option is specified or list is specified.\n"
    "\n"
    "Version:  1.06\n"
    "Usage:  quillfind [OPTIONS]\n"
    "\n"
    "Options:\n"
    "    verbose     Enables displaying all messages\n"
    "    com=#       Specifically tests specified COM port.  (# from 1 to 99)\n"
    "    timeout=#   Sets the timeout for waiting for data back from the controller.\n"
    "                (# from 1 to 20 seconds).  Default is 5 seconds.\n"
    "    baudrate=#  Sets the baudrate for the COM port.  Default is 57600.\n"
    "                Other values:   9600, 19200, 57600, 115200\n"
    "    list        Lists the COM ports available on the system.\n"
    "    allports    Forces all ports from 1 to 99 to be tested,\n"
    "                instead of just the available ports on the system\n"
    "    usage|help  Prints this screen\n"
    "                (also -h, --help and /?)\n"
    "    wait=#      Waits for a controller to be plugged in, up to # seconds\n"
    "                from the start.  (# from 1 to 600)\n"
    "    device      Prints the device the controller was found on.\n"
    "    json        Prints the result, or the list, as JSON for scripts.\n"
    "    serial=S    Only the port whose USB serial number is S.\n"
    "    usb=V[:P]   Only USB ports with vendor ID V, and product ID P (hex).\n"
    "    location=L  Only the port plugged in at L, as list json shows it.\n"
    "    version     Prints the version.\n"
    "    watch       Reports each port as it comes, probed once, and as it goes,\n"
    "                until wait=# seconds from the start, or until ended.\n"
    "\n";

// What the walk leaves behind for one command line.
struct WalkCase {
    std::vector<std::string> words;
    bool goesOn;
    std::string output;
    std::int32_t port;  // lowestPort == highestPort == port; 0 for no choice
    std::int32_t timeout;
    std::uint32_t baud;
    bool allPorts;
    bool verbose;
    std::string chosen = "|||";  // serial|vendor|product|location
};

void PrintTo(const WalkCase& walk, std::ostream* out) {
    *out << "{";
    for (const std::string& word : walk.words) {
        *out << " " << word;
    }
    *out << " }";
}

class OptionWalk : public testing::TestWithParam<WalkCase> {
protected:
    void SetUp() override {
        fake::reset();
        resetRunSettings();
    }
};

TEST_P(OptionWalk, SettingsAndMessages) {
    const WalkCase& expected = GetParam();
    std::vector<const char*> argv{"quillfind"};
    for (const std::string& word : expected.words) {
        argv.push_back(word.c_str());
    }
    bool goesOn = false;
    const std::string output =
        captureOutput([&] { goesOn = walkOptions(static_cast<int>(argv.size()), argv.data()); });
    EXPECT_EQ(output, expected.output);
    EXPECT_EQ(goesOn, expected.goesOn);
    if (expected.port == 0) {
        EXPECT_NE(runSettings.lowestPort, runSettings.highestPort);
    } else {
        EXPECT_EQ(runSettings.lowestPort, expected.port);
        EXPECT_EQ(runSettings.highestPort, expected.port);
    }
    EXPECT_EQ(runSettings.timeoutSeconds, expected.timeout);
    EXPECT_EQ(runSettings.baudRate, expected.baud);
    EXPECT_EQ(runSettings.allPorts, expected.allPorts);
    EXPECT_EQ(runSettings.verbose, expected.verbose);
    const PortChoice& choice = runSettings.choice;
    EXPECT_EQ(std::string(choice.serialNumber ? choice.serialNumber : "") + "|" + choice.vendorId + "|" +
                  choice.productId + "|" + (choice.location ? choice.location : ""), expected.chosen);
    EXPECT_TRUE(fake::calls().empty()) << "the walk must not touch any port";
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Words, OptionWalk, testing::Values(
    WalkCase{{}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"helpme", "verbosex", "com", "lists", "all"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"verbose"}, true, "", 0, 5, 57600, false, true},
    WalkCase{{"VERBOSE"}, true, "", 0, 5, 57600, false, true},
    // com=
    WalkCase{{"com=5"}, true, "", 5, 5, 57600, false, false},
    WalkCase{{"COM=7"}, true, "", 7, 5, 57600, false, false},
    WalkCase{{"Com=99"}, true, "", 99, 5, 57600, false, false},
    WalkCase{{"com=1"}, true, "", 1, 5, 57600, false, false},
    WalkCase{{"com=5x"}, true, "", 5, 5, 57600, false, false},
    WalkCase{{"com= \t12"}, true, "", 12, 5, 57600, false, false},
    WalkCase{{"com=+9"}, true, "", 9, 5, 57600, false, false},
    WalkCase{{"com=5", "com=7"}, true, "", 7, 5, 57600, false, false},
    WalkCase{{"com="}, false, "Invalid usage (com=). ex. COM=5", 0, 5, 57600, false, false},
    WalkCase{{"COM="}, false, "Invalid usage (COM=). ex. COM=5", 0, 5, 57600, false, false},
    WalkCase{{"com=0"}, false, comRange("com=0"), 0, 5, 57600, false, false},
    WalkCase{{"com=100"}, false, comRange("com=100"), 0, 5, 57600, false, false},
    WalkCase{{"com=-3"}, false, comRange("com=-3"), 0, 5, 57600, false, false},
    WalkCase{{"com=abc"}, false, comRange("com=abc"), 0, 5, 57600, false, false},
    WalkCase{{"com=-"}, false, comRange("com=-"), 0, 5, 57600, false, false},
    // Too large for an int: out of range, never wrapped round to a port.
    WalkCase{{"com=4294967297"}, false, comRange("com=4294967297"), 0, 5, 57600, false, false},
    WalkCase{{"com=-4294967295"}, false, comRange("com=-4294967295"), 0, 5, 57600, false, false},
    WalkCase{{"com=99999999999999999999999"}, false, comRange("com=99999999999999999999999"), 0, 5, 57600, false, false},
    // A typed word is printed, never read as a format.
    WalkCase{{"com=%s%n%d"}, false, comRange("com=%s%n%d"), 0, 5, 57600, false, false},
    // allports and a chosen port exclude each other, before any number is read.
    WalkCase{{"allports"}, true, "", 0, 5, 57600, true, false},
    WalkCase{{"ALLPORTS"}, true, "", 0, 5, 57600, true, false},
    WalkCase{{"com=5", "allports"}, false, kBoth, 5, 5, 57600, false, false},
    WalkCase{{"allports", "com=5"}, false, kBoth, 0, 5, 57600, true, false},
    WalkCase{{"allports", "com="}, false, kBoth, 0, 5, 57600, true, false},
    WalkCase{{"allports", "com=abc"}, false, kBoth, 0, 5, 57600, true, false},
    // timeout=
    WalkCase{{"timeout=1"}, true, "", 0, 1, 57600, false, false},
    WalkCase{{"TimeOut=20"}, true, "", 0, 20, 57600, false, false},
    WalkCase{{"timeout=7s"}, true, "", 0, 7, 57600, false, false},
    WalkCase{{"timeout="}, false, "Invalid usage (timeout=). ex. TIMEOUT=5\n", 0, 5, 57600, false, false},
    WalkCase{{"timeout=0"}, false, timeoutRange("timeout=0"), 0, 5, 57600, false, false},
    WalkCase{{"timeout=21"}, false, timeoutRange("timeout=21"), 0, 5, 57600, false, false},
    WalkCase{{"timeout=x"}, false, timeoutRange("timeout=x"), 0, 5, 57600, false, false},
    WalkCase{{"timeout=4294967301"}, false, timeoutRange("timeout=4294967301"), 0, 5, 57600, false, false},
    // baudrate=: three other speeds, everything else is the default
    WalkCase{{"baudrate=9600"}, true, "", 0, 5, 9600, false, false},
    WalkCase{{"BAUDRATE=19200"}, true, "", 0, 5, 19200, false, false},
    WalkCase{{"baudrate=115200"}, true, "", 0, 5, 115200, false, false},
    WalkCase{{"baudrate=57600"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"baudrate=300"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"baudrate=abc"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"baudrate=-9600"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"baudrate= 9600baud"}, true, "", 0, 5, 9600, false, false},
    WalkCase{{"baudrate=4294976896"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"baudrate=9600", "baudrate=300"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"baudrate="}, false, "Invalid usage (baudrate=). ex. BAUDRATE=57600\n", 0, 5, 57600, false, false},

    WalkCase{{"wait=1", "WAIT=600", "Wait=10s"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"wait="}, false, "Invalid usage (wait=). ex. WAIT=10\n", 0, 5, 57600, false, false},
    WalkCase{{"WAIT="}, false, "Invalid usage (WAIT=). ex. WAIT=10\n", 0, 5, 57600, false, false},
    WalkCase{{"wait=0"}, false, waitRange("wait=0"), 0, 5, 57600, false, false},
    WalkCase{{"wait=601"}, false, waitRange("wait=601"), 0, 5, 57600, false, false},
    WalkCase{{"wait=-5"}, false, waitRange("wait=-5"), 0, 5, 57600, false, false},
    WalkCase{{"wait=soon"}, false, waitRange("wait=soon"), 0, 5, 57600, false, false},
    WalkCase{{"wait=4294967301"}, false, waitRange("wait=4294967301"), 0, 5, 57600, false, false},
    // help ends the walk wherever it stands; words after it are never read.
    WalkCase{{"help"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"USAGE"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"-h", "com=0"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"--HELP"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"/?"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"-help", "--h", "/h", "?"}, true, "", 0, 5, 57600, false, false},
    WalkCase{{"DEVICE", "com=4"}, true, "", 4, 5, 57600, false, false},
    WalkCase{{"Help", "verbose"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"help", "com=0"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"com=0", "help"}, false, comRange("com=0"), 0, 5, 57600, false, false},
    // json shapes a usage error wherever it stands; help stays text.
    WalkCase{{"com=", "JSON"}, false, "{\"error\":\"Invalid usage (com=). ex. COM=5\"}\n", 0, 5, 57600, false, false},
    WalkCase{{"json", "timeout=\"0\\"}, false, "{\"error\":\"Invalid usage (timeout=\\\"0\\\\). ex. TIMEOUT=#, where # "
             "is between 1 and 20\"}\n", 0, 5, 57600, false, false},
    WalkCase{{"allports", "com=1", "json"}, false, "{\"error\":\"" + kBoth.substr(0, kBoth.size() - 1) + "\"}\n", 0, 5,
             57600, true, false},
    WalkCase{{"json", "help"}, false, kHelp, 0, 5, 57600, false, false},
    WalkCase{{"timeout=3", "com=4", "baudrate=9600", "verbose", "help"}, false, kHelp, 4, 3, 9600, false, true},
    // serial=, usb=, location=: the later of two alike wins; version ends the walk as help does.
    WalkCase{{"Serial=a", "SERIAL=ab1C", "usb=2341:0043", "USB=1A86"}, true, "", 0, 5, 57600, false, false, "ab1C|1a86||"},
    WalkCase{{"usb=0403:6Fa1", "LOCATION=1-1.2", "version"}, false, "quillfind 1.06\n", 0, 5, 57600, false, false, "|0403|6fa1|1-1.2"},
    WalkCase{{"--VERSION", "com=0"}, false, "quillfind 1.06\n", 0, 5, 57600, false, false},
    WalkCase{{"serial="}, false, "Invalid usage (serial=). ex. SERIAL=75735323434351E0A1C1\n", 0, 5, 57600, false, false},
    WalkCase{{"location="}, false, "Invalid usage (location=). ex. LOCATION=1-1.2\n", 0, 5, 57600, false, false},
    WalkCase{{"location=", "json"}, false, "{\"error\":\"Invalid usage (location=). ex. LOCATION=1-1.2\"}\n", 0, 5, 57600, false, false},
    WalkCase{{"usb=23"}, false, usbForm("usb=23"), 0, 5, 57600, false, false},
    WalkCase{{"usb=2341:00430"}, false, usbForm("usb=2341:00430"), 0, 5, 57600, false, false},
    WalkCase{{"usb=2341-0043"}, false, usbForm("usb=2341-0043"), 0, 5, 57600, false, false},
    WalkCase{{"usb=g341"}, false, usbForm("usb=g341"), 0, 5, 57600, false, false},
    WalkCase{{"usb=2341:004g"}, false, usbForm("usb=2341:004g"), 0, 5, 57600, false, false},
    WalkCase{{"allports", "serial=x"}, false, kByIdentity, 0, 5, 57600, true, false},
    WalkCase{{"allports", "watch"}, false, "Cannot specify ALLPORTS and WATCH at the same time\n", 0, 5, 57600, true, false},
    WalkCase{{"location=x", "allports"}, false, kByIdentity, 0, 5, 57600, false, false, "|||x"},
    WalkCase{{"allports", "usb=", "json"}, false, "{\"error\":\"" + kByIdentity.substr(0, kByIdentity.size() - 1) + "\"}\n",
             0, 5, 57600, true, false},
    WalkCase{{"json", "usb=23"}, false, "{\"error\":\"Invalid usage (usb=23). ex. USB=2341:0043\"}\n", 0, 5, 57600, false, false},
    WalkCase{{"serial=", "json"}, false, "{\"error\":\"Invalid usage (serial=). ex. SERIAL=75735323434351E0A1C1\"}\n", 0, 5,
             57600, false, false}
));
// clang-format on

class ProgramRun : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        resetRunSettings();
    }
};

TEST_F(ProgramRun, HelpNamesTheProgramAsTyped) {
    const char* argv[] = {"C:\\Tools\\QuillFind.EXE", "help", nullptr};
    const std::string output = captureOutput([&] { runQuillfind(2, argv); });
    EXPECT_NE(output.find("Usage:  C:\\Tools\\QuillFind.EXE [OPTIONS]\n\n"), std::string::npos);
}

TEST_F(ProgramRun, HelpWithoutProgramNameDoesNotCrash) {
    const char* argv[] = {nullptr, "help", nullptr};
    const std::string output = captureOutput([&] { runQuillfind(2, argv); });
    EXPECT_NE(output.find("Usage:   [OPTIONS]\n\n"), std::string::npos);
}

TEST_F(ProgramRun, NoWordsAtAllSearchesSilently) {
    fake::setDeviceNames({fake::names({"COM3"})});
    fake::addController(3);
    const char* argv[] = {nullptr};
    int status = -1;
    const std::string output = captureOutput([&] { status = runQuillfind(0, argv); });
    EXPECT_EQ(status, 3);
    EXPECT_EQ(output, "");
}

TEST_F(ProgramRun, ExitStatusIsTheFoundPortOrZero) {
    fake::setDeviceNames({fake::names({"COM1", "COM4"})});
    fake::addPort(1);
    fake::addController(4);
    auto found = runWords({});
    EXPECT_EQ(found.status, 4);
    EXPECT_EQ(found.output, "");

    fake::reset();
    resetRunSettings();
    fake::setDeviceNames({fake::names({"COM1"})});
    fake::addPort(1);
    auto none = runWords({"verbose"});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.output.find("Failed to find Quillfern Controller\n"), std::string::npos);
}

TEST_F(ProgramRun, DeviceWordPrintsWhereTheControllerAnsweredAfterEveryVerboseLine) {
    struct Case {
        const char* path;  // what the layer names COM4, nullptr as on Windows
        bool controller;
        std::vector<std::string> words;
        int status;
        std::string tail;  // how the output ends
    };
    for (const Case& run : {Case{"/dev/ttyACM0", true, {"device"}, 4, "/dev/ttyACM0\n"},
                            Case{nullptr, true, {"Device"}, 4, "COM4\n"},
                            Case{"/dev/ttyACM0", true, {"device", "verbose"}, 4,
                                 "Found Quillfern Controller on COM4\n/dev/ttyACM0\n"},
                            Case{"/dev/ttyACM0", false, {"device", "verbose"}, 0,
                                 "Failed to find Quillfern Controller\n"},
                            Case{"/dev/ttyACM0", false, {"device"}, 0, ""}}) {
        fake::reset();
        resetRunSettings();
        fake::setDeviceNames({fake::names({"COM4"})});
        if (run.controller) {
            fake::addController(4);
        } else {
            fake::addPort(4);
        }
        if (run.path != nullptr) {
            fake::setDevicePath(4, run.path);
        }
        const auto outcome = runWords(run.words);
        EXPECT_EQ(outcome.status, run.status) << run.words[0];
        const std::string& output = outcome.output;
        EXPECT_TRUE(output.size() >= run.tail.size() &&
                    output.compare(output.size() - run.tail.size(), run.tail.size(), run.tail) == 0)
            << output;
        if (!run.controller) {
            EXPECT_EQ(output.find("/dev/"), std::string::npos) << output;
        }
    }
}

// With json, standard output is the one document, whatever else was asked:
// the verbose lines go to standard error and device prints nothing more.
TEST_F(ProgramRun, JsonIsAllTheOutputAndNamesThePortThatAnswered) {
    fake::setDeviceNames({fake::names({"COM2", "COM4"})});
    fake::addPort(2);
    fake::addController(4);
    fake::setDevicePath(4, "/dev/ttyACM0");
    platform::PortIdentity identity;
    identity.bus = platform::PortBus::Usb;
    platform::copyText(identity.productId, "8036", 4);
    fake::setPortIdentity(4, identity);
    auto run = runWords({"verbose", "device", "json"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.output, "{\"found\":true,\"port\":{\"com\":4,\"name\":\"COM4\",\"device\":\"/dev/ttyACM0\","
                          "\"answered\":true,\"bus\":\"usb\",\"vendor_id\":null,\"product_id\":\"8036\","
                          "\"interface\":null,\"serial_number\":null,\"manufacturer\":null,\"product\":null,"
                          "\"description\":null,\"location\":null,\"stable_path\":null}}\n");

    fake::reset();
    resetRunSettings();
    fake::setDeviceNames({fake::names({"COM2"})});
    fake::addPort(2);
    run = runWords({"json", "verbose"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "{\"found\":false,\"port\":null}\n");
}

TEST_F(ProgramRun, UsageErrorsEndBeforeAnyPortIsTouched) {
    fake::addController(5);
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"com=0"}, {"timeout=21"}, {"com=5", "allports"}, {"help"}}) {
        fake::reset();
        resetRunSettings();
        fake::addController(5);
        const auto run = runWords(words);
        EXPECT_EQ(run.status, 0) << words[0];
        EXPECT_TRUE(fake::calls().empty()) << words[0];
    }
}

}  // namespace
