// Starting processes: as the daemon, as a session's user, and in groups that die together.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/process.h"
#include "session_fixtures.h"
#include "support/checks.h"
#include "support/test_support.h"

namespace {

using sessions_test::ParseReport;
using sessions_test::ProbePath;

std::uint32_t RunToEnd(const std::vector<std::string>& argv, std::uint32_t& exitCode) {
    platform::ProcessHandle handle;
    const std::uint32_t error = platform::LaunchAsSelf(argv, nullptr, handle);
    if (error == 0 && !handle.Wait(platform::kInfiniteWait, exitCode)) {
        return 0xDEAD;
    }
    return error;
}

using vl_test::ProcessState;

// Exit codes come back unchanged; a bare name is looked up in the PATH.
TEST(LaunchAsSelfTest, ExitCodesComeBackUnchanged) {
    for (std::uint32_t code : {0u, 3u, 127u, 255u}) {
        std::uint32_t exitCode = 0xFFFF;
        ASSERT_EQ(RunToEnd({ProbePath(), "exit", std::to_string(code)}, exitCode), 0u);
        EXPECT_EQ(exitCode, code);
    }
    std::uint32_t exitCode = 1;
    ASSERT_EQ(RunToEnd({"true"}, exitCode), 0u);
    EXPECT_EQ(exitCode, 0u);
}

// A program that cannot start is an error of the launch, never an exit code.
TEST(LaunchAsSelfTest, CouldNotStartIsAnError) {
    vl_test::TempDir dir;
    ASSERT_TRUE(vl_test::WriteFile(dir.Path("not_executable"), "#!/bin/sh\n"));
    ASSERT_TRUE(vl_test::WriteFile(dir.Path("bad_format"),
                                   "\x7f"
                                   "ELF garbage"));
    ::chmod(dir.Path("bad_format").c_str(), 0755);
    const struct {
        std::vector<std::string> argv;
        std::uint32_t error;
    } cases[] = {
        {{"/nonexistent/vl_program"}, 2},
        {{"vl_program_in_no_path_folder"}, 2},
        {{dir.Path("not_executable")}, 5},
        {{dir.Path("bad_format")}, 193},
        {{dir.Path()}, 5},
        {{}, 87},
        {{""}, 87},
    };
    for (const auto& c : cases) {
        platform::ProcessHandle handle;
        EXPECT_EQ(platform::LaunchAsSelf(c.argv, nullptr, handle), c.error)
            << (c.argv.empty() ? "(none)" : c.argv.front());
        EXPECT_FALSE(handle.IsValid());
    }
}

TEST(ProcessHandleTest, WaitTimesOutThenTerminateEndsIt) {
    platform::ProcessHandle handle;
    ASSERT_EQ(platform::LaunchAsSelf({ProbePath(), "sleep"}, nullptr, handle), 0u);
    std::uint32_t exitCode = 0;
    EXPECT_FALSE(handle.Wait(0, exitCode));
    EXPECT_FALSE(handle.Wait(20, exitCode));
    EXPECT_TRUE(handle.IsRunning());
    EXPECT_TRUE(handle.Terminate(1));
    ASSERT_TRUE(handle.Wait(platform::kInfiniteWait, exitCode));
    EXPECT_EQ(exitCode, 128u + SIGKILL);
    EXPECT_FALSE(handle.IsRunning());
    EXPECT_FALSE(handle.Terminate(1));
    // Waiting again gives the same answer.
    ASSERT_TRUE(handle.Wait(0, exitCode));
    EXPECT_EQ(exitCode, 128u + SIGKILL);
}

TEST(ProcessHandleTest, ClosedHandleLeavesNoZombie) {
    pid_t pid = 0;
    {
        platform::ProcessHandle handle;
        ASSERT_EQ(platform::LaunchAsSelf({ProbePath(), "exit", "0"}, nullptr, handle), 0u);
        pid = static_cast<pid_t>(handle.Pid());
    }
    // The reaper collects it in the background.
    EXPECT_TRUE(vl_test::WaitUntil([pid] { return ProcessState(pid) == 0; }));
}

TEST(LaunchAsSelfTest, ChildSeesOnlyStandardDescriptors) {
    vl_test::TempDir dir;
    const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately inheritable
    ASSERT_GE(leaked, 3);
    std::uint32_t exitCode = 1;
    const std::uint32_t error =
        RunToEnd({ProbePath(), "report", dir.Path("out"), dir.Path("none")}, exitCode);
    ::close(leaked);
    ASSERT_EQ(error, 0u);
    ASSERT_EQ(exitCode, 0u);
    auto report = ParseReport(vl_test::ReadFile(dir.Path("out")));
    EXPECT_EQ(report["stdin"], "/dev/null");
    EXPECT_EQ(report["fds"], "0,1,2");
}

// ---- groups -------------------------------------------------------------------------------

struct TreeCase {
    const char* name;
    bool grandchildLeavesSession;
};

class ProcessGroupTest : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ProcessGroupTest, ClosingKillsChildAndGrandchild) {
    vl_test::TempDir dir;
    platform::ProcessGroup group;
    ASSERT_EQ(group.Create(), 0u);
    platform::ProcessHandle handle;
    const std::string setsid = GetParam().grandchildLeavesSession ? "1" : "0";
    ASSERT_EQ(
        platform::LaunchAsSelf({ProbePath(), "tree", dir.Path("pid"), setsid}, &group, handle), 0u);
    ASSERT_TRUE(sessions_test::WaitForFile(dir.Path("pid")));
    const pid_t grandchild = std::stoi(vl_test::ReadFile(dir.Path("pid")));
    ASSERT_NE(ProcessState(grandchild), 0);

    group.Close();
    EXPECT_FALSE(group.IsOpen());
    std::uint32_t exitCode = 0;
    ASSERT_TRUE(handle.Wait(platform::kInfiniteWait, exitCode));
    EXPECT_EQ(exitCode, 128u + SIGKILL);
    EXPECT_EQ(ProcessState(static_cast<pid_t>(handle.Pid())), 0) << "child left as a zombie";
    // The grandchild is dead; its new parent (init) may not have collected it yet.
    const char state = ProcessState(grandchild);
    EXPECT_TRUE(state == 0 || state == 'Z') << state;
}

INSTANTIATE_TEST_SUITE_P(Trees, ProcessGroupTest,
                         ::testing::Values(TreeCase{"SameSession", false},
                                           TreeCase{"OwnSession", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessGroupTest, DestroyingTheGroupKillsAndMembersOutliveTheirHandle) {
    pid_t pid = 0;
    {
        platform::ProcessGroup group;
        ASSERT_EQ(group.Create(), 0u);
        {
            platform::ProcessHandle handle;
            ASSERT_EQ(platform::LaunchAsSelf({ProbePath(), "sleep"}, &group, handle), 0u);
            pid = static_cast<pid_t>(handle.Pid());
        }
        ASSERT_NE(ProcessState(pid), 0) << "closing the handle must not end the process";
    }
    EXPECT_TRUE(vl_test::WaitUntil([pid] { return ProcessState(pid) == 0; }));
}

// Members do not survive a daemon that dies without closing their group.
TEST(ProcessGroupTest, MembersDieWithTheDaemon) {
    vl_test::TempDir dir;
    std::uint32_t exitCode = 1;
    ASSERT_EQ(RunToEnd({ProbePath(), "orphan", dir.Path("pid")}, exitCode), 0u);
    ASSERT_EQ(exitCode, 0u);
    const pid_t member = std::stoi(vl_test::ReadFile(dir.Path("pid")));
    EXPECT_TRUE(vl_test::WaitUntil([member] {
        const char state = ProcessState(member);
        return state == 0 || state == 'Z';
    }));
}

// NoUserBus keeps a developer's own service manager out of the tests of the fallback.
struct NoUserBus {
    vl_test::ScopedEnv address{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
    vl_test::ScopedEnv runtime{"XDG_RUNTIME_DIR", std::nullopt};
};

// What a group member starts dies with the group, unless it was handed over to the user's
// session: then it is outside the member's session and tree, and only its own end counts.
TEST(ProcessGroupTest, OnlyHandedOverProgramsOutliveTheGroup) {
    const NoUserBus noBus;
    for (const bool away : {false, true}) {
        vl_test::TempDir dir;
        platform::ProcessGroup group;
        ASSERT_EQ(group.Create(), 0u);
        platform::ProcessHandle member;
        ASSERT_EQ(platform::LaunchAsSelf({ProbePath(), "spawn", dir.Path("pid"), away ? "1" : "0"},
                                         &group, member),
                  0u);
        ASSERT_TRUE(sessions_test::WaitForFile(dir.Path("pid")));
        const pid_t program = std::stoi(vl_test::ReadFile(dir.Path("pid")));
        const pid_t memberPid = static_cast<pid_t>(member.Pid());
        EXPECT_EQ(::getsid(program) == ::getsid(memberPid), !away) << away;

        group.Close();
        const char state = ProcessState(program);
        EXPECT_EQ(state != 0 && state != 'Z', away) << "away=" << away << " state=" << state;
        ::kill(program, SIGKILL);
    }
}

// A handed-over program is not our child: its handle sees it end, without an exit code.
TEST(ProcessHandleTest, HandedOverProgramIsWatchedNotReaped) {
    const NoUserBus noBus;
    platform::LaunchOptions options;
    options.argv = {ProbePath(), "sleep"};
    options.breakAwayFromJob = true;
    platform::ProcessHandle handle;
    std::string unit = "stale";
    ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle, &unit), 0u);
    EXPECT_EQ(unit, "") << "no user service manager here";
    const pid_t pid = static_cast<pid_t>(handle.Pid());
    EXPECT_NE(ProcessState(pid), 0);
    EXPECT_NE(::getsid(pid), ::getsid(0));
    std::uint32_t exitCode = 0;
    EXPECT_FALSE(handle.Wait(20, exitCode));
    EXPECT_TRUE(handle.Terminate(1));
    ASSERT_TRUE(handle.Wait(10000, exitCode));
    EXPECT_EQ(exitCode, 0xFFFFFFFFu);
    EXPECT_FALSE(handle.IsRunning());

    options.argv = {"/nonexistent/vl_program"};
    EXPECT_EQ(platform::LaunchAsSelf(options, nullptr, handle), 2u);
    EXPECT_FALSE(handle.IsValid());
}

// Handed over and waited for, without a manager: a waiter in the program's new session,
// outside our tree, reports the exit code; what the program started outlives it.
TEST(ProcessHandleTest, HandedOverProgramReportsItsExitCodeThroughAWaiter) {
    const NoUserBus noBus;
    vl_test::TempDir dir;
    const struct {
        std::string script;
        std::uint32_t exitCode;
    } cases[] = {{"sleep 30 & echo $! > " + dir.Path("app") + "; exit 7", 7}, {"kill -9 $$", 137}};
    for (const auto& c : cases) {
        platform::LaunchOptions options;
        options.argv = {"/bin/sh", "-c", c.script};
        options.breakAwayFromJob = true;
        options.reportExit = true;
        platform::ProcessHandle handle;
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle), 0u);
        const pid_t pid = static_cast<pid_t>(handle.Pid());
        EXPECT_NE(::getsid(pid), ::getsid(0));
        std::uint32_t exitCode = 0;
        ASSERT_TRUE(handle.Wait(10000, exitCode)) << c.script;
        EXPECT_EQ(exitCode, c.exitCode) << c.script;
        EXPECT_FALSE(handle.IsRunning());
    }
    ASSERT_TRUE(sessions_test::WaitForFile(dir.Path("app")));
    const pid_t app = std::stoi(vl_test::ReadFile(dir.Path("app")));
    const char state = ProcessState(app);
    EXPECT_TRUE(state != 0 && state != 'Z') << state;
    ::kill(app, SIGKILL);
}

TEST(ProcessGroupTest, ClosedGroupTakesNoMember) {
    platform::ProcessGroup group;
    platform::ProcessHandle handle;
    EXPECT_EQ(platform::LaunchAsSelf({ProbePath(), "exit", "0"}, &group, handle), 87u);
}

// ---- session users ------------------------------------------------------------------------

class SessionUserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = user_.Create();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        ::chmod(dir_.Path().c_str(), 0777);
        ASSERT_TRUE(vl_test::WriteFile(dir_.Path("sessions.json"),
                                       R"([{"id": 7, "user": ")" + user_.Name() +
                                           R"(", "state": 0, "station": "seat0", "display": ":5"},
                {"id": 8, "user": "root", "state": 4},
                {"id": 9, "user": "", "state": 4},
                {"id": 10, "user": "vl_nobody_such_user", "state": 4}])"));
        ASSERT_TRUE(vl_test::WriteFile(dir_.Path("secret"), "root only\n"));
        ::chmod(dir_.Path("secret").c_str(), 0600);
    }

    std::map<std::string, std::string> Report(platform::LaunchOptions options) {
        options.argv = {ProbePath(), "report", dir_.Path("out"), dir_.Path("secret")};
        platform::ProcessHandle handle;
        std::uint32_t exitCode = 1;
        EXPECT_EQ(platform::LaunchAsSessionUser(options, nullptr, handle), 0u);
        EXPECT_TRUE(handle.Wait(platform::kInfiniteWait, exitCode));
        EXPECT_EQ(exitCode, 0u);
        return ParseReport(vl_test::ReadFile(dir_.Path("out")));
    }

    sessions_test::ThrowawayUser user_;
    vl_test::TempDir dir_;
    vl_test::ScopedEnv sessionFile_{"QVYLD_SESSION_FILE", dir_.Path("sessions.json")};
    vl_test::ScopedEnv marker_{"VL_PARENT_ONLY", "leak"};
};

TEST_F(SessionUserTest, ChildRunsAsTheUserWithTheUserEnvironmentOnly) {
    struct passwd* account = ::getpwnam(user_.Name().c_str());
    struct group* extra = ::getgrnam(user_.Group().c_str());
    ASSERT_NE(account, nullptr);
    ASSERT_NE(extra, nullptr);
    const std::string uid = std::to_string(account->pw_uid);
    const std::string gid = std::to_string(account->pw_gid);
    const std::string extraGid = std::to_string(extra->gr_gid);

    platform::LaunchOptions options;
    options.sessionId = 7;
    options.extraEnvironment = {"VL_EXTRA=yes"};
    auto report = Report(options);

    EXPECT_EQ(report["uid"], uid);
    EXPECT_EQ(report["euid"], uid);
    EXPECT_EQ(report["gid"], gid);
    // Exactly the user's groups: the primary and the extra one, nothing of root's.
    const std::string groups = report["groups"];
    EXPECT_TRUE(groups == gid + "," + extraGid || groups == extraGid + "," + gid) << groups;
    EXPECT_EQ(report["secret"], "denied");
    EXPECT_EQ(report["fds"], "0,1,2");
    EXPECT_EQ(report["env:HOME"], "/home/" + user_.Name());
    EXPECT_EQ(report["env:USER"], user_.Name());
    EXPECT_EQ(report["env:LOGNAME"], user_.Name());
    EXPECT_EQ(report["env:SHELL"], "/usr/sbin/nologin");
    EXPECT_EQ(report["env:DISPLAY"], ":5");
    EXPECT_EQ(report["env:VL_EXTRA"], "yes");
    EXPECT_FALSE(report["env:PATH"].empty());
    EXPECT_EQ(report.count("env:VL_PARENT_ONLY"), 0u);
    EXPECT_EQ(report.count("env:QVYLD_SESSION_FILE"), 0u);
    // The home folder does not exist (useradd -M): the child starts in "/".
    EXPECT_EQ(report["cwd"], "/");
}

// The session leader's display and bus variables replace the guess; a leader that is gone
// (or unknown) leaves the guess.
TEST_F(SessionUserTest, SessionLeaderEnvironmentReplacesTheGuess) {
    platform::LaunchOptions leaderOptions;
    leaderOptions.sessionId = 7;
    leaderOptions.argv = {ProbePath(), "sleep"};
    leaderOptions.extraEnvironment = {"DISPLAY=:77", "XAUTHORITY=/tmp/vl-leader-auth",
                                      "VL_LEADER_ONLY=1"};
    platform::ProcessHandle leader;
    ASSERT_EQ(platform::LaunchAsSessionUser(leaderOptions, nullptr, leader), 0u);
    const struct {
        std::uint32_t leader;
        const char* display;
        const char* xauthority;
    } cases[] = {
        {leader.Pid(), ":77", "/tmp/vl-leader-auth"},
        {0x7FFFFFF0u, ":5", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(vl_test::WriteFile(dir_.Path("sessions.json"),
                                       R"([{"id": 7, "user": ")" + user_.Name() +
                                           R"(", "state": 0, "display": ":5", "leader": )" +
                                           std::to_string(c.leader) + "}]"));
        platform::LaunchOptions options;
        options.sessionId = 7;
        auto report = Report(options);
        EXPECT_EQ(report["env:DISPLAY"], c.display) << c.leader;
        EXPECT_EQ(report["env:XAUTHORITY"], c.xauthority) << c.leader;
        EXPECT_EQ(report.count("env:VL_LEADER_ONLY"), 0u) << "only the session's variables";
    }
    leader.Terminate(1);
}

TEST_F(SessionUserTest, WorkingFolderAndNewGroupAreHonoured) {
    platform::LaunchOptions options;
    options.sessionId = 7;
    options.workingDirectory = dir_.Path();
    options.newGroup = true;
    auto report = Report(options);
    EXPECT_EQ(report["cwd"], dir_.Path());
    EXPECT_EQ(report["sid"], report["pid"]);
}

TEST_F(SessionUserTest, FailuresTellTheirStep) {
    const struct {
        std::uint32_t session;
        const char* program;
        std::uint32_t error;
        platform::LaunchFailure step;
    } cases[] = {
        {9, "true", 1008, platform::LaunchFailure::Token},   // nobody logged on
        {10, "true", 1008, platform::LaunchFailure::Token},  // user unknown here
        {11, "true", 1008, platform::LaunchFailure::Token},  // no such session
        {7, "/nonexistent/vl_program", 2, platform::LaunchFailure::Creation},
        {7, "true", 0, platform::LaunchFailure::None},
    };
    for (const auto& c : cases) {
        platform::LaunchOptions options;
        options.sessionId = c.session;
        options.argv = {c.program};
        platform::ProcessHandle handle;
        platform::LaunchFailure step = platform::LaunchFailure::Environment;
        EXPECT_EQ(platform::LaunchAsSessionUser(options, nullptr, handle, &step), c.error)
            << c.session;
        EXPECT_EQ(step, c.step) << c.session;
        EXPECT_EQ(handle.IsValid(), c.error == 0);
    }
}

// A daemon that is not root may start processes for its own user only.
TEST_F(SessionUserTest, WithoutRootOnlyTheOwnSessionCanBeLaunched) {
    for (const auto& [session, expected] : {std::pair{"8", "1008"}, std::pair{"7", "0"}}) {
        platform::LaunchOptions options;
        options.sessionId = 7;
        options.argv = {ProbePath(), "launch", session, dir_.Path("rc")};
        options.extraEnvironment = {"QVYLD_SESSION_FILE=" + dir_.Path("sessions.json")};
        platform::ProcessHandle handle;
        std::uint32_t exitCode = 1;
        ASSERT_EQ(platform::LaunchAsSessionUser(options, nullptr, handle), 0u);
        ASSERT_TRUE(handle.Wait(platform::kInfiniteWait, exitCode));
        EXPECT_EQ(vl_test::ReadFile(dir_.Path("rc")), std::string(expected) + "\n") << session;
    }
}

}  // namespace
