// What only POSIX can show of the tray: the shared-memory block's file, the spinner started and
// killed through the daemon, each session's own worker and tray with throwaway users, and
// notices through a real notification service on a private bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "notification_server.h"
#include "platform/runtime_folder.h"
#include "platform/shared_memory.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "session/systray_coms.h"
#include "session/user_extension.h"
#include "tray_env.h"

namespace {

using tray_test::Eventually;

class TrayProgramTest : public tray_test::TrayEnv {
  protected:
    void SetUp() override {
        TrayEnv::SetUp();
        ASSERT_EQ(group_.Create(), 0u);
    }

    std::string Block() {
        std::string text;
        platform::ReadSharedMemory(Companions::kTraySharedMemory, SharedData::kSharedMemorySize,
                                   text);
        return text;
    }

    // StartTray runs the tray program in the test's own context.
    platform::ProcessHandle StartTray(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {tray_test::TrayPath()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        platform::ProcessHandle process;
        EXPECT_EQ(platform::LaunchAsSelf(argv, &group_, process), 0u);
        return process;
    }

    bool WindowExists(const std::string& className, const platform::RuntimeOwner& owner) {
        platform::WindowRef window;
        return platform::FindMessageWindow(className, owner, window) == 0;
    }

    platform::ProcessGroup group_;
};

TEST_F(TrayProgramTest, SharedMemoryHoldsVersionPortAndDomainThenTheUpdaterEnds) {
    std::atomic<std::int32_t> port{-1};
    SharedData::SetServerInfoSource([&port] {
        return SharedData::ServerInfo{port >= 0, port.load(), "vantaro.localhost"};
    });
    SetSessions({});
    Configure({"FORCE_VERSION_MSI=L24.3"});
    ASSERT_TRUE(SharedData::Start());
    const std::string version = "L24.3";
    ASSERT_TRUE(Eventually([&] { return Block() == version + "||-1||vantaro.localhost"; }));
    EXPECT_TRUE(SharedData::IsUpdateRunning());
    port = 9443;
    ASSERT_TRUE(Eventually([] { return !SharedData::IsUpdateRunning(); }));
    EXPECT_EQ(Block(), version + "||9443||vantaro.localhost");
    EXPECT_TRUE(Logged("[SharedData::UpdateData]set th thread to exit."));
}

TEST_F(TrayProgramTest, TheBlockIsNeverOverrunAndSurvivesOthers) {
    platform::SharedMemoryWriter writer;
    const std::string name = "Global\\vl-tray-test-block";
    ASSERT_EQ(writer.Create(name, 16), 0u);
    EXPECT_EQ(writer.Write(std::string(17, 'x')), platform::SysError::INSUFFICIENT_BUFFER);
    ASSERT_EQ(writer.Write("1.0||1||a"), 0u);
    std::string text;
    EXPECT_EQ(platform::ReadSharedMemory(name, 16, text), 0u);
    EXPECT_EQ(text, "1.0||1||a");
    const std::string object = "/vl-tray-test-block." + [] {
        std::uint32_t hash = 2166136261u;
        for (const char* p = std::getenv("QVYLD_RUNTIME_DIR"); *p != '\0'; ++p) {
            hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
        }
        return std::to_string(hash);
    }();
    const struct {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"truncated", [&] { EXPECT_EQ(::truncate(("/dev/shm" + object).c_str(), 4), 0); }},
        {"removed", [&] { ::shm_unlink(object.c_str()); }},
    };
    for (const auto& c : cases) {
        c.damage();
        EXPECT_NE(platform::ReadSharedMemory(name, 16, text), 0u) << c.what;
        EXPECT_EQ(writer.Write("2.0||2||b"), platform::SysError::FILE_NOT_FOUND) << c.what;
        EXPECT_EQ(platform::ReadSharedMemory(name, 16, text), 0u) << c.what;
        EXPECT_EQ(text, "2.0||2||b") << c.what;
    }
}

TEST_F(TrayProgramTest, TheSpinnerClosesPolitelyOrIsKilledThroughItsGroup) {
    Harness();
    SetSessions({{5, "vl_tray_a"}});
    const ZorvidRequestInfo request{"page-s"};
    const SystrayComs coms(request, SystrayComs::kIndirect, std::string(VL_BIN_DIR));
    for (const bool windowGone : {false, true}) {
        Spinner spinner(coms, true);
        ASSERT_TRUE(spinner.IsStarted());
        const std::uint32_t pid = spinner.ProcessId();
        ASSERT_TRUE(Eventually([&] {
            return WindowExists(Companions::kSpinnerWindowClass, platform::RuntimeOwner::Self());
        }));
        if (windowGone) {
            std::string folder;
            platform::RuntimeFolderPath(platform::RuntimeOwner::Self(), folder);
            ::unlink((folder + "/" + Companions::kSpinnerWindowClass + ".wnd").c_str());
        }
        spinner.Stop();
        EXPECT_FALSE(spinner.IsStarted());
        EXPECT_TRUE(worker_test::WaitUntilGone(pid));
        EXPECT_EQ(Logged("thru WM_CLOSE, hard killing it !"), windowGone);
    }
    // Without a session to show it in, nothing starts.
    SetSessions({});
    const ZorvidRequestInfo unknown{"page-unknown"};
    Spinner none(SystrayComs(unknown, SystrayComs::kIndirect, std::string(VL_BIN_DIR)), true);
    EXPECT_FALSE(none.IsStarted());
    EXPECT_TRUE(Logged("[Spinner::StartInt]fail to retrive a valid session ID !"));
}

TEST_F(TrayProgramTest, NoticesReachTheSessionsNotificationService) {
    tray_test::NotificationServer service;
    if (!service.Start(true)) {
        GTEST_SKIP() << "no dbus-daemon here";
    }
    SetEnv("DBUS_SESSION_BUS_ADDRESS", service.Address());
    SetEnv("DISPLAY", std::nullopt);
    SetEnv("WAYLAND_DISPLAY", std::nullopt);
    platform::ProcessHandle tray = StartTray();
    ASSERT_TRUE(Eventually([&] {
        return WindowExists(Companions::kTrayWindowClass, platform::RuntimeOwner::Self());
    }));
    platform::WindowRef window;
    ASSERT_EQ(platform::FindMessageWindow(Companions::kTrayWindowClass,
                                          platform::RuntimeOwner::Self(), window),
              0u);
    for (const std::uint32_t message : {Companions::kTrayMessageA, Companions::kTrayMessageB}) {
        ASSERT_EQ(platform::PostWindowMessage(window, {message, 2, 3}), 0u);
    }
    ASSERT_TRUE(Eventually([&] { return service.Summaries().size() == 2; }));
    EXPECT_EQ(service.Summaries(),
              (std::vector<std::string>{"Launching an application", "Unpacking media"}));
    ASSERT_EQ(platform::PostWindowMessage(window, {Companions::kCloseMessage, 0, 0}), 0u);
    std::uint32_t code = 99;
    EXPECT_TRUE(tray.Wait(30000, code));
}

TEST_F(TrayProgramTest, TwoSessionsOfOneUserKeepTheirOwnWorkerAndTray) {
    sessions_test::ThrowawayUser user;
    if (const std::string why = MakeUser(user); !why.empty()) {
        GTEST_SKIP() << why;
    }
    SetSessions({{7, user.Name()}, {9, user.Name(), 4}});
    SharedData::InitSession(7);
    SharedData::InitSession(9);
    const auto seventh = SharedData::GetExtensionForSession(7);
    const auto ninth = SharedData::GetExtensionForSession(9);
    ASSERT_TRUE(seventh->IsRunning() && ninth->IsRunning());
    std::vector<platform::ProcessHandle> trays;
    for (const std::uint32_t session : {7u, 9u}) {
        platform::LaunchOptions options;
        options.sessionId = session;
        options.argv = {tray_test::TrayPath()};
        options.extraEnvironment = platform::RuntimeEnvironment(session);
        options.extraEnvironment.push_back("QVYLD_SESSION_FILE=" + Path("sessions.json"));
        trays.emplace_back();
        ASSERT_EQ(platform::LaunchAsSessionUser(options, &group_, trays.back()), 0u);
    }
    for (const std::uint32_t session : {7u, 9u}) {
        const auto owner = platform::RuntimeOwner::SessionUser(session);
        EXPECT_TRUE(Eventually([&] { return WindowExists(Companions::kTrayWindowClass, owner); }));
        EXPECT_TRUE(
            Eventually([&] { return WindowExists(Companions::kWorkerWindowClass, owner); }));
    }
    // Closing the tray of the active session through its page leaves session 9's alone.
    SharedData::BindSession("page-7", 7);
    const ZorvidRequestInfo request{"page-7"};
    EXPECT_TRUE(SystrayComs(request).ShutdownSystray());
    std::uint32_t code = 99;
    EXPECT_TRUE(trays[0].Wait(30000, code));
    EXPECT_TRUE(trays[1].IsRunning());
    // Stopping session 9's worker reaches its own window only.
    EXPECT_TRUE(ninth->Stop());
    EXPECT_TRUE(seventh->IsRunning());
}

}  // namespace
