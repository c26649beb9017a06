// Programs handed over to the user's service manager, against a stand-in of the manager on a
// private bus that the test starts (this machine has no systemd to ask).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "session_fixtures.h"
#include "support/checks.h"
#include "support/test_support.h"
#include "user_manager_standin.h"

namespace {

using Recorded = sessions_test::RecordedUnit;
using StandIn = sessions_test::ManagerStandIn;

class UserManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        address_ = "unix:path=" + dir_.Path("bus");
        platform::LaunchOptions options;
        options.argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                        "--address=" + address_};
        if (platform::LaunchAsSelf(options, nullptr, bus_) != 0) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        struct stat info {};
        ASSERT_TRUE(vl_test::WaitUntil([&] {
            return ::stat(dir_.Path("bus").c_str(), &info) == 0;
        })) << "no bus socket";
    }
    void TearDown() override { bus_.Terminate(1); }

    vl_test::TempDir dir_;
    std::string address_;
    platform::ProcessHandle bus_;
    vl_test::ScopedEnv noRuntime_{"XDG_RUNTIME_DIR", std::nullopt};
};

TEST_F(UserManagerTest, HandedOverProgramsBecomeServicesThatOutliveTheirMainProcess) {
    StandIn manager;
    ASSERT_TRUE(manager.Start(address_));
    vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address_);
    for (const bool older : {false, true}) {
        manager.refuseExitType = older;
        platform::LaunchOptions options;
        options.argv = {"/bin/sh", "-c", "exit 0", "arg with blanks"};
        options.breakAwayFromJob = true;
        options.workingDirectory = "/tmp";
        options.extraEnvironment = {"VL_EXTRA=1"};
        platform::ProcessHandle handle;
        std::string unit;
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle, &unit), 0u);
        EXPECT_FALSE(handle.IsValid()) << "the manager owns it";
        EXPECT_EQ(unit.rfind("vantaro-sh-", 0), 0u) << unit;

        const std::vector<Recorded> calls = manager.Calls();
        ASSERT_FALSE(calls.empty());
        const Recorded& last = calls.back();
        EXPECT_EQ(last.name, unit);
        EXPECT_EQ(last.execStart, (std::vector<std::string>{"/bin/sh", "/bin/sh", "-c", "exit 0",
                                                            "arg with blanks"}));
        EXPECT_EQ(last.texts.at("Type"), "exec");
        EXPECT_EQ(last.texts.at("WorkingDirectory"), "/tmp");
        EXPECT_EQ(last.texts.at("Slice"), "app.slice");
        EXPECT_EQ(last.texts.count(older ? "RemainAfterExit" : "ExitType"), 1u);
        if (!older) {
            EXPECT_EQ(last.texts.at("ExitType"), "cgroup");
        }
        EXPECT_NE(std::find(last.environment.begin(), last.environment.end(), "VL_EXTRA=1"),
                  last.environment.end());
    }
    EXPECT_EQ(manager.Calls().size(), 3u) << "one call, then two for the older manager";
}

// Handed over and waited for: the unit's main process's exit status comes back through the
// manager, which the caller asks to keep the unit (AddRef) until it has read it; a program
// that cannot start fails the wait.
TEST_F(UserManagerTest, HandedOverProgramsCanBeWaitedForThroughTheirUnit) {
    StandIn manager;
    manager.runPrograms = true;
    ASSERT_TRUE(manager.Start(address_));
    vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address_);
    const struct {
        const char* script;
        bool ends;
        std::uint32_t exitCode;
    } cases[] = {{"exit 7", true, 7}, {"kill -9 $$", true, 137}, {"exec sleep 30", false, 0}};
    for (const auto& c : cases) {
        platform::LaunchOptions options;
        options.argv = {"/bin/sh", "-c", c.script};
        options.breakAwayFromJob = true;
        options.reportExit = true;
        platform::ProcessHandle handle;
        std::string unit;
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle, &unit), 0u) << c.script;
        ASSERT_TRUE(handle.IsValid());
        EXPECT_EQ(manager.Calls().back().texts.at("AddRef"), "yes");
        std::uint32_t exitCode = 0;
        EXPECT_EQ(handle.Wait(c.ends ? 10000 : 100, exitCode), c.ends) << c.script;
        if (c.ends) {
            EXPECT_EQ(exitCode, c.exitCode) << c.script;
        } else {
            EXPECT_TRUE(handle.IsRunning());
            EXPECT_EQ(handle.Pid(), 0u) << "the manager's, not ours";
        }
    }
    platform::LaunchOptions missing;
    missing.argv = {"/nonexistent/vl_program"};
    missing.breakAwayFromJob = true;
    missing.reportExit = true;
    platform::ProcessHandle handle;
    ASSERT_EQ(platform::LaunchAsSelf(missing, nullptr, handle), 0u) << "the unit is queued";
    std::uint32_t exitCode = 0;
    EXPECT_FALSE(handle.Wait(10000, exitCode)) << "the unit failed to start";
}

// Without a manager on the bus (or without a bus) the program starts on its own, still
// handed over to the user's session.
TEST_F(UserManagerTest, WithoutAManagerTheProgramStartsOnItsOwn) {
    for (const std::string& address : {address_, std::string("unix:path=/nonexistent/bus")}) {
        vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address);
        platform::LaunchOptions options;
        options.argv = {"/bin/sh", "-c", "exit 0"};
        options.breakAwayFromJob = true;
        platform::ProcessHandle handle;
        std::string unit = "stale";
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle, &unit), 0u) << address;
        EXPECT_EQ(unit, "");
        std::uint32_t exitCode = 0;
        EXPECT_TRUE(handle.Wait(10000, exitCode)) << address;
        EXPECT_FALSE(platform::AdoptSessionEnvironment());
    }
}

TEST_F(UserManagerTest, TheSessionEnvironmentComesFromTheManager) {
    StandIn manager;
    ASSERT_TRUE(manager.Start(address_));
    vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address_);
    vl_test::ScopedEnv display("DISPLAY", ":0");
    vl_test::ScopedEnv xauthority("XAUTHORITY", std::nullopt);
    ASSERT_TRUE(platform::AdoptSessionEnvironment());
    EXPECT_STREQ(std::getenv("DISPLAY"), ":42");
    EXPECT_STREQ(std::getenv("XAUTHORITY"), "/tmp/vl-xauth");
    EXPECT_STREQ(std::getenv("WAYLAND_DISPLAY"), "wayland-9");
    ::unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
