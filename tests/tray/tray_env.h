// TrayEnv: a daemon context (WorkerEnv) whose tray channel runs for real: the shared pipe in
// the test's runtime root, the shared-memory block under a name of the test's own, workers
// started in the daemon's own context (the test harness) unless a test uses real users.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/message_pipe.h"
#include "session/companions.h"
#include "session/shared_data.h"
#include "worker/worker_env_posix.h"

namespace tray_test {

inline std::string TrayPath() {
    return std::string(VL_BIN_DIR) + "/VantaroLauncherSysTray";
}

// Eventually waits (30 s at most: a loaded machine starts the tray slowly) for the condition.
inline bool Eventually(const std::function<bool()>& condition, int seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Send writes one tray message to the daemon's pipe, as this process's user.
inline std::uint32_t Send(const std::string& text) {
    platform::PipeConnection pipe;
    std::uint32_t error = platform::ConnectSharedPipe(Companions::kTrayPipeName, pipe);
    std::size_t written = 0;
    return error != 0 ? error : pipe.Write(text, written);
}

class TrayEnv : public worker_test::PosixWorkerEnv {
  protected:
    void SetUp() override {
        PosixWorkerEnv::SetUp();
        SharedData::ResetForTests();
        UserExtension::ResetForTests();
    }

    void TearDown() override {
        SharedData::ResetForTests();
        SharedData::SetServerInfoSource({});
        PosixWorkerEnv::TearDown();
        UserExtension::ResetForTests();
    }

    // Harness makes workers run in the daemon's own context for sessions of users that do
    // not exist.
    void Harness() {
        SetEnv("PMX_KTV_UUID", "tray-test");
        Configure({"IGNORE_TOKEN_ERROR"});
    }

    // Handled waits for the log line that a message was dealt with.
    bool WaitLogged(const std::string& line) {
        return Eventually([&] { return Logged(line); });
    }
};

}  // namespace tray_test
