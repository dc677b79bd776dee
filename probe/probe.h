// One serial port at a time: open, configure, and the synchronisation
// exchange with the controller.
#pragma once

#include <cstdint>

// True when a controller answered on COM<portNumber>. No port is open when
// it returns, whatever happened.
bool probePort(std::int32_t portNumber);

bool openPort(std::int32_t portNumber);
bool configurePort();
void closePort();
bool sendSyncCommand();
bool readSyncReply();

// True while the process holds a port (between openPort and closePort).
bool portIsOpen();
