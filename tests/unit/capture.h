// Runs the program in-process with its standard output captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/run_settings.h"

namespace testing_support {

struct Outcome {
    int status;
    std::string output;
};

// argv[0] is "quillfind"; words follow it.
inline Outcome runWords(const std::vector<std::string>& words) {
    std::vector<const char*> argv{"quillfind"};
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const int status = runQuillfind(static_cast<int>(argv.size() - 1), argv.data());
    return {status, testing::internal::GetCapturedStdout()};
}

template <typename Body>
std::string captureOutput(Body body) {
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

}  // namespace testing_support
