#include "tests/fuzz/fuzz_platform.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/platform.h"

namespace fuzzstub {
namespace {

struct OpenPort {
    std::int32_t comNumber;
    int readsDone;
};

std::string scriptedBytes;
std::uint32_t scriptedCount = 0;
int truncationsLeft = 0;
bool truncated = false;
std::uint32_t querySize = 0;

std::map<platform::PortHandle, OpenPort> handles;
platform::PortHandle nextHandle = 1;
std::vector<std::int32_t> attempts;
int misuseCount = 0;

OpenPort* find(platform::PortHandle handle) {
    const auto found = handles.find(handle);
    if (found == handles.end()) {
        ++misuseCount;
        return nullptr;
    }
    return &found->second;
}

std::uint32_t bucket(std::int32_t comNumber) { return static_cast<std::uint32_t>(comNumber) % 7U; }

}  // namespace

void scriptDeviceNames(const std::string& bytes, std::uint32_t count, int truncations) {
    scriptedBytes = bytes;
    scriptedCount = count;
    truncationsLeft = truncations;
    truncated = false;
    querySize = 0;
}

std::uint32_t lastQuerySize() { return querySize; }

bool opens(std::int32_t comNumber) { return bucket(comNumber) != 3; }
bool isController(std::int32_t comNumber) { return bucket(comNumber) == 1 || bucket(comNumber) == 5; }

const std::vector<std::int32_t>& openAttempts() { return attempts; }
int openHandles() { return static_cast<int>(handles.size()); }
int misuses() { return misuseCount; }

void resetPorts() {
    handles.clear();
    attempts.clear();
    misuseCount = 0;
}

}  // namespace fuzzstub

namespace platform {

PortHandle openComPort(std::int32_t comNumber) {
    fuzzstub::attempts.push_back(comNumber);
    if (!fuzzstub::opens(comNumber)) {
        return kNoPort;
    }
    const PortHandle handle = fuzzstub::nextHandle++;
    fuzzstub::handles[handle] = {comNumber, 0};
    return handle;
}

bool getLineState(PortHandle port, LineState&) { return fuzzstub::find(port) != nullptr; }

void setLineSettings(LineState&, std::uint32_t) {}

bool applyLineState(PortHandle port, const LineState&) { return fuzzstub::find(port) != nullptr; }

bool setReadTimeout(PortHandle port, std::uint32_t) { return fuzzstub::find(port) != nullptr; }

bool discardInput(PortHandle port) { return fuzzstub::find(port) != nullptr; }

bool writeBytes(PortHandle port, const std::uint8_t*, std::uint32_t) {
    return fuzzstub::find(port) != nullptr;
}

bool readByte(PortHandle port, std::uint8_t& byte, bool& gotByte) {
    gotByte = false;
    fuzzstub::OpenPort* open = fuzzstub::find(port);
    if (open == nullptr) {
        return false;
    }
    static const std::uint8_t kReply[2] = {0x14, 0x10};
    if (fuzzstub::isController(open->comNumber) && open->readsDone < 2) {
        byte = kReply[open->readsDone++];
        gotByte = true;
    }
    return true;
}

void closeComPort(PortHandle port) {
    if (fuzzstub::find(port) != nullptr) {
        fuzzstub::handles.erase(port);
    }
}

long lastErrorCode() { return 0; }

// Time passes only in the sleeps, so that a wait ends after as many of them
// as it would take, however fast the fuzzer runs.
std::uint64_t fuzzClock = 0;

void sleepMilliseconds(std::uint32_t milliseconds) { fuzzClock += milliseconds; }

std::uint64_t monotonicMilliseconds() { return fuzzClock; }

std::uint32_t queryDeviceNames(char* buffer, std::uint32_t size) {
    fuzzstub::truncated = false;
    if (fuzzstub::truncationsLeft > 0 || fuzzstub::scriptedBytes.size() > size) {
        if (fuzzstub::truncationsLeft > 0) {
            --fuzzstub::truncationsLeft;
        }
        fuzzstub::truncated = true;
        return 0;
    }
    fuzzstub::querySize = size;
    const std::size_t stored = fuzzstub::scriptedBytes.size();
    std::memcpy(buffer, fuzzstub::scriptedBytes.data(), stored);
    const std::size_t readable = std::min<std::size_t>(fuzzstub::scriptedCount, size);
    if (readable > stored) {
        std::memset(buffer + stored, fuzzstub::kJunk, readable - stored);
    }
    // The caller owns the buffer and frees it; ASan clears this poison when
    // the block is handed out again, so nothing needs undoing here.
    ASAN_POISON_MEMORY_REGION(buffer + readable, size - readable);
    return fuzzstub::scriptedCount;
}

bool deviceNamesTruncated() { return fuzzstub::truncated; }

const char* openFailureReason() { return nullptr; }
const char* devicePath(std::int32_t) { return nullptr; }
void readPortIdentities() {}
void portIdentity(std::int32_t, PortIdentity& identity) { identity = PortIdentity{}; }
bool startThread(std::thread&, void (*)(void*), void*) { return false; }  // one port after another
void joinThread(std::thread&) {}
bool standardOutputGone() { return true; }  // a watch ends at its first look

}  // namespace platform
