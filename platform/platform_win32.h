// What platform_win32.cpp offers beyond the platform contract, for its
// tests: Wine never fails an open with most of the errors a Windows driver
// gives, so their wording is tried here directly.
#pragma once

#include <cstdint>

namespace platform {

// Words why an open of COM<comNumber> failed with error (a GetLastError
// code) as openFailureReason then gives it: nothing for a port that is not
// there, the system's text for an error without words of our own.
void describeOpenFailure(std::int32_t comNumber, unsigned long error);

}  // namespace platform
