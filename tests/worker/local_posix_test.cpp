// What the daemon (and the worker) do by themselves: commands and folders.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/elevation.h"
#include "session/companions.h"
#include "session/operations_local.h"
#include "worker_env_posix.h"

namespace {

namespace Local = Operations::Local;

class LocalTest : public worker_test::PosixWorkerEnv {};

TEST_F(LocalTest, CommandsWaitAsAsked) {
    const struct {
        std::vector<std::string> command;
        std::int32_t timeoutMs;
        bool result;
        std::uint32_t exitCode;
    } cases[] = {
        {{"/bin/sh", "-c", "\"exit 5\""}, Local::kNoTimeLimit, true, 5},
        {{"/bin/sh", "-c", "\"exit 0\""}, 5000, true, 0},
        {{"/bin/sleep", "5"}, 0, true, 0},
        {{"/bin/sleep", "5"}, 200, false, 99},
        {{"/no/such/program"}, Local::kNoTimeLimit, false, 99},
    };
    for (const auto& c : cases) {
        std::uint32_t exitCode = 99;
        EXPECT_EQ(Local::ExecuteCmd(c.command, exitCode, false, c.timeoutMs), c.result)
            << c.command.front() << " " << c.timeoutMs;
        EXPECT_EQ(exitCode, c.exitCode) << c.command.front() << " " << c.timeoutMs;
    }
    EXPECT_TRUE(
        Logged("[Operations::Local::ExecuteCmd] Waiting for process to end timeout after "
               "[200] ms !"));
    EXPECT_TRUE(Logged("[Operations::Local::ExecuteCmd] CreateProcessW failed !"));
}

// Items carry their own quotes; the text is split as Windows would, never by a shell.
TEST_F(LocalTest, CommandItemsAreSplitByTheCommandLineRules) {
    const std::string out = Path("out.txt");
    std::uint32_t exitCode = 99;
    ASSERT_TRUE(Local::ExecuteCmd(
        {"/bin/sh", "-c", "\"printf '%s' \\\"$0\\\" > " + out + "\"", "\"a b;c\""}, exitCode, false,
        Local::kNoTimeLimit));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(vl_test::ReadFile(out), "a b;c");
}

TEST_F(LocalTest, CommandsRunAsTheSessionUser) {
    sessions_test::ThrowawayUser user;
    if (const std::string why = MakeUser(user); !why.empty()) {
        GTEST_SKIP() << why;
    }
    SetSessions({{4, user.Name()}});
    ::mkdir(Path("out").c_str(), 0777);
    ::chmod(Path("out").c_str(), 0777);
    const std::string out = Path("out/id.txt");
    for (const std::int64_t session : {std::int64_t{4}, std::int64_t{0}}) {  // 0: the active one
        std::uint32_t exitCode = 99;
        ASSERT_TRUE(Local::ExecuteCmd({"/bin/sh", "-c", "\"id -u > " + out + "\""}, exitCode, true,
                                      Local::kNoTimeLimit, session));
        EXPECT_EQ(vl_test::ReadFile(out),
                  std::to_string(::getpwnam(user.Name().c_str())->pw_uid) + "\n");
    }
    std::uint32_t exitCode = 99;
    EXPECT_FALSE(Local::ExecuteCmd({"/bin/true"}, exitCode, true, 0, 12));
    EXPECT_TRUE(
        Logged("[Operations::Local::ExecuteCmd]Fail to retrieve user's token for session "
               "'12' !"));
}

// The elevation helper's own failures (no helper, a dismissed or refused authentication) are
// failed starts, never the program's exit code.
TEST_F(LocalTest, ElevationFailuresAreFailedStarts) {
    const struct {
        const char* helper;  // the stand-in helper's script; none when null
        bool result;
        std::uint32_t exitCode;
        std::string logged;
    } cases[] = {
        {nullptr, false, 99, "ShellExecuteExW failed ! no way to elevate here (\"pkexec\" is not"},
        {"exit 126", false, 99, "ShellExecuteExW failed ! the elevation was dismissed"},
        {"exit 127", false, 99, "ShellExecuteExW failed ! the elevation was refused"},
        {"exec \"$@\"", true, 3, "launch command successed ! (rc:3)"},
    };
    for (const auto& c : cases) {
        const std::string folder = Path("helper" + std::to_string(&c - cases));
        ::mkdir(folder.c_str(), 0755);
        if (c.helper != nullptr) {
            ASSERT_TRUE(vl_test::WriteFile(folder + "/" + platform::kElevationHelper,
                                           std::string("#!/bin/sh\n") + c.helper + "\n"));
            ::chmod((folder + "/" + platform::kElevationHelper).c_str(), 0755);
        }
        const vl_test::ScopedEnv path("PATH", folder);
        std::uint32_t exitCode = 99;
        EXPECT_EQ(Local::ExecuteCmd({"/bin/sh", "-c", "\"exit 3\""}, exitCode, 5000), c.result)
            << c.logged;
        EXPECT_EQ(exitCode, c.exitCode) << c.logged;
        EXPECT_TRUE(Logged(c.logged)) << c.logged;
    }
}

TEST_F(LocalTest, MakeFolderReportsEachOutcome) {
    ASSERT_TRUE(vl_test::WriteFile(Path("file"), "in the way"));
    const struct {
        std::string path;
        bool result;
        std::string logged;
    } cases[] = {
        {Path("new/a/b"), true, "successfully created this folder : '" + Path("new/a/b") + "' !"},
        {"relative/x", false, "The 'relative/x' parameter was set to a relative path."},
        {Path("file/sub"), false,
         "The system cannot find the path pointed to by '" + Path("file/sub") +
             "'. The path may contain an invalid entry."},
        {"", false, "[Operations::Local::MakeFolder]empty string was gave."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Local::MakeFolder(c.path), c.result) << c.path;
        EXPECT_TRUE(Logged(c.logged)) << c.logged;
    }
    EXPECT_TRUE(Logged("[Operations::Local::MakeFolder](2)successfully created"));
    // An existing folder is no attempt at all.
    const std::size_t before = LogText().size();
    EXPECT_TRUE(Local::MakeFolder(Path("new/a")));
    EXPECT_EQ(LogText().substr(before).find("does not exist"), std::string::npos);
}

TEST_F(LocalTest, MakeFolderStepByStepNamesTheLevels) {
    SetEnv("PMX_KTV_UUID", "worker-test");  // the test harness's memory check: KTV_MEMORY_CHECK
    SetEnv("PMX_KTV_EXECTOOL", "MemoryCheck");
    Configure({});
    ::mkdir(Path("base").c_str(), 0755);
    EXPECT_TRUE(Local::MakeFolder(Path("base/a/b/")));
    struct stat info {};
    EXPECT_EQ(::stat(Path("base/a/b").c_str(), &info), 0);
    EXPECT_TRUE(Logged("[Operations::Local::MakeFolder][2]base folder to use : " + Path("base")));
    EXPECT_TRUE(Logged("[Operations::Local::MakeFolder]creating this folder :" + Path("base/a/b")));
    EXPECT_FALSE(Local::MakeFolder("relative/x"));
    EXPECT_TRUE(Logged("cannot find the first existing folder in this path : relative/x"));
    EXPECT_TRUE(Logged("Fail to create this folder (-2) : relative/x"));
}

}  // namespace
