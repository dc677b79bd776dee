// The watch command: the system's ports as they come and go, each probed
// once per appearance, one line (or one JSON object) per port that appears
// and per port that goes away.
#pragma once

// Reports the ports listed now, then keeps reading the list and reports each
// change, until runSettings.waitSeconds after its start, or without them
// until nothing reads its output any more (or the process is ended).
void watchPorts();
