#include "tests/fake_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "platform/platform.h"

namespace fake {
namespace {

struct FakePort {
    std::vector<ReadStep> reads;
    std::size_t nextRead = 0;
};

struct Failure {
    Op op;
    int occurrence;
    long error;
    bool truncated;
};

struct FakeLineState {
    std::int32_t port;
    std::uint32_t baudRate;
};

struct State {
    std::map<std::int32_t, FakePort> ports;
    std::map<platform::PortHandle, std::int32_t> handles;
    platform::PortHandle nextHandle = 100;
    std::vector<std::string> nameLists{names({})};
    std::vector<std::uint32_t> nameCounts{1};
    std::size_t nextNameList = 0;
    std::vector<std::pair<std::uint64_t, std::string>> nameTimeline;
    std::vector<Failure> failures;
    std::map<Op, int> counts;
    std::vector<Call> calls;
    std::map<std::int32_t, std::string> devicePaths;
    std::map<std::int32_t, std::string> openFailureReasons;
    std::vector<std::int32_t> bluetoothLinks;
    std::map<std::int32_t, platform::PortIdentity> identities;
    bool identitiesRead = false;
    std::vector<std::int32_t> refusingSetup;
    std::map<std::int32_t, std::uint32_t> openDurations;
    // Moves only with the sleeps, so that a wait of minutes takes no time.
    std::uint64_t clock = 0;
    // Threads running besides the main one; those another thread waits for (each takes its waiter
    // out of the count until it ends), and those ended before anyone did; when each waiting one wakes.
    int threads = 0;
    std::set<std::thread::id> awaited, ended;
    std::multiset<std::uint64_t> wakes;
    bool truncated = false;
    int misuses = 0;
    bool outputGone = false;
};

// Probes running at once call in from their own threads.
std::mutex mutex;
std::condition_variable clockMoved;
State state;
thread_local long lastError = 0;
thread_local std::string openFailureReason;

// Records the call; true when the script says it fails.
bool record(Op op, std::int32_t port, std::uint32_t value) {
    state.calls.push_back({op, port, value, state.clock});
    const int occurrence = ++state.counts[op];
    for (const Failure& failure : state.failures) {
        if (failure.op == op && failure.occurrence == occurrence) {
            lastError = failure.error;
            state.truncated = failure.truncated;
            return true;
        }
    }
    return false;
}

std::int32_t portOf(platform::PortHandle handle) {
    const auto found = state.handles.find(handle);
    if (found == state.handles.end()) {
        ++state.misuses;
        return 0;
    }
    return found->second;
}

const char* opName(Op op) {
    switch (op) {
        case Op::Open: return "open";
        case Op::GetLineState: return "get";
        case Op::ApplyLineState: return "apply";
        case Op::SetReadTimeout: return "timeout";
        case Op::Write: return "write";
        case Op::Read: return "read";
        case Op::Discard: return "discard";
        case Op::Close: return "close";
        case Op::Sleep: return "sleep";
        case Op::QueryNames: return "names";
        case Op::ReadIdentities: return "identities";
        case Op::StartThread: return "thread";
    }
    return "?";
}

}  // namespace

ReadStep byte(std::uint8_t value) { return {ReadStep::Kind::Byte, value, 0}; }
ReadStep timeout() { return {ReadStep::Kind::Timeout, 0, 0}; }
ReadStep readError(long code) { return {ReadStep::Kind::Error, 0, code}; }
ReadStep stale(std::uint8_t value) { return {ReadStep::Kind::Stale, value, 0}; }

void reset() { state = State{}; lastError = 0; }

void addPort(std::int32_t port, std::vector<ReadStep> reads) {
    state.ports[port] = FakePort{std::move(reads), 0};
}

void addController(std::int32_t port) { addPort(port, {byte(0x14), byte(0x10)}); }

void setDevicePath(std::int32_t port, std::string path) { state.devicePaths[port] = std::move(path); }

void setOpenFailureReason(std::int32_t port, std::string reason) {
    state.openFailureReasons[port] = std::move(reason);
}

void setBluetoothLink(std::int32_t port) { state.bluetoothLinks.push_back(port); }

void setPortIdentity(std::int32_t port, const platform::PortIdentity& identity) { state.identities[port] = identity; }
void setUsbIdentity(std::int32_t port, const char* vendor, const char* product, const char* serial,
                    const char* location) {
    platform::PortIdentity identity;
    identity.bus = platform::PortBus::Usb;
    std::snprintf(identity.vendorId, sizeof identity.vendorId, "%s", vendor);
    std::snprintf(identity.productId, sizeof identity.productId, "%s", product);
    std::snprintf(identity.serialNumber, sizeof identity.serialNumber, "%s", serial);
    std::snprintf(identity.location, sizeof identity.location, "%s", location);
    state.identities[port] = identity;
}

void setOutputGone() { state.outputGone = true; }

void refuseSetup(std::int32_t port) { state.refusingSetup.push_back(port); }

void setOpenDuration(std::int32_t port, std::uint32_t milliseconds) { state.openDurations[port] = milliseconds; }

void setDeviceNames(std::vector<std::string> lists) {
    state.nameCounts.clear();
    for (const std::string& list : lists) {
        state.nameCounts.push_back(static_cast<std::uint32_t>(list.size()));
    }
    state.nameLists = std::move(lists);
    state.nextNameList = 0;
}

void setDeviceNamesWithCount(const std::string& bytes, std::uint32_t count) {
    state.nameLists = {bytes};
    state.nameCounts = {count};
    state.nextNameList = 0;
}

void setDeviceNamesOverTime(std::vector<std::pair<std::uint64_t, std::string>> timeline) {
    state.nameTimeline = std::move(timeline);
}

std::uint64_t clock() { return state.clock; }

void failCall(Op op, int occurrence, long errorCode, bool truncated) {
    state.failures.push_back({op, occurrence, errorCode, truncated});
}

const std::vector<Call>& calls() { return state.calls; }

std::vector<std::string> callLog() {
    std::vector<std::string> lines;
    for (const Call& call : state.calls) {
        std::string line = opName(call.op);
        if (call.port != 0 || call.op == Op::Open) {
            line += " " + std::to_string(call.port);
        }
        if (call.op == Op::ApplyLineState || call.op == Op::SetReadTimeout ||
            call.op == Op::Sleep || call.op == Op::QueryNames) {
            line += " " + std::to_string(call.value);
        }
        lines.push_back(line);
    }
    return lines;
}

int openHandles() { return static_cast<int>(state.handles.size()); }

int misuses() { return state.misuses; }

std::string names(const std::vector<std::string>& list) {
    std::string bytes;
    for (const std::string& name : list) {
        bytes += name;
        bytes += '\0';
    }
    bytes += '\0';
    return bytes;
}

}  // namespace fake

namespace platform {

using fake::Op;
using fake::state;
using Lock = std::unique_lock<std::mutex>;

// The calling thread's time passes until the clock reaches its end, which moves on to the earliest
// end once every thread that does not wait for another to end waits so: probes
// at once take the time of the longest.
void passTime(Lock& lock, std::uint32_t milliseconds) {
    const std::uint64_t wake = state.clock + milliseconds;
    if (milliseconds > 0) state.wakes.insert(wake);
    while (wake > state.clock) {
        if (state.wakes.size() + state.awaited.size() >= static_cast<std::size_t>(state.threads + 1)) {
            state.clock = *state.wakes.begin();
            state.wakes.erase(state.wakes.begin(), state.wakes.upper_bound(state.clock));
            fake::clockMoved.notify_all();
        } else {
            fake::clockMoved.wait(lock);
        }
    }
}

PortHandle openComPort(std::int32_t comNumber) {
    Lock lock(fake::mutex);
    fake::openFailureReason.clear();
    if (fake::record(Op::Open, comNumber, 0)) {
        return kNoPort;
    }
    passTime(lock, state.openDurations[comNumber]);
    if (state.ports.count(comNumber) == 0) {
        fake::lastError = 2;
        fake::openFailureReason = state.openFailureReasons[comNumber];
        return kNoPort;
    }
    const PortHandle handle = state.nextHandle++;
    state.handles[handle] = comNumber;
    return handle;
}

const char* openFailureReason() {
    return fake::openFailureReason.empty() ? nullptr : fake::openFailureReason.c_str();
}

bool getLineState(PortHandle port, LineState& lineState) {
    const Lock lock(fake::mutex);
    const std::int32_t comNumber = fake::portOf(port);
    if (fake::record(Op::GetLineState, comNumber, 0)) {
        return false;
    }
    if (std::count(state.refusingSetup.begin(), state.refusingSetup.end(), comNumber) != 0) {
        fake::lastError = 31;
        return false;
    }
    const fake::FakeLineState read{comNumber, 0};
    std::memcpy(lineState.storage, &read, sizeof read);
    return true;
}

void setLineSettings(LineState& lineState, std::uint32_t baudRate) {
    fake::FakeLineState changed{};
    std::memcpy(&changed, lineState.storage, sizeof changed);
    changed.baudRate = baudRate;
    std::memcpy(lineState.storage, &changed, sizeof changed);
}

bool applyLineState(PortHandle port, const LineState& lineState) {
    fake::FakeLineState applied{};
    std::memcpy(&applied, lineState.storage, sizeof applied);
    const Lock lock(fake::mutex);
    return !fake::record(Op::ApplyLineState, fake::portOf(port), applied.baudRate);
}

bool setReadTimeout(PortHandle port, std::uint32_t milliseconds) {
    const Lock lock(fake::mutex);
    return !fake::record(Op::SetReadTimeout, fake::portOf(port), milliseconds);
}

bool discardInput(PortHandle port) {
    const Lock lock(fake::mutex);
    const std::int32_t comNumber = fake::portOf(port);
    auto& [reads, next] = state.ports[comNumber];
    while (next < reads.size() && reads[next].kind == fake::ReadStep::Kind::Stale) ++next;
    return !fake::record(Op::Discard, comNumber, 0);
}

bool writeBytes(PortHandle port, const std::uint8_t* data, std::uint32_t length) {
    const Lock lock(fake::mutex);
    const std::int32_t comNumber = fake::portOf(port);
    const std::uint32_t bytes = length == 2 ? static_cast<std::uint32_t>(data[0] << 8 | data[1]) : 0;
    return !fake::record(Op::Write, comNumber, bytes);
}

bool readByte(PortHandle port, std::uint8_t& value, bool& gotByte) {
    gotByte = false;
    const Lock lock(fake::mutex);
    const std::int32_t comNumber = fake::portOf(port);
    if (fake::record(Op::Read, comNumber, 0)) {
        return false;
    }
    fake::FakePort& fakePort = state.ports[comNumber];
    if (fakePort.nextRead >= fakePort.reads.size()) {
        return true;
    }
    const fake::ReadStep step = fakePort.reads[fakePort.nextRead++];
    switch (step.kind) {
        case fake::ReadStep::Kind::Byte:
        case fake::ReadStep::Kind::Stale:
            value = step.byte;
            gotByte = true;
            return true;
        case fake::ReadStep::Kind::Timeout:
            return true;
        case fake::ReadStep::Kind::Error:
            fake::lastError = step.error;
            return false;
    }
    return false;
}

void closeComPort(PortHandle port) {
    const Lock lock(fake::mutex);
    fake::record(Op::Close, fake::portOf(port), 0);
    state.handles.erase(port);
}

long lastErrorCode() { return fake::lastError; }

void sleepMilliseconds(std::uint32_t milliseconds) {
    Lock lock(fake::mutex);
    fake::record(Op::Sleep, 0, milliseconds);
    passTime(lock, milliseconds);
}

std::uint64_t monotonicMilliseconds() {
    const Lock lock(fake::mutex);
    return state.clock;
}

std::uint32_t queryDeviceNames(char* buffer, std::uint32_t size) {
    const Lock lock(fake::mutex);
    state.truncated = false;
    if (fake::record(Op::QueryNames, 0, size)) {
        return 0;
    }
    const std::size_t index = std::min(state.nextNameList, state.nameLists.size() - 1);
    ++state.nextNameList;
    std::string bytes = state.nameLists[index];
    std::uint32_t count = state.nameCounts[index];
    for (const auto& [from, list] : state.nameTimeline) {
        if (from <= state.clock) {
            bytes = list;
            count = static_cast<std::uint32_t>(list.size());
        }
    }
    if (bytes.size() > size) {
        state.truncated = true;
        fake::lastError = 122;
        return 0;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    // A count past the bytes given is the system's claim: what lies beyond
    // them is junk without a NUL, up to the end of the buffer.
    std::memset(buffer + bytes.size(), 'X', size - bytes.size());
    return count;
}

bool deviceNamesTruncated() { return state.truncated; }

void readPortIdentities() {
    fake::record(Op::ReadIdentities, 0, 0);
    state.identitiesRead = true;
}

void portIdentity(std::int32_t comNumber, PortIdentity& identity) {
    const auto found = state.identities.find(comNumber);
    identity = state.identitiesRead && found != state.identities.end() ? found->second : PortIdentity{};
    if (std::count(state.bluetoothLinks.begin(), state.bluetoothLinks.end(), comNumber) != 0) {
        identity.bus = PortBus::Bluetooth;
    }
}

const char* devicePath(std::int32_t comNumber) {
    const auto found = state.devicePaths.find(comNumber);
    return found == state.devicePaths.end() ? nullptr : found->second.c_str();
}

bool startThread(std::thread& thread, void (*body)(void*), void* context) {
    const Lock lock(fake::mutex);
    if (fake::record(Op::StartThread, 0, 0)) return false;
    ++state.threads;
    thread = std::thread([body, context] {
        body(context);
        const Lock ending(fake::mutex);
        --state.threads;
        if (state.awaited.erase(std::this_thread::get_id()) == 0) state.ended.insert(std::this_thread::get_id());
        fake::clockMoved.notify_all();
    });
    return true;
}

void joinThread(std::thread& thread) {
    Lock lock(fake::mutex);
    if (state.ended.erase(thread.get_id()) == 0) state.awaited.insert(thread.get_id());
    fake::clockMoved.notify_all();
    lock.unlock();
    thread.join();
}

bool standardOutputGone() { return state.outputGone; }

}  // namespace platform
