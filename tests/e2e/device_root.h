// A fresh device folder for each test, with emulated devices in it, for the
// programs built to look for their devices under QUILLFIND_TEST_ROOT.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "emulator_process.h"
#include "framing_state.h"

namespace testsupport {

// Debian 12's qemu-user answers TIOCGEXCL with ENOSYS. A test of the mark
// skips there with this reason, the one skip tools/test.sh lets pass under qemu.
constexpr const char* kQemuCannotShow =
    "qemu cannot show: TIOCGEXCL fails with ENOSYS, the exclusive mark is unreadable";
inline bool exclusiveMarkUnreadable(int fd) {
    int mark = 0;
    return ioctl(fd, TIOCGEXCL, &mark) != 0 && errno == ENOSYS;
}

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
