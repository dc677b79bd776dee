// One serial port at a time: open, configure, and the synchronisation
// exchange with the controller.
#pragma once

#include <cstdint>

// How a probe ended. Only a port whose open failed at once may yet open later
// (its permissions still being applied, another program done with it); one
// that opened but refused its settings refuses them again, and one whose open
// stalled before it failed (a Bluetooth link whose peer is away) stalls again.
enum class ProbeOutcome { Answered, NoAnswer, SetupFailed, NotOpened, OpenStalled };

// Probes COM<portNumber>. No port is open when it returns, whatever happened.
ProbeOutcome probePortOutcome(std::int32_t portNumber);

// True when a controller answered on COM<portNumber>.
bool probePort(std::int32_t portNumber);

// Opens COM<portNumber> and sets it up: NoAnswer when the port is open and
// ready (nothing has been asked of it yet), else how it failed.
ProbeOutcome openPort(std::int32_t portNumber);
bool configurePort();
void closePort();
bool sendSyncCommand();
bool readSyncReply();

// True while the process holds a port (between openPort and closePort).
bool portIsOpen();
