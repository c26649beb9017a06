// Helpers of the session tests: a throwaway system user, the probe child, key=value reports.
#pragma once

#include <signal.h>
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
            // What the test started as this user (trays, applications) goes with it.
            Run("pkill -KILL -u " + name_);
            RunLocked("userdel " + name_);
        }
        if (groupCreated_) {
            RunLocked("groupdel " + group_);
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
        groupCreated_ = RunLocked("groupadd " + group_);
        created_ = groupCreated_ &&
                   RunLocked("useradd -M -N -s /usr/sbin/nologin -G " + group_ + " " + name_);
        return created_ ? "" : "useradd failed";
    }

    const std::string& Name() const { return name_; }
    const std::string& Group() const { return group_; }

  private:
    static bool Run(const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    // RunLocked runs a command that changes the user database. Tests run side by side, and
    // such a command fails at once while another one holds the database's lock: try again
    // for a few seconds.
    static bool RunLocked(const std::string& command) {
        for (int attempt = 0; attempt < 40; ++attempt) {
            if (Run(command)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + 50 * (attempt % 4)));
        }
        return false;
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

// LockHolder is a process of another user that opens a file and holds flock(LOCK_EX) on
// it, as any local user may try against the daemon's lock files. Held() is false when the
// user could not open or lock the file (its folders must let the user through). The
// process ends with the holder.
class LockHolder {
  public:
    LockHolder(const ThrowawayUser& user, const std::string& file, const std::string& workDir)
        : out_(workDir + "/holder.out") {
        const std::string script =
            "import fcntl,sys,time\n"
            "try:\n f=open(sys.argv[1])\n fcntl.flock(f,fcntl.LOCK_EX|fcntl.LOCK_NB)\n"
            "except OSError:\n print(\"denied\",flush=True)\n sys.exit(1)\n"
            "print(\"held\",flush=True)\ntime.sleep(120)\n";
        vl_test::WriteFile(out_, "");
        const std::string command = "setpriv --reuid=" + user.Name() + " --regid=" + user.Group() +
                                    " --clear-groups /usr/bin/python3 -c '" + script + "' '" +
                                    file + "' >'" + out_ + "' 2>&1 & echo $! >'" + out_ + ".pid'";
        std::system(command.c_str());
        pid_ = std::atoi(vl_test::ReadFile(out_ + ".pid").c_str());
        WaitForFile(out_);
        held_ = vl_test::ReadFile(out_).rfind("held", 0) == 0;
    }
    ~LockHolder() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
        }
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool Held() const { return held_; }

  private:
    std::string out_;
    int pid_ = 0;
    bool held_ = false;
};

}  // namespace sessions_test
