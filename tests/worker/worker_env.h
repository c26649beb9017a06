// WorkerEnv gives each test a daemon context in a temporary folder: the infrastructure
// started as the service starts it (LOGLEVEL=all plus the test's configuration lines), a
// runtime root that other users can traverse, and a session file. It runs on every system;
// worker_env_posix.h adds throwaway users and what /proc shows of a process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/known_folders.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/shared_data.h"
#include "session/user_extension.h"
#include "support/test_support.h"

namespace worker_test {

// The companions lie beside the test program.
inline std::string WorkerPath() {
    return ToolBox::JoinPath(platform::ExecutableFolder(), Companions::GuiExecutableName());
}

inline std::string FakePath() {
#ifdef _WIN32
    return ToolBox::JoinPath(platform::ExecutableFolder(), "vl_worker_fake.exe");
#else
    return ToolBox::JoinPath(platform::ExecutableFolder(), "vl_worker_fake");
#endif
}

// WaitUntilGone waits (a minute at most) for a process to end.
inline bool WaitUntilGone(std::uint32_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (vl_test::ProcessAlive(pid)) {
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
        namespace fs = std::filesystem;
        fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
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
    std::string RuntimeFolder(std::uint32_t uid) const {
        return Path("run/" + std::to_string(uid));
    }

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
        namespace fs = std::filesystem;
        fs::permissions(Path("sessions.json"), fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read | fs::perms::others_read);
    }

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

// HarnessWorkerEnv runs the daemon in the test harness's way (KTV_MODE, IGNORE_TOKEN_ERROR)
// for a session whose user has no token: the worker is started in the test's own context,
// as Wine gives it on Windows, and as the black-box suite runs it.
class HarnessWorkerEnv : public WorkerEnv {
  protected:
    static constexpr std::uint32_t kSession = 5;

    void SetUp() override {
        WorkerEnv::SetUp();
        SetEnv("PMX_KTV_UUID", "worker-test");
        SetSessions({{kSession, "vl_no_such_user"}});
        Configure({"IGNORE_TOKEN_ERROR"});
        UserExtension::ResetForTests();
    }

    void TearDown() override {
        WorkerEnv::TearDown();
        UserExtension::ResetForTests();
    }
};

}  // namespace worker_test
