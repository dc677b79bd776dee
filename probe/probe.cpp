#include "probe/probe.h"

#include "cli/run_settings.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kSettleMilliseconds = 1000;

// An open that fails only after this long was waiting on something that did
// not come (a Bluetooth link's peer, on Windows), not refused.
constexpr std::uint64_t kStalledOpenMilliseconds = 1000;

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
    if (!platform::setReadTimeout(session.handle, runSettings.timeoutSeconds)) {
        verboseLog("       - Failed setting COM timeout\n");
        return false;
    }
    return true;
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

bool readSyncReply(const PortSession& session) {
    std::uint8_t reply[2] = {0x00, 0x00};
    std::uint32_t received = 0;
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
            platform::sleepMilliseconds(kSettleMilliseconds);
            verboseLog("(COM%d): Sending command (0x%02X, 0x%02X)\n", portNumber,
                       static_cast<unsigned>(RunSettings::syncCommand[0]),
                       static_cast<unsigned>(RunSettings::syncCommand[1]));
            if (!sendSyncCommand(session)) {
                verboseLog("(COM%d Failed to send command\n", portNumber);
            } else {
                verboseLog("(COM%d): Reading response, expecting (0x%02X, 0x%02X)\n", portNumber,
                           static_cast<unsigned>(RunSettings::syncReply[0]),
                           static_cast<unsigned>(RunSettings::syncReply[1]));
                answered = readSyncReply(session);
                if (answered) {
                    verboseLog("(COM%d): Valid response\n", portNumber);
                }
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
