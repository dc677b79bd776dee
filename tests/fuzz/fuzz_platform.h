// A lean platform stub for the device-name fuzzer. Unlike the shared fake, it
// hands the walk a buffer in which everything past the returned count is
// poisoned for AddressSanitizer, so that any read beyond the count the system
// gave is reported at the faulting instruction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzstub {

// What the next queries of the device names give: the first `truncations`
// fail as a too-small buffer would; then `bytes` are stored and `count` is
// returned (it may end inside a name or lie past the bytes, where the buffer
// holds junk without a NUL).
void scriptDeviceNames(const std::string& bytes, std::uint32_t count, int truncations);

// The size the last successful query was given (0 when none succeeded).
std::uint32_t lastQuerySize();

// The byte that stands in the buffer between the bytes and the count.
constexpr char kJunk = 'X';

// Ports: every COM number exists, but some cannot be opened, and some have a
// controller behind them.
bool opens(std::int32_t comNumber);
bool isController(std::int32_t comNumber);

// Every open attempt, in order, and the handles not closed yet.
const std::vector<std::int32_t>& openAttempts();
int openHandles();
// Calls made on a handle that was not open.
int misuses();

void resetPorts();

}  // namespace fuzzstub
