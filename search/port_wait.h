// The wait for a controller that is plugged in after the search began: the
// device-name list is read again and again, and each port that appears is
// probed as soon as it does.
#pragma once

#include <cstdint>

#include "probe/probe.h"
#include "search/port_watch.h"

// Records a probe of COM<port> that ended as outcome, so that the wait
// neither takes the port for new nor tries it again unless its open failed.
void noteProbe(PortWatch& watch, std::int32_t port, ProbeOutcome outcome);

// Records COM<port> as one the user's words left out, so that the wait does
// not take it for new while it stays listed.
void noteLeftOut(PortWatch& watch, std::int32_t port);

// Reads the list until deadline (a monotonicMilliseconds time) and probes
// each port that appears in it, and each port whose open failed, again with
// growing gaps, until one answers; runSettings.foundPort then holds its
// number. With a chosen port, only that number is probed; with words that
// choose by identity, only a port that matches when it appears.
bool waitForController(std::uint64_t deadline, PortWatch& watch);
