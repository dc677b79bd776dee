// The Windows layer's choices that Wine's serial code neither applies nor
// reports: the settings each probe gives a port, and the words for why an
// open failed. Built for Windows only; runs under Wine.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_win32.h"

namespace {

// As a careless earlier program could leave the driver: every flag set,
// every limit and character at its largest, X-on equal to X-off.
TEST(Win32Platform, EveryProbeGetsTheSettingsOfANewPort) {
    platform::LineState state{};
    DCB& dcb = *reinterpret_cast<DCB*>(state.storage);
    std::memset(&dcb, 0xFF, sizeof dcb);
    platform::setLineSettings(state, 57600);
    const struct {
        const char* name;
        long long value;
        long long fresh;
    } fields[] = {
        {"BaudRate", dcb.BaudRate, 57600}, {"ByteSize", dcb.ByteSize, 8}, {"Parity", dcb.Parity, NOPARITY},
        {"StopBits", dcb.StopBits, ONESTOPBIT}, {"fBinary", dcb.fBinary, TRUE}, {"fParity", dcb.fParity, FALSE},
        {"fOutxCtsFlow", dcb.fOutxCtsFlow, FALSE}, {"fOutxDsrFlow", dcb.fOutxDsrFlow, FALSE},
        {"fDtrControl", dcb.fDtrControl, DTR_CONTROL_ENABLE}, {"fDsrSensitivity", dcb.fDsrSensitivity, FALSE},
        {"fTXContinueOnXoff", dcb.fTXContinueOnXoff, FALSE}, {"fOutX", dcb.fOutX, FALSE}, {"fInX", dcb.fInX, FALSE},
        {"fErrorChar", dcb.fErrorChar, FALSE}, {"fNull", dcb.fNull, FALSE},
        {"fRtsControl", dcb.fRtsControl, RTS_CONTROL_ENABLE}, {"fAbortOnError", dcb.fAbortOnError, FALSE},
        {"XonLim", dcb.XonLim, 2048}, {"XoffLim", dcb.XoffLim, 512}, {"XonChar", dcb.XonChar, 0x11},
        {"XoffChar", dcb.XoffChar, 0x13}, {"ErrorChar", dcb.ErrorChar, 0}, {"EofChar", dcb.EofChar, 0},
        {"EvtChar", dcb.EvtChar, 0},
    };
    for (const auto& field : fields) {
        EXPECT_EQ(field.value, field.fresh) << field.name;
    }

    // GetCommState reads the length the caller set, even of a handle that
    // is no port at all.
    std::memset(&dcb, 0, sizeof dcb);
    EXPECT_FALSE(platform::getLineState(platform::kNoPort, state));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
}

TEST(Win32Platform, EachOpenFailureHasItsReason) {
    const struct {
        unsigned long error;
        const char* reason;  // nullptr: no line under "Invalid COM port"
    } rows[] = {
        {ERROR_FILE_NOT_FOUND, nullptr},
        {ERROR_PATH_NOT_FOUND, nullptr},
        {ERROR_ACCESS_DENIED, "COM7: in use by another program"},
        {ERROR_SHARING_VIOLATION, "COM7: in use by another program"},
        // What a Bluetooth link whose peer is away fails with; not
        // ERROR_TIMEOUT, which has the system's text (here Wine's, on one
        // line) like any other error.
        {ERROR_SEM_TIMEOUT, "COM7: the port did not answer the open in time (typical of Bluetooth links)"},
        {ERROR_TIMEOUT, "COM7: Timeout."},
        {0xE000FFFFUL, "COM7: error 3758161919"},
    };
    for (const auto& row : rows) {
        platform::describeOpenFailure(7, row.error);
        const char* reason = platform::openFailureReason();
        EXPECT_EQ(reason != nullptr ? std::string(reason) : "(none)", row.reason != nullptr ? row.reason : "(none)")
            << "error " << row.error;
    }
}

}  // namespace
