// The command line, fuzzed: input bytes become words, and the words run
// through the same entry point as main, against the scripted fake platform.
// Words are split at NUL and newline bytes; an optional leading byte
// 0x01..0x05 makes one platform call fail.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/options.h"
#include "cli/run_settings.h"
#include "tests/fake_platform.h"

namespace {

constexpr std::size_t kMaxWords = 16;

constexpr std::int32_t kControllerPort = 5;
constexpr std::int32_t kSilentPort = 2;
constexpr std::int32_t kWrongReplyPort = 9;

void check(bool holds) {
    if (!holds) {
        __builtin_trap();
    }
}

// A leading byte 0x01..0x05 is no character a user types; it picks a
// platform failure instead of being read as part of the first word.
enum class Failure : std::uint8_t { None, FirstQuery, SecondQuery, FirstRead, FirstWrite, Truncated };
constexpr std::uint8_t kLastFailure = static_cast<std::uint8_t>(Failure::Truncated);

Failure takeFailure(const std::uint8_t*& data, std::size_t& size) {
    if (size == 0 || data[0] == 0 || data[0] > kLastFailure) {
        return Failure::None;
    }
    const Failure failure = static_cast<Failure>(data[0]);
    ++data;
    --size;
    return failure;
}

// Two plain ports and one controller, listed among a non-COM device, so that
// the default search, com=, allports and list all reach real probes.
void scriptPlatform(Failure failure) {
    fake::reset();
    fake::setOutputGone();
    fake::addPort(kSilentPort);
    fake::addController(kControllerPort);
    fake::addPort(kWrongReplyPort, {fake::byte(0x14), fake::byte(0x11)});
    fake::setDeviceNames({fake::names({"COM2", "LPT1", "COM5", "COM9"})});
    constexpr long kErrorCode = 31;
    switch (failure) {
        case Failure::None: break;
        case Failure::FirstQuery: fake::failCall(fake::Op::QueryNames, 1, kErrorCode); break;
        case Failure::SecondQuery: fake::failCall(fake::Op::QueryNames, 2, kErrorCode); break;
        case Failure::FirstRead: fake::failCall(fake::Op::Read, 1, kErrorCode); break;
        case Failure::FirstWrite: fake::failCall(fake::Op::Write, 1, kErrorCode); break;
        case Failure::Truncated: fake::failCall(fake::Op::QueryNames, 1, 122, true); break;
    }
}

// Each word gets a heap block of exactly its length plus the NUL, so that a
// read past a word's end is an ASan report rather than a quiet read of the
// next word.
struct Words {
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char*> argv;

    void add(const std::uint8_t* bytes, std::size_t length) {
        std::unique_ptr<char[]> word(new char[length + 1]);
        if (length > 0) {
            std::memcpy(word.get(), bytes, length);
        }
        word[length] = '\0';
        argv.push_back(word.get());
        storage.push_back(std::move(word));
    }
};

Words splitWords(const std::uint8_t* data, std::size_t size) {
    Words words;
    static const char kProgramName[] = "quillfind";
    words.add(reinterpret_cast<const std::uint8_t*>(kProgramName), sizeof kProgramName - 1);
    std::size_t start = 0;
    for (std::size_t index = 0; index <= size && words.argv.size() <= kMaxWords; ++index) {
        if (index == size || data[index] == '\0' || data[index] == '\n') {
            words.add(data + start, index - start);
            start = index + 1;
        }
    }
    words.argv.push_back(nullptr);
    return words;
}

void checkSettings() {
    const RunSettings& settings = runSettings;
    const bool portChosen = settings.lowestPort == settings.highestPort;
    if (portChosen) {
        check(settings.lowestPort >= 1 && settings.lowestPort <= 99);
    } else {
        check(settings.lowestPort == 1 && settings.highestPort == 99);
    }
    check(!(portChosen && settings.allPorts));
    check(settings.timeoutSeconds >= 1 && settings.timeoutSeconds <= 20);
    check(settings.waitSeconds >= 0 && settings.waitSeconds <= 600);
    check(settings.baudRate == 9600 || settings.baudRate == 19200 || settings.baudRate == 57600 ||
          settings.baudRate == 115200);
}

void checkNoPortHeld() {
    check(fake::openHandles() == 0);
    check(fake::misuses() == 0);
}

// A port counts as answering when the fake saw the command written to it and
// then at least the two reads that carry the reply.
bool fakeSawAnswerFrom(std::int32_t port) {
    bool written = false;
    int reads = 0;
    for (const fake::Call& call : fake::calls()) {
        if (call.port != port) {
            continue;
        }
        if (call.op == fake::Op::Write && call.value == 0x3020) {
            written = true;
            reads = 0;
        } else if (call.op == fake::Op::Read && written) {
            ++reads;
        }
    }
    return written && reads >= 2;
}

bool sameSettings(const RunSettings& a, const RunSettings& b) {
    return a.baudRate == b.baudRate && a.timeoutSeconds == b.timeoutSeconds &&
           a.highestPort == b.highestPort && a.lowestPort == b.lowestPort &&
           a.allPorts == b.allPorts && a.listMode == b.listMode && a.verbose == b.verbose &&
           a.waitSeconds == b.waitSeconds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The program prints help, usage errors and the list report; none of it
    // is checked here and a terminal would only slow the fuzzer down.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::fputs("fuzz_options: cannot silence standard output\n", stderr);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Failure failure = takeFailure(data, size);
    const Words words = splitWords(data, size);
    const int argc = static_cast<int>(words.argv.size() - 1);
    const char* const* argv = words.argv.data();

    // The walk alone: the settings must be sound even where it stops early.
    resetRunSettings();
    scriptPlatform(failure);
    const bool searches = walkOptions(argc, argv);
    checkSettings();
    checkNoPortHeld();
    const RunSettings afterWalk = runSettings;

    // The whole program.
    resetRunSettings();
    scriptPlatform(failure);
    const int status = runQuillfind(argc, argv);
    checkSettings();
    checkNoPortHeld();
    check(sameSettings(runSettings, afterWalk));
    if (!searches) {
        check(status == 0);
    }
    if (status != 0) {
        check(status == kControllerPort);
        check(status == runSettings.foundPort);
        check(fakeSawAnswerFrom(status));
    }
    return 0;
}
