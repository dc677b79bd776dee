// Probes several ports at once, each on a thread of its own, and hands the
// results over in the ports' order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/run_settings.h"
#include "probe/probe.h"

// At most this many probes run at once, so that a system with hundreds of
// ports never holds more than this open (well inside the usual limit of
// 1024 open files on Linux) nor as many threads.
constexpr std::size_t kMostProbesAtOnce = 32;

// One port's probe: its number, and what came of it.
struct PortProbe {
    std::int32_t comNumber = 0;
    // False for a port the user's words left out: it is handed over in its
    // turn, never opened.
    bool chosen = true;
    ProbeOutcome outcome = ProbeOutcome::NotOpened;
    // Its verboseLog lines, kept until its turn to be handed over.
    LogText log;
};

// What a caller of probeAtOnce does with each ended probe, probes[index].
using TakeProbe = void (*)(std::size_t index, PortProbe& probe, void* context);

// Probes each port of probes[0..count) at once, at most kMostProbesAtOnce at
// a time, and calls take(index, probe, context) for each in their order, as
// soon as that probe and every one before it have ended; the calls never
// overlap. Without a thread to run them on, the probes run one after
// another on the calling thread, each handed over as it ends.
void probeAtOnce(PortProbe* probes, std::size_t count, TakeProbe take, void* context);
