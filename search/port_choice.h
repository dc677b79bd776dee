// The ports the user chose by what the system tells of them (serial=,
// usb=, location=): a port that does not match is never opened, since every
// open restarts whatever is behind it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// True when a word chose ports by their identity.
bool choosingByIdentity();

// The first field of identity, in the order of the JSON port object, that
// keeps the port from the user's choice, as a verbose line names it;
// nullptr when it matches every word given (and always without such words).
// A field the system does not know matches no word.
const char* identityMismatch(const platform::PortIdentity& identity);

// Whether COM<comNumber>, as portIdentity tells of it now, may be probed. A
// port left out says so in a verbose line. Without words that choose by
// identity it asks the platform nothing.
bool chosenByIdentity(std::int32_t comNumber);
