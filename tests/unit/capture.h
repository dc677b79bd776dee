// Runs the program in-process with its standard output captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/options.h"
#include "cli/run_settings.h"

namespace testing_support {

// Descriptor 1 itself is pointed at a temporary file (not just the stdout
// stream), so that the capture holds whatever reaches the descriptor, and
// stdout is flushed on both sides so that no buffered byte crosses the switch.
// A file rather than a pipe: a pipe would block a long report nobody reads yet.
template <typename Body>
std::string captureOutput(Body body) {
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    const int saved = dup(1);
    const bool captured = file != nullptr && saved >= 0 && dup2(fileno(file), 1) >= 0;
    EXPECT_TRUE(captured) << "standard output could not be redirected to a temporary file";
    body();
    std::fflush(stdout);
    std::string text;
    if (captured) {
        EXPECT_GE(dup2(saved, 1), 0) << "standard output could not be restored";
        std::rewind(file);
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
            text.append(chunk, got);
        }
    }
    if (saved >= 0) {
        close(saved);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return text;
}

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
    const int argc = static_cast<int>(argv.size() - 1);
    int status = -1;
    std::string output = captureOutput([&] { status = runQuillfind(argc, argv.data()); });
    return {status, output};
}

inline std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

}  // namespace testing_support
