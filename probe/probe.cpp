#include "probe/probe.h"

#include "cli/run_settings.h"
#include "platform/platform.h"

namespace {

// The DTR pulse restarts the controller into its bootloader, which hears
// nothing during the microcontroller's start-up delay (65 ms with the usual
// fuses): a command cut in half then leaves it a stray byte, on which it
// leaves for the application. Past the delay its UART holds the command
// until the bootloader, still flashing its LED, gets to it. The rest is
// margin for an adapter's DTR latency.
constexpr std::uint32_t kEarlyCommandMilliseconds = 100;

// When no reply has begun by then, the command goes out again: to a device
// that listens only later, and to a board whose start-up swallowed the
// first one.
constexpr std::uint32_t kResendMilliseconds = 1000;

// An open that fails only after this long was waiting on something that did
// not come (a Bluetooth link's peer, on Windows), not refused.
constexpr std::uint64_t kStalledOpenMilliseconds = 1000;

void sleepUntil(std::uint64_t moment) {
    const std::uint64_t now = platform::monotonicMilliseconds();
    if (now < moment) {
        platform::sleepMilliseconds(static_cast<std::uint32_t>(moment - now));
    }
}

bool setUserTimeout(const PortSession& session) {
    if (!platform::setReadTimeout(session.handle, static_cast<std::uint32_t>(runSettings.timeoutSeconds) * 1000U)) {
        verboseLog("       - Failed setting COM timeout\n");
        return false;
    }
    return true;
}

// Reads the reply's bytes from the received-th on, each within the timeout.
bool readRestOfReply(const PortSession& session, std::uint8_t (&reply)[2], std::uint32_t received) {
    while (received < 2) {
        std::uint8_t byte = 0;
        bool gotByte = false;
        if (!platform::readByte(session.handle, byte, gotByte)) {
            verboseLog("       - Error Reading (%ld)\n", platform::lastErrorCode());
            break;
        }
        if (!gotByte) {
            verboseLog("       - Read NULL\n");
            break;
        }
        verboseLog("       - Read (0x%02X)\n", static_cast<unsigned>(byte));
        reply[received++] = byte;
    }
    return reply[0] == RunSettings::syncReply[0] && reply[1] == RunSettings::syncReply[1];
}

enum class EarlyReply { Started, NotStarted, Failed };

// Waits until resendAt for the first byte of a reply. A read error is no
// byte: the command sent again meets it, as it would have met it alone.
EarlyReply awaitReplyStart(const PortSession& session, std::uint64_t resendAt, std::uint8_t& first) {
    const std::uint64_t now = platform::monotonicMilliseconds();
    if (now >= resendAt) {
        return EarlyReply::NotStarted;
    }
    if (!platform::setReadTimeout(session.handle, static_cast<std::uint32_t>(resendAt - now))) {
        verboseLog("       - Failed setting COM timeout\n");
        return EarlyReply::Failed;
    }
    bool gotByte = false;
    return platform::readByte(session.handle, first, gotByte) && gotByte ? EarlyReply::Started
                                                                          : EarlyReply::NotStarted;
}

void logReading(std::int32_t portNumber) {
    verboseLog("(COM%d): Reading response, expecting (0x%02X, 0x%02X)\n", portNumber,
               static_cast<unsigned>(RunSettings::syncReply[0]),
               static_cast<unsigned>(RunSettings::syncReply[1]));
}

// The command soon after the reopen, and again at kResendMilliseconds when
// no reply has begun; once one has, its bytes decide. The lines it logs are
// those of a single command sent at kResendMilliseconds, whatever happened
// to the early one: a user reads the outcome, not the timing.
bool exchangeSyncCommand(const PortSession& session, std::int32_t portNumber, std::uint64_t reopenedAt) {
    sleepUntil(reopenedAt + kEarlyCommandMilliseconds);
    verboseLog("(COM%d): Sending command (0x%02X, 0x%02X)\n", portNumber,
               static_cast<unsigned>(RunSettings::syncCommand[0]),
               static_cast<unsigned>(RunSettings::syncCommand[1]));
    if (!sendSyncCommand(session)) {
        verboseLog("(COM%d Failed to send command\n", portNumber);
        return false;
    }
    const std::uint64_t resendAt = reopenedAt + kResendMilliseconds;
    std::uint8_t reply[2] = {0x00, 0x00};
    const EarlyReply early = awaitReplyStart(session, resendAt, reply[0]);
    if (early == EarlyReply::Failed || !setUserTimeout(session)) {
        return false;
    }
    if (early == EarlyReply::Started) {
        logReading(portNumber);
        verboseLog("       - Read (0x%02X)\n", static_cast<unsigned>(reply[0]));
        return readRestOfReply(session, reply, 1);
    }
    sleepUntil(resendAt);
    // A reply that starts after the wait gave up belongs to the first
    // command, and would be taken for the start of the second one's.
    if (!platform::discardInput(session.handle) || !sendSyncCommand(session)) {
        verboseLog("(COM%d Failed to send command\n", portNumber);
        return false;
    }
    logReading(portNumber);
    return readRestOfReply(session, reply, 0);
}

}  // namespace

void closePort(PortSession& session) {
    if (session.isOpen()) {
        platform::closeComPort(session.handle);
        session.handle = platform::kNoPort;
    }
}

bool configurePort(const PortSession& session) {
    platform::LineState state{};
    verboseLog("       - Getting COM state\n");
    if (!platform::getLineState(session.handle, state)) {
        verboseLog("       - Failed getting COM state\n");
        return false;
    }
    platform::setLineSettings(state, runSettings.baudRate);
    verboseLog("       - Updating COM state\n");
    if (!platform::applyLineState(session.handle, state)) {
        verboseLog("       - Failed setting COM state\n");
        return false;
    }
    verboseLog("       - Setting %d second COM timeout\n", runSettings.timeoutSeconds);
    return setUserTimeout(session);
}

ProbeOutcome openPort(PortSession& session, std::int32_t portNumber) {
    const std::uint64_t started = platform::monotonicMilliseconds();
    session.handle = platform::openComPort(portNumber);
    if (!session.isOpen()) {
        const bool stalled = platform::monotonicMilliseconds() - started > kStalledOpenMilliseconds;
        verboseLog("(COM%d): Invalid COM port\n", portNumber);
        if (const char* reason = platform::openFailureReason()) {
            verboseLog("       - %s\n", reason);
        }
        return stalled ? ProbeOutcome::OpenStalled : ProbeOutcome::NotOpened;
    }
    verboseLog("(COM%d): Testing COM state\n", portNumber);
    if (configurePort(session)) {
        verboseLog("(COM%d): Opened\n", portNumber);
        return ProbeOutcome::NoAnswer;
    }
    closePort(session);
    verboseLog("(COM%d): Failed to test COM port\n", portNumber);
    return ProbeOutcome::SetupFailed;
}

bool sendSyncCommand(const PortSession& session) {
    return platform::writeBytes(session.handle, RunSettings::syncCommand, 2);
}

ProbeOutcome probePortOutcome(PortSession& session, std::int32_t portNumber) {
    closePort(session);
    verboseLog("Testing COM%d\n", portNumber);
    verboseLog("(COM%d): Opening port\n", portNumber);
    bool answered = false;
    ProbeOutcome outcome = openPort(session, portNumber);
    if (outcome != ProbeOutcome::NoAnswer) {
        verboseLog("(COM%d): Failed to open port\n", portNumber);
    } else {
        // Closing and reopening drops DTR, which restarts the controller into
        // the state where it listens for the command.
        platform::closeComPort(session.handle);
        verboseLog("(COM%d): Closing port\n", portNumber);
        session.handle = platform::kNoPort;
        verboseLog("(COM%d): Opening port (again)\n", portNumber);
        outcome = openPort(session, portNumber);
        if (outcome != ProbeOutcome::NoAnswer) {
            verboseLog("(COM%d): Failed to open port (again)\n", portNumber);
        } else {
            answered = exchangeSyncCommand(session, portNumber, platform::monotonicMilliseconds());
            if (answered) {
                verboseLog("(COM%d): Valid response\n", portNumber);
            }
        }
    }
    closePort(session);
    return answered ? ProbeOutcome::Answered : outcome;
}

ProbeOutcome probePortOutcome(std::int32_t portNumber) {
    PortSession session;
    return probePortOutcome(session, portNumber);
}

bool probePort(std::int32_t portNumber) { return probePortOutcome(portNumber) == ProbeOutcome::Answered; }
