#include "probe/probe.h"

#include "cli/run_settings.h"
#include "platform/platform.h"

namespace {

// The one port the process may hold open.
platform::PortHandle portSession = platform::kNoPort;

constexpr std::uint32_t kSettleMilliseconds = 1000;

// An open that fails only after this long was waiting on something that did
// not come (a Bluetooth link's peer, on Windows), not refused.
constexpr std::uint64_t kStalledOpenMilliseconds = 1000;

}  // namespace

bool portIsOpen() { return portSession != platform::kNoPort; }

void closePort() {
    if (portIsOpen()) {
        platform::closeComPort(portSession);
        portSession = platform::kNoPort;
    }
}

bool configurePort() {
    platform::LineState state{};
    verboseLog("       - Getting COM state\n");
    if (!platform::getLineState(portSession, state)) {
        verboseLog("       - Failed getting COM state\n");
        return false;
    }
    platform::setLineSettings(state, runSettings.baudRate);
    verboseLog("       - Updating COM state\n");
    if (!platform::applyLineState(portSession, state)) {
        verboseLog("       - Failed setting COM state\n");
        return false;
    }
    verboseLog("       - Setting %d second COM timeout\n", runSettings.timeoutSeconds);
    if (!platform::setReadTimeout(portSession, runSettings.timeoutSeconds)) {
        verboseLog("       - Failed setting COM timeout\n");
        return false;
    }
    return true;
}

ProbeOutcome openPort(std::int32_t portNumber) {
    const std::uint64_t started = platform::monotonicMilliseconds();
    portSession = platform::openComPort(portNumber);
    if (!portIsOpen()) {
        const bool stalled = platform::monotonicMilliseconds() - started > kStalledOpenMilliseconds;
        verboseLog("(COM%d): Invalid COM port\n", portNumber);
        if (const char* reason = platform::openFailureReason()) {
            verboseLog("       - %s\n", reason);
        }
        return stalled ? ProbeOutcome::OpenStalled : ProbeOutcome::NotOpened;
    }
    verboseLog("(COM%d): Testing COM state\n", portNumber);
    if (configurePort()) {
        verboseLog("(COM%d): Opened\n", portNumber);
        return ProbeOutcome::NoAnswer;
    }
    closePort();
    verboseLog("(COM%d): Failed to test COM port\n", portNumber);
    return ProbeOutcome::SetupFailed;
}

bool sendSyncCommand() {
    return platform::writeBytes(portSession, RunSettings::syncCommand, 2);
}

bool readSyncReply() {
    std::uint8_t reply[2] = {0x00, 0x00};
    std::uint32_t received = 0;
    while (received < 2) {
        std::uint8_t byte = 0;
        bool gotByte = false;
        if (!platform::readByte(portSession, byte, gotByte)) {
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

ProbeOutcome probePortOutcome(std::int32_t portNumber) {
    closePort();
    verboseLog("Testing COM%d\n", portNumber);
    verboseLog("(COM%d): Opening port\n", portNumber);
    bool answered = false;
    ProbeOutcome outcome = openPort(portNumber);
    if (outcome != ProbeOutcome::NoAnswer) {
        verboseLog("(COM%d): Failed to open port\n", portNumber);
    } else {
        // Closing and reopening drops DTR, which restarts the controller into
        // the state where it listens for the command.
        platform::closeComPort(portSession);
        verboseLog("(COM%d): Closing port\n", portNumber);
        portSession = platform::kNoPort;
        verboseLog("(COM%d): Opening port (again)\n", portNumber);
        outcome = openPort(portNumber);
        if (outcome != ProbeOutcome::NoAnswer) {
            verboseLog("(COM%d): Failed to open port (again)\n", portNumber);
        } else {
            platform::sleepMilliseconds(kSettleMilliseconds);
            verboseLog("(COM%d): Sending command (0x%02X, 0x%02X)\n", portNumber,
                       static_cast<unsigned>(RunSettings::syncCommand[0]),
                       static_cast<unsigned>(RunSettings::syncCommand[1]));
            if (!sendSyncCommand()) {
                verboseLog("(COM%d Failed to send command\n", portNumber);
            } else {
                verboseLog("(COM%d): Reading response, expecting (0x%02X, 0x%02X)\n", portNumber,
                           static_cast<unsigned>(RunSettings::syncReply[0]),
                           static_cast<unsigned>(RunSettings::syncReply[1]));
                answered = readSyncReply();
                if (answered) {
                    verboseLog("(COM%d): Valid response\n", portNumber);
                }
            }
        }
    }
    closePort();
    return answered ? ProbeOutcome::Answered : outcome;
}

bool probePort(std::int32_t portNumber) { return probePortOutcome(portNumber) == ProbeOutcome::Answered; }
