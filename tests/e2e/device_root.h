// A fresh device folder for each test, with emulated devices in it, for the
// programs built to look for their devices under QUILLFIND_TEST_ROOT.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "emulator_process.h"
#include "framing_state.h"

namespace testsupport {

class DeviceRootTest : public testing::Test {
protected:
    static inline const std::filesystem::path kRoot = QUILLFIND_TEST_ROOT;

    void SetUp() override {
        std::error_code ignored;
        std::filesystem::remove_all(kRoot, ignored);
        std::filesystem::create_directories(kRoot / "dev");
        std::filesystem::create_directories(kRoot / "sys/class/tty");
        std::filesystem::create_directories(kRoot / "framing");
        setenv(framing::kDirVariable, (kRoot / "framing").c_str(), 1);
    }

    void TearDown() override {
        emulators_.clear();
        std::error_code ignored;
        std::filesystem::remove_all(kRoot, ignored);
    }

    // An emulated device at <root>/dev/<device>.
    EmulatorProcess& emulate(const std::string& device, const std::vector<std::string>& options = {}) {
        emulators_.push_back(std::make_unique<EmulatorProcess>());
        EmulatorProcess& emulator = *emulators_.back();
        EXPECT_TRUE(emulator.start((kRoot / "dev" / device).string(), options)) << device;
        return emulator;
    }

private:
    std::vector<std::unique_ptr<EmulatorProcess>> emulators_;
};

}  // namespace testsupport
