// Helpers of the session tests: a throwaway system user, the probe child, key=value reports.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace sessions_test {

inline std::string ProbePath() {
    return std::string(VL_BIN_DIR) + "/vl_session_probe";
}

// ThrowawayUser is a system user and a supplementary group made for one test and deleted
// with it, whatever the test's outcome.
class ThrowawayUser {
  public:
    ThrowawayUser() {
        std::random_device random;
        const std::string suffix = std::to_string(random() % 1000000);
        name_ = "vlt_" + suffix;
        group_ = "vltg_" + suffix;
    }
    ~ThrowawayUser() {
        if (created_) {
            Run("userdel " + name_);
        }
        if (groupCreated_) {
            Run("groupdel " + group_);
        }
    }
    ThrowawayUser(const ThrowawayUser&) = delete;
    ThrowawayUser& operator=(const ThrowawayUser&) = delete;

    // Create returns an empty text, or why the user cannot exist here (for GTEST_SKIP).
    std::string Create() {
        if (::geteuid() != 0) {
            return "needs root";
        }
        if (::access("/usr/sbin/useradd", X_OK) != 0) {
            return "needs useradd";
        }
        groupCreated_ = Run("groupadd " + group_);
        created_ =
            groupCreated_ && Run("useradd -M -N -s /usr/sbin/nologin -G " + group_ + " " + name_);
        return created_ ? "" : "useradd failed";
    }

    const std::string& Name() const { return name_; }
    const std::string& Group() const { return group_; }

  private:
    static bool Run(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }

    std::string name_;
    std::string group_;
    bool created_ = false;
    bool groupCreated_ = false;
};

// ParseReport reads the probe's "key=value" lines; "env:NAME=value" lines become "env:NAME".
inline std::map<std::string, std::string> ParseReport(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t split = line.rfind("env:", 0) == 0 ? line.find('=', 4) : line.find('=');
        if (split != std::string::npos) {
            values[line.substr(0, split)] = line.substr(split + 1);
        }
    }
    return values;
}

// WaitForFile waits until a child has written something to path; false after a minute.
inline bool WaitForFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (vl_test::ReadFile(path).find('\n') == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace sessions_test
