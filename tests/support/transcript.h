// The verbose output of quillfind, line by line, as the end-to-end tests
// expect it from the real programs.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace testsupport {

// The lines joined, each followed by lineEnd ("\r\n" from a Windows program
// writing through msvcrt in text mode).
inline std::string lines(const std::vector<std::string>& list, const std::string& lineEnd = "\n") {
    std::string text;
    for (const std::string& line : list) {
        text += line + lineEnd;
    }
    return text;
}

inline std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline std::string comName(int port) { return "COM" + std::to_string(port); }

// One probe that gets through both opens; afterSend follows "Sending command".
inline std::vector<std::string> probeLines(int port, int timeout, const std::vector<std::string>& afterSend) {
    const std::string com = "(" + comName(port) + "): ";
    const std::vector<std::string> open = {
        com + "Testing COM state", "       - Getting COM state", "       - Updating COM state",
        "       - Setting " + std::to_string(timeout) + " second COM timeout", com + "Opened"};
    std::vector<std::string> result = {"Testing " + comName(port), com + "Opening port"};
    result.insert(result.end(), open.begin(), open.end());
    result.push_back(com + "Closing port");
    result.push_back(com + "Opening port (again)");
    result.insert(result.end(), open.begin(), open.end());
    result.push_back(com + "Sending command (0x30, 0x20)");
    result.insert(result.end(), afterSend.begin(), afterSend.end());
    return result;
}

// What a probe of COM<port> prints once the command went out.
inline std::vector<std::string> reading(int port, std::vector<std::string> reads) {
    reads.insert(reads.begin(), "(" + comName(port) + "): Reading response, expecting (0x14, 0x10)");
    return reads;
}

// A probe of a number with nothing behind it.
inline std::vector<std::string> invalidPort(int port) {
    const std::string com = "(" + comName(port) + "): ";
    return {"Testing " + comName(port), com + "Opening port", com + "Invalid COM port", com + "Failed to open port"};
}

inline std::vector<std::string> found(int port) {
    return {"(" + comName(port) + "): Valid response", "Found Quillfern Controller on " + comName(port)};
}

// The whole verbose output of a run with words (verbose among them) that
// probes one device on COM<port> and exits with status; afterSend is what
// follows "Sending command": the reads, or the failure to send.
inline std::vector<std::string> oneDeviceRun(int port, const std::vector<std::string>& words, int status,
                                             const std::vector<std::string>& afterSend) {
    int timeout = 5;
    for (const std::string& word : words) {
        if (word.rfind("timeout=", 0) == 0) {
            timeout = std::stoi(word.substr(8));
        }
    }
    const bool sent = afterSend.empty() || afterSend[0].find("Failed to send") == std::string::npos;
    std::vector<std::string> expected = probeLines(port, timeout, sent ? reading(port, afterSend) : afterSend);
    if (status != 0) {
        return join({expected, found(port)});
    }
    expected.push_back("Failed to find Quillfern Controller");
    return expected;
}

inline const std::vector<std::string> kAnswered = {"       - Read (0x14)", "       - Read (0x10)"};
inline const std::vector<std::string> kWrongOrder = {"       - Read (0x10)", "       - Read (0x14)"};
inline const std::string kNotFound = "Failed to find Quillfern Controller";

}  // namespace testsupport
