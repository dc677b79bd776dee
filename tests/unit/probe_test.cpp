#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/run_settings.h"
#include "probe/probe.h"
#include "search/search.h"
#include "tests/fake_platform.h"
#include "tests/unit/capture.h"

namespace {

using fake::Op;
using testing_support::captureOutput;
using testing_support::joinLines;

class Probe : public testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        resetRunSettings();
        runSettings.verbose = true;
    }

    // Probes and checks what must hold on every path: no port left open,
    // and no call on a handle that was not open.
    bool probe(std::int32_t port, std::string& output) {
        bool answered = false;
        output = captureOutput([&] { answered = probePort(port); });
        EXPECT_EQ(fake::openHandles(), 0);
        EXPECT_EQ(fake::misuses(), 0);
        return answered;
    }
};

const std::vector<std::string> kOpenLines = {
    "(COM4): Testing COM state",
    "       - Getting COM state",
    "       - Updating COM state",
    "       - Setting 5 second COM timeout",
    "(COM4): Opened",
};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> lines;
    for (const auto& part : parts) {
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

// The calls of a probe that finds a controller on COM<port>.
std::vector<std::string> answeringProbeLog(std::int32_t port, std::uint32_t speed, std::int32_t seconds) {
    const std::string com = std::to_string(port);
    const std::string timeout = "timeout " + com + " " + std::to_string(seconds * 1000);
    const std::vector<std::string> open = {"open " + com, "get " + com,
                                           "apply " + com + " " + std::to_string(speed), timeout};
    return concat({open, {"close " + com}, open,
                   {"sleep 100", "write " + com, "timeout " + com + " 900", "read " + com, timeout, "read " + com,
                    "close " + com}});
}

TEST_F(Probe, ControllerAnswersWithTheExactTranscript) {
    fake::addController(4);
    std::string output;
    EXPECT_TRUE(probe(4, output));
    EXPECT_EQ(output, joinLines(concat({{"Testing COM4", "(COM4): Opening port"},
                                        kOpenLines,
                                        {"(COM4): Closing port", "(COM4): Opening port (again)"},
                                        kOpenLines,
                                        {"(COM4): Sending command (0x30, 0x20)",
                                         "(COM4): Reading response, expecting (0x14, 0x10)",
                                         "       - Read (0x14)", "       - Read (0x10)",
                                         "(COM4): Valid response"}})));
    ASSERT_EQ(fake::callLog(), answeringProbeLog(4, 57600, 5));
    EXPECT_EQ(fake::calls()[10].value, 0x3020U) << "the command is 0x30 then 0x20";
}

TEST_F(Probe, SilentWhenVerboseIsOff) {
    runSettings.verbose = false;
    fake::addController(4);
    std::string output;
    EXPECT_TRUE(probe(4, output));
    EXPECT_EQ(output, "");
}

TEST_F(Probe, LineSettingsComeFromTheRunSettings) {
    for (const auto& setting : {std::pair<std::uint32_t, std::int32_t>{9600, 1}, {115200, 20}}) {
        fake::reset();
        runSettings.baudRate = setting.first;
        runSettings.timeoutSeconds = setting.second;
        fake::addController(4);
        std::string output;
        EXPECT_TRUE(probe(4, output));
        const std::string seconds = std::to_string(setting.second);
        EXPECT_EQ(fake::callLog(), answeringProbeLog(4, setting.first, setting.second));
        EXPECT_NE(output.find("       - Setting " + seconds + " second COM timeout\n"), std::string::npos);
    }
}

struct ReplyCase {
    const char* name;
    std::vector<fake::ReadStep> reads;
    bool answers;
    std::vector<std::string> readLines;
    int readCalls;
};

void PrintTo(const ReplyCase& param, std::ostream* out) { *out << param.name; }

class ProbeReply : public Probe, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ProbeReply, OnlyTheExactPairInOrderAnswers) {
    const ReplyCase& reply = GetParam();
    fake::addPort(4, reply.reads);
    std::string output;
    EXPECT_EQ(probe(4, output), reply.answers);
    const std::string expecting = "(COM4): Reading response, expecting (0x14, 0x10)\n";
    const std::size_t at = output.find(expecting);
    ASSERT_NE(at, std::string::npos);
    std::vector<std::string> lines = reply.readLines;
    if (reply.answers) {
        lines.push_back("(COM4): Valid response");
    }
    EXPECT_EQ(output.substr(at + expecting.size()), joinLines(lines));
    int reads = 0;
    for (const fake::Call& call : fake::calls()) {
        reads += call.op == Op::Read ? 1 : 0;
    }
    EXPECT_EQ(reads, reply.readCalls);
    // With no reply begun, the command again at one second, read with the user's timeout: a silent port's old cost.
    const std::vector<std::string> log = fake::callLog(), resend = {"timeout 4 5000", "sleep 900", "discard 4", "write 4"};
    const bool resent = std::search(log.begin(), log.end(), resend.begin(), resend.end()) != log.end();
    EXPECT_EQ(resent, reply.reads.empty() || reply.reads[0].kind != fake::ReadStep::Kind::Byte);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Replies, ProbeReply, testing::Values(
    ReplyCase{"Expected", {fake::byte(0x14), fake::byte(0x10)}, true,
              {"       - Read (0x14)", "       - Read (0x10)"}, 2},
    ReplyCase{"WrongOrder", {fake::byte(0x10), fake::byte(0x14)}, false,
              {"       - Read (0x10)", "       - Read (0x14)"}, 2},
    ReplyCase{"OneByte", {fake::byte(0x14)}, false,
              {"       - Read (0x14)", "       - Read NULL"}, 2},
    ReplyCase{"Silent", {}, false, {"       - Read NULL"}, 2},
    ReplyCase{"WhatCameLateIsThrownAway", {fake::timeout(), fake::stale(0x10), fake::byte(0x14), fake::byte(0x10)},
              true, {"       - Read (0x14)", "       - Read (0x10)"}, 3},
    ReplyCase{"ThreeBytesOnlyTwoRead", {fake::byte(0x14), fake::byte(0x10), fake::byte(0x14)}, true,
              {"       - Read (0x14)", "       - Read (0x10)"}, 2},
    ReplyCase{"NoiseFirst", {fake::byte(0x55), fake::byte(0x14), fake::byte(0x10)}, false,
              {"       - Read (0x55)", "       - Read (0x14)"}, 2},
    ReplyCase{"ZeroBytesAreNoReply", {fake::byte(0x00), fake::byte(0x00)}, false,
              {"       - Read (0x00)", "       - Read (0x00)"}, 2},
    ReplyCase{"ErrorAtOnce", {fake::timeout(), fake::readError(995)}, false, {"       - Error Reading (995)"}, 2},
    ReplyCase{"ErrorAfterFirstByte", {fake::byte(0x14), fake::readError(5)}, false,
              {"       - Read (0x14)", "       - Error Reading (5)"}, 2},
    ReplyCase{"NegativeErrorCode", {fake::timeout(), fake::readError(-2147024891L)}, false,
              {"       - Error Reading (-2147024891)"}, 2}
), [](const testing::TestParamInfo<ReplyCase>& param) { return std::string(param.param.name); });
// clang-format on

// Every platform call of a probe, made to fail in turn during a search over
// two controllers: the exact messages for the failing port, no port left
// open, one close for every open that succeeded, no call on the port after
// its last close, and the search going on to find the next one.
struct FaultCase {
    const char* name;
    Op op;
    int occurrence;
    std::vector<std::string> transcript;
    int opens;
};

void PrintTo(const FaultCase& param, std::ostream* out) { *out << param.name; }

const std::vector<std::string> kFirstOpen = {"Testing COM4", "(COM4): Opening port"};
const std::vector<std::string> kSecondOpen = concat(
    {kFirstOpen, kOpenLines, {"(COM4): Closing port", "(COM4): Opening port (again)"}});

class ProbeFault : public Probe, public testing::WithParamInterface<FaultCase> {};

TEST_P(ProbeFault, FailsCleanlyAndTheSearchGoesOn) {
    const FaultCase& fault = GetParam();
    fake::setDeviceNames({fake::names({"COM4", "COM5"})});
    // COM4 answers only the command sent again, so that every call of a probe is made.
    fake::addPort(4, {fake::timeout(), fake::byte(0x14), fake::byte(0x10)});
    fake::addController(5);
    fake::failCall(fault.op, fault.occurrence, 31);
    bool found = false;
    const std::string output = captureOutput([&] { found = searchForController(); });
    EXPECT_TRUE(found);
    EXPECT_EQ(runSettings.foundPort, 5);
    EXPECT_EQ(fake::openHandles(), 0);
    EXPECT_EQ(fake::misuses(), 0);

    const std::string failing = joinLines(fault.transcript);
    ASSERT_EQ(output.substr(0, failing.size()), failing);
    const std::string next = output.substr(failing.size());
    EXPECT_EQ(next.rfind("Testing COM5\n", 0), 0U) << next;
    EXPECT_NE(next.find("(COM5): Valid response\n"), std::string::npos) << next;

    int closes = 0;
    std::size_t lastClose = 0;
    int sleeps = 0;
    const auto& calls = fake::calls();
    for (std::size_t index = 0; index < calls.size(); ++index) {
        if (calls[index].op == Op::Close && calls[index].port == 4) {
            ++closes;
            lastClose = index;
        }
        sleeps += calls[index].op == Op::Sleep ? 1 : 0;
    }
    EXPECT_EQ(closes, fault.opens) << "one close for every successful open";
    for (std::size_t index = lastClose + 1; closes > 0 && index < calls.size(); ++index) {
        EXPECT_TRUE(calls[index].port != 4 || calls[index].op == Op::Open)
            << "after the last close only a failed open of the port";
    }
    EXPECT_EQ(sleeps > 1, failing.find("Sending") != std::string::npos) << "waits only once the reopened port is set up";
}

std::vector<std::string> after(const std::vector<std::string>& start, std::vector<std::string> tail) {
    return concat({start, tail});
}

const std::vector<std::string> kSent = after(kSecondOpen, after(kOpenLines, {"(COM4): Sending command (0x30, 0x20)"}));

// clang-format off
INSTANTIATE_TEST_SUITE_P(EveryCall, ProbeFault, testing::Values(
    FaultCase{"FirstOpen", Op::Open, 1, after(kFirstOpen,
        {"(COM4): Invalid COM port", "(COM4): Failed to open port"}), 0},
    FaultCase{"FirstGetState", Op::GetLineState, 1, after(kFirstOpen,
        {"(COM4): Testing COM state", "       - Getting COM state", "       - Failed getting COM state",
         "(COM4): Failed to test COM port", "(COM4): Failed to open port"}), 1},
    FaultCase{"FirstApplyState", Op::ApplyLineState, 1, after(kFirstOpen,
        {"(COM4): Testing COM state", "       - Getting COM state", "       - Updating COM state",
         "       - Failed setting COM state", "(COM4): Failed to test COM port", "(COM4): Failed to open port"}), 1},
    FaultCase{"FirstTimeout", Op::SetReadTimeout, 1, after(kFirstOpen,
        {"(COM4): Testing COM state", "       - Getting COM state", "       - Updating COM state",
         "       - Setting 5 second COM timeout", "       - Failed setting COM timeout",
         "(COM4): Failed to test COM port", "(COM4): Failed to open port"}), 1},
    FaultCase{"SecondOpen", Op::Open, 2, after(kSecondOpen,
        {"(COM4): Invalid COM port", "(COM4): Failed to open port (again)"}), 1},
    FaultCase{"SecondGetState", Op::GetLineState, 2, after(kSecondOpen,
        {"(COM4): Testing COM state", "       - Getting COM state", "       - Failed getting COM state",
         "(COM4): Failed to test COM port", "(COM4): Failed to open port (again)"}), 2},
    FaultCase{"SecondApplyState", Op::ApplyLineState, 2, after(kSecondOpen,
        {"(COM4): Testing COM state", "       - Getting COM state", "       - Updating COM state",
         "       - Failed setting COM state", "(COM4): Failed to test COM port",
         "(COM4): Failed to open port (again)"}), 2},
    FaultCase{"SecondTimeout", Op::SetReadTimeout, 2, after(kSecondOpen,
        {"(COM4): Testing COM state", "       - Getting COM state", "       - Updating COM state",
         "       - Setting 5 second COM timeout", "       - Failed setting COM timeout",
         "(COM4): Failed to test COM port", "(COM4): Failed to open port (again)"}), 2},
    FaultCase{"Write", Op::Write, 1, after(kSent, {"(COM4 Failed to send command"}), 2},
    FaultCase{"EarlyTimeout", Op::SetReadTimeout, 3, after(kSent, {"       - Failed setting COM timeout"}), 2},
    FaultCase{"TimeoutBack", Op::SetReadTimeout, 4, after(kSent, {"       - Failed setting COM timeout"}), 2},
    FaultCase{"Discard", Op::Discard, 1, after(kSent, {"(COM4 Failed to send command"}), 2},
    FaultCase{"WriteAgain", Op::Write, 2, after(kSent, {"(COM4 Failed to send command"}), 2},
    FaultCase{"FirstRead", Op::Read, 2, after(kSecondOpen, concat({kOpenLines,
        {"(COM4): Sending command (0x30, 0x20)", "(COM4): Reading response, expecting (0x14, 0x10)",
         "       - Error Reading (31)"}})), 2},
    FaultCase{"SecondRead", Op::Read, 3, after(kSecondOpen, concat({kOpenLines,
        {"(COM4): Sending command (0x30, 0x20)", "(COM4): Reading response, expecting (0x14, 0x10)",
         "       - Read (0x14)", "       - Error Reading (31)"}})), 2}
), [](const testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });
// clang-format on

TEST_F(Probe, MissingPortCostsNoWait) {
    std::string output;
    EXPECT_FALSE(probe(9, output));
    EXPECT_EQ(fake::callLog(), std::vector<std::string>{"open 9"});
    EXPECT_EQ(output, "Testing COM9\n(COM9): Opening port\n(COM9): Invalid COM port\n"
                      "(COM9): Failed to open port\n");
}

TEST_F(Probe, TheLayersReasonForAFailedOpenFollowsInvalidComPort) {
    fake::setOpenFailureReason(9, "/dev/ttyACM0: in use by another program");
    std::string output;
    EXPECT_FALSE(probe(9, output));
    EXPECT_EQ(output, "Testing COM9\n(COM9): Opening port\n(COM9): Invalid COM port\n"
                      "       - /dev/ttyACM0: in use by another program\n(COM9): Failed to open port\n");
}

TEST_F(Probe, ZeroAndNegativeNumbersGoToTheOpenUnchanged) {
    std::string output;
    EXPECT_FALSE(probe(0, output));
    EXPECT_FALSE(probe(-3, output));
    EXPECT_EQ(output, "Testing COM-3\n(COM-3): Opening port\n(COM-3): Invalid COM port\n"
                      "(COM-3): Failed to open port\n");
    EXPECT_EQ(fake::callLog(), (std::vector<std::string>{"open 0", "open -3"}));
}

TEST_F(Probe, APortLeftOpenIsClosedFirstWithoutAMessage) {
    fake::addPort(2);
    fake::addController(4);
    PortSession session;
    ASSERT_TRUE(captureOutput([&] { openPort(session, 2); }).find("Opened") != std::string::npos);
    const std::string output = captureOutput([&] { EXPECT_EQ(probePortOutcome(session, 4), ProbeOutcome::Answered); });
    EXPECT_FALSE(session.isOpen());
    EXPECT_EQ(output.rfind("Testing COM4\n", 0), 0U) << output;
    EXPECT_EQ(fake::callLog(), concat({{"open 2", "get 2", "apply 2 57600", "timeout 2 5000", "close 2"},
                                       answeringProbeLog(4, 57600, 5)}));
}

}  // namespace
