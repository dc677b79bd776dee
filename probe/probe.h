// One serial port at a time: open, configure, and the synchronisation
// exchange with the controller.
#pragma once

#include <cstdint>

// How a probe ended: a port that never got through both opens may yet open
// later (its permissions still being applied, another program done with it).
enum class ProbeOutcome { Answered, NoAnswer, NotOpened };

// Probes COM<portNumber>. No port is open when it returns, whatever happened.
ProbeOutcome probePortOutcome(std::int32_t portNumber);

// True when a controller answered on COM<portNumber>.
bool probePort(std::int32_t portNumber);

bool openPort(std::int32_t portNumber);
bool configurePort();
void closePort();
bool sendSyncCommand();
bool readSyncReply();

// True while the process holds a port (between openPort and closePort).
bool portIsOpen();
