// One serial port at a time: open, configure, and the synchronisation
// exchange with the controller.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// How a probe ended. Only a port whose open failed at once may yet open later
// (its permissions still being applied, another program done with it); one
// that opened but refused its settings refuses them again, and one whose open
// stalled before it failed (a Bluetooth link whose peer is away) stalls again.
enum class ProbeOutcome { Answered, NoAnswer, SetupFailed, NotOpened, OpenStalled };

// The port one probe holds open, if any. Every probe has its own, so that
// probes running at once never work on each other's port.
struct PortSession {
    platform::PortHandle handle = platform::kNoPort;

    bool isOpen() const { return handle != platform::kNoPort; }
};

// Probes COM<portNumber> in session, closing first a port still open there:
// the command goes out 100 ms after the reopen, and again at one second when
// no reply has begun by then. No port is open in session when it returns,
// whatever happened.
ProbeOutcome probePortOutcome(PortSession& session, std::int32_t portNumber);

// The same with a session of its own.
ProbeOutcome probePortOutcome(std::int32_t portNumber);

// True when a controller answered on COM<portNumber>.
bool probePort(std::int32_t portNumber);

// Opens COM<portNumber> into session and sets it up: NoAnswer when the port
// is open and ready (nothing has been asked of it yet), else how it failed.
ProbeOutcome openPort(PortSession& session, std::int32_t portNumber);
bool configurePort(const PortSession& session);
void closePort(PortSession& session);
bool sendSyncCommand(const PortSession& session);
