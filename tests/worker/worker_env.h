// WorkerEnv gives each test a daemon context in a temporary folder: the infrastructure
// started as the service starts it (LOGLEVEL=all plus the test's configuration lines), a
// runtime root that other users can traverse, and a session file. Throwaway users come from
// the session tests' helper.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "platform/process.h"
#include "session/shared_data.h"
#include "sessions/session_fixtures.h"
#include "support/test_support.h"

namespace worker_test {

inline std::string WorkerPath() {
    return std::string(VL_BIN_DIR) + "/VantaroLauncherGUI";
}

inline std::string FakePath() {
    return std::string(VL_BIN_DIR) + "/vl_worker_fake";
}

// ProcFile is a /proc file of a process, "" once it is gone.
inline std::string ProcFile(std::uint32_t pid, const std::string& leaf) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + leaf, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ProcStatusField is one "Name:\tvalue" line of /proc/<pid>/status, without the name.
inline std::string ProcStatusField(std::uint32_t pid, const std::string& name) {
    std::istringstream lines(ProcFile(pid, "status"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(name + ":", 0) == 0) {
            const std::size_t start = line.find_first_not_of(" \t", name.size() + 1);
            return start == std::string::npos ? "" : line.substr(start);
        }
    }
    return {};
}

// IsAlive tells whether the process exists and is not a zombie.
inline bool IsAlive(std::uint32_t pid) {
    const std::string state = ProcStatusField(pid, "State");
    return !state.empty() && state[0] != 'Z' && state[0] != 'X';
}

// WaitUntilGone waits (a minute at most) for a process to end.
inline bool WaitUntilGone(std::uint32_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (IsAlive(pid)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// WaitForNextSecond returns once the wall clock has entered a new second, so that a new
// worker gets a new pipe name.
inline void WaitForNextSecond() {
    const auto now = [] { return std::chrono::system_clock::now().time_since_epoch(); };
    const auto start = std::chrono::duration_cast<std::chrono::seconds>(now());
    while (std::chrono::duration_cast<std::chrono::seconds>(now()) == start) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

class WorkerEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        ::chmod(dir_.Path().c_str(), 0755);
        SetEnv("PMX_KTV_UUID", std::nullopt);
        SetEnv("QVYLD_DEBUG", std::nullopt);
        SetEnv("KtvConfPath", Path("launcher.conf"));
        SetEnv("QVYLD_SESSION_FILE", Path("sessions.json"));
        SetEnv("QVYLD_RUNTIME_DIR", Path("run"));
        SetSessions({});
        Configure({});
    }

    void TearDown() override {
        SharedData::Stop();
        vl_test::ResetInfrastructure();
    }

    std::string Path(const std::string& leaf) const { return dir_.Path(leaf); }
    std::string RuntimeFolder(uid_t uid) const { return Path("run/" + std::to_string(uid)); }

    void SetEnv(const std::string& name, const std::optional<std::string>& value) {
        env_.push_back(std::make_unique<vl_test::ScopedEnv>(name, value));
    }

    // Configure restarts the infrastructure with the given extra "launcher.conf" lines.
    void Configure(const std::vector<std::string>& lines) {
        ASSERT_TRUE(vl_test::WriteLauncherConf(Path("launcher.conf"), lines));
        ASSERT_TRUE(vl_test::InitInfrastructure(dir_));
    }

    struct Session {
        std::uint32_t id;
        std::string user;
        std::uint32_t state = 0;  // 0 active, 4 disconnected
    };

    // SetSessions writes the session file, readable by all.
    void SetSessions(const std::vector<Session>& sessions) {
        std::string text = "[";
        for (const Session& session : sessions) {
            text += std::string(text.size() > 1 ? "," : "") +
                    "{\"id\": " + std::to_string(session.id) + ", \"user\": \"" + session.user +
                    "\", \"state\": " + std::to_string(session.state) + "}";
        }
        ASSERT_TRUE(vl_test::WriteFile(Path("sessions.json"), text + "]"));
        ::chmod(Path("sessions.json").c_str(), 0644);
    }

    // MakeUser creates a throwaway user, or says why the test cannot run here.
    static std::string MakeUser(sessions_test::ThrowawayUser& user) { return user.Create(); }

    // RunAs runs argv as the user of a session and gives its exit code (or 0xDEAD when it
    // could not be started).
    std::uint32_t RunAs(std::uint32_t sessionId, const std::vector<std::string>& argv) {
        platform::LaunchOptions options;
        options.sessionId = sessionId;
        options.argv = argv;
        options.extraEnvironment = {"QVYLD_SESSION_FILE=" + Path("sessions.json"),
                                    "QVYLD_RUNTIME_DIR=" + Path("run")};
        platform::ProcessHandle process;
        std::uint32_t exitCode = 0xDEAD;
        if (platform::LaunchAsSessionUser(options, nullptr, process) != 0 ||
            !process.Wait(platform::kInfiniteWait, exitCode)) {
            return 0xDEAD;
        }
        return exitCode;
    }

    static std::string LogText() { return vl_test::ReadFile(Logger::CurrentFilePath()); }
    static bool Logged(const std::string& message) {
        return LogText().find(message) != std::string::npos;
    }

  private:
    vl_test::TempDir dir_;
    std::vector<std::unique_ptr<vl_test::ScopedEnv>> env_;
};

}  // namespace worker_test
