// The tray program on its own, on every platform: it owns the session's tray window, turns
// the daemon's messages, posted from other processes (the worker's post mode among them),
// into notices, leaves at once when the
// session has a tray, and ends on the close message; the spinner owns its window until the
// close message. No notification service or area answers here (Wine has none either), so the
// notices are the tray's log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/toolbox.h"
#include "platform/known_folders.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "support/test_support.h"

namespace {

constexpr std::uint32_t kWaitMs = 30000;  // Wine starts a program slowly on a busy machine

bool Eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class TrayWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(group_.Create(), 0u);
        // The programs' logs and windows go below the test's folder: the runtime folder is
        // QVYLD_RUNTIME_DIR on POSIX and the temporary folder on Windows.
        for (const char* name : {"QVYLD_RUNTIME_DIR", "QVYLD_COMMON_DATA_DIR", "TMP", "TEMP"}) {
            env_.push_back(std::make_unique<vl_test::ScopedEnv>(name, dir_.Path()));
        }
        // No display and no session bus: notices are logged.
        env_.push_back(std::make_unique<vl_test::ScopedEnv>("DISPLAY", std::nullopt));
        env_.push_back(std::make_unique<vl_test::ScopedEnv>("WAYLAND_DISPLAY", std::nullopt));
        env_.push_back(std::make_unique<vl_test::ScopedEnv>("DBUS_SESSION_BUS_ADDRESS",
                                                            "unix:path=" + dir_.Path("no-bus")));
    }

    // Program is one of the programs beside the test program.
    static std::string Program(const std::string& name) {
        return ToolBox::JoinPath(platform::ExecutableFolder(), name);
    }

    platform::ProcessHandle Start(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {Program(Companions::TrayExecutableName())};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        platform::ProcessHandle process;
        EXPECT_EQ(platform::LaunchAsSelf(argv, &group_, process), 0u);
        return process;
    }

    static bool Find(const std::string& className, platform::WindowRef& window) {
        return platform::FindMessageWindow(className, platform::RuntimeOwner::Self(), window) == 0;
    }

    // TrayLog is the text of every log file of the tray program below the test's folder.
    std::string TrayLog() const {
        std::string text;
        std::error_code error;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(platform::FsPath(dir_.Path()), error)) {
            const std::string name = platform::PathText(entry.path().filename());
            if (name.rfind(Companions::kTrayProgram, 0) == 0 && name.ends_with(".txt")) {
                text += vl_test::ReadFile(platform::PathText(entry.path()));
            }
        }
        return text;
    }
    bool Logged(const std::string& line) const { return TrayLog().find(line) != std::string::npos; }

    vl_test::TempDir dir_;
    std::vector<std::unique_ptr<vl_test::ScopedEnv>> env_;
    platform::ProcessGroup group_;
};

TEST_F(TrayWindowTest, PostedMessagesBecomeNoticesASecondTrayLeavesAndCloseEndsIt) {
    platform::ProcessHandle tray = Start({});
    platform::WindowRef window;
    ASSERT_TRUE(Eventually([&] { return Find(Companions::kTrayWindowClass, window); }));
    // One message straight from this process, one through the worker's post mode.
    ASSERT_EQ(platform::PostWindowMessage(window, {Companions::kTrayMessageA, 2, 3}), 0u);
    platform::ProcessHandle poster;
    ASSERT_EQ(platform::LaunchAsSelf(
                  {Program(Companions::GuiExecutableName()), Companions::kPostStatusMode,
                   Companions::PostStatusText(Companions::kTrayWindowClass,
                                              Companions::kTrayMessageB, 3, 2)},
                  &group_, poster),
              0u);
    std::uint32_t code = 99;
    ASSERT_TRUE(poster.Wait(kWaitMs, code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Eventually([&] {
        return Logged(
            "[Tray::Desktop]Unpacking media : The launcher is unpacking a download (2, 3)");
    }));
    EXPECT_TRUE(
        Logged("[Tray::Desktop]Launching an application : The launcher is starting it "
               "(2, 3)"));

    platform::ProcessHandle second = Start({});
    ASSERT_TRUE(second.Wait(kWaitMs, code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Logged("[Tray]a tray already runs in this session"));

    ASSERT_EQ(platform::PostWindowMessage(window, {Companions::kCloseMessage, 0, 0}), 0u);
    ASSERT_TRUE(tray.Wait(kWaitMs, code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Logged("[Tray]tray ends"));
    EXPECT_FALSE(Find(Companions::kTrayWindowClass, window));
}

TEST_F(TrayWindowTest, TheSpinnerOwnsItsWindowUntilTheCloseMessage) {
    platform::ProcessHandle spinner = Start({Companions::kSpinnerMode});
    platform::WindowRef window;
    ASSERT_TRUE(Eventually([&] { return Find(Companions::kSpinnerWindowClass, window); }));
    ASSERT_EQ(platform::PostWindowMessage(window, {Companions::kCloseMessage, 0, 0}), 0u);
    std::uint32_t code = 99;
    ASSERT_TRUE(spinner.Wait(kWaitMs, code));
    EXPECT_EQ(code, 0u);
}

}  // namespace
