// The real worker, started for a throwaway user's session and spoken to through its pipe.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "base/zorvid_request_info.h"
#include "platform/sys_error.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/shared_data.h"
#include "session/user_extension.h"
#include "worker_env_posix.h"

namespace {

namespace AsUser = Operations::AsUser;

class UserWorkerTest : public worker_test::PosixWorkerEnv {
  protected:
    void SetUp() override {
        PosixWorkerEnv::SetUp();
        UserExtension::ResetForTests();
        for (auto* user : {&user_, &other_}) {
            if (const std::string why = MakeUser(*user); !why.empty()) {
                GTEST_SKIP() << why;
            }
        }
        SetSessions({{7, user_.Name()}, {8, other_.Name(), 4}});
        const passwd* entry = ::getpwnam(user_.Name().c_str());
        ASSERT_NE(entry, nullptr);
        uid_ = entry->pw_uid;
        gid_ = entry->pw_gid;
        home_ = entry->pw_dir;
    }

    void TearDown() override {
        PosixWorkerEnv::TearDown();
        UserExtension::ResetForTests();
    }

    // Worker is the session's worker, started by a first operation.
    std::shared_ptr<UserExtension> Worker() {
        bool exists = false;
        EXPECT_EQ(AsUser::CheckFile(identity_, "/", 0, 0, exists), 0u);
        return SharedData::GetExtensionForSession(7);
    }

    // UserFolder is a folder owned by the user.
    std::string UserFolder(const std::string& leaf) {
        const std::string path = Path(leaf);
        ::mkdir(path.c_str(), 0755);
        EXPECT_EQ(::chown(path.c_str(), uid_, gid_), 0);
        return path;
    }

    // Endpoints lists the pipe and window sockets left in the user's runtime folder.
    std::vector<std::string> Endpoints() {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(RuntimeFolder(uid_).c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.find(".pipe") != std::string::npos ||
                    name.find(".wnd") != std::string::npos) {
                    names.push_back(name);
                }
            }
            ::closedir(dir);
        }
        return names;
    }

    sessions_test::ThrowawayUser user_;
    sessions_test::ThrowawayUser other_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    std::string home_;
    const ZorvidRequestInfo identity_{"page-1"};
};

TEST_F(UserWorkerTest, RunsAsTheSessionUserAndOnlyTheyCanReachIt) {
    const auto worker = Worker();
    const std::uint32_t pid = worker->GetProcessId();
    ASSERT_NE(pid, 0u);
    const std::string uid = std::to_string(uid_);
    EXPECT_EQ(worker_test::ProcStatusField(pid, "Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    const group* extra = ::getgrnam(user_.Group().c_str());
    ASSERT_NE(extra, nullptr);
    EXPECT_NE(worker_test::ProcStatusField(pid, "Groups").find(std::to_string(extra->gr_gid)),
              std::string::npos);
    const std::string environment = worker_test::ProcFile(pid, "environ");
    EXPECT_NE(environment.find(std::string("HOME=") + home_ + '\0'), std::string::npos);

    const std::string pipe = worker->GetPipeName();
    EXPECT_EQ(pipe.rfind("\\\\.\\pipe\\userExt_7_", 0), 0u) << pipe;
    EXPECT_EQ(RunAs(8, {worker_test::FakePath(), "connect", pipe, "7"}),
              platform::SysError::ACCESS_DENIED);
}

// checkFile answers with the user's rights, not the daemon's.
TEST_F(UserWorkerTest, CheckFileSeesWhatTheUserSees) {
    ASSERT_TRUE(vl_test::WriteFile(Path("secret"), "root only"));
    ASSERT_TRUE(vl_test::WriteFile(Path("public"), "everyone"));
    ::chmod(Path("secret").c_str(), 0600);
    ::chmod(Path("public").c_str(), 0644);
    using Companions::kCheckKindFile;
    using Companions::kCheckKindFolder;
    const struct {
        std::string path;
        std::int32_t kind;
        std::int32_t access;
        bool expected;
    } cases[] = {
        {Path("secret"), kCheckKindFile, 0, true},   // visible...
        {Path("secret"), kCheckKindFile, 4, false},  // ...but not readable
        {Path("public"), kCheckKindFile, 4, true},
        {Path("public"), kCheckKindFile, 2, false},
        {Path("public"), kCheckKindFolder, 0, false},
        {Path(""), kCheckKindFolder, 4, true},
        {Path("missing"), 0, 0, false},
    };
    for (const auto& c : cases) {
        bool result = !c.expected;
        EXPECT_EQ(AsUser::CheckFile(identity_, c.path, c.kind, c.access, result), 0u) << c.path;
        EXPECT_EQ(result, c.expected) << c.path << " " << c.kind << "/" << c.access;
    }
}

TEST_F(UserWorkerTest, FoldersAreMadeWithTheUsersRights) {
    const std::string mine = UserFolder("mine");
    bool exists = false;
    ASSERT_EQ(AsUser::MakeFolderAsUser(identity_, mine + "/a/b", exists), 0u);
    EXPECT_TRUE(exists);
    struct stat info {};
    ASSERT_EQ(::stat((mine + "/a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, uid_);

    ::mkdir(Path("roots").c_str(), 0755);
    ASSERT_EQ(AsUser::MakeFolderAsUser(identity_, Path("roots/a"), exists), 0u);
    EXPECT_FALSE(exists);

    // The folder table creates "as the user" through the same worker.
    SharedData::InstallFolderCreation();
    ASSERT_TRUE(FileAndFoldersManager::SetFolder(Folder::ICON, {0, mine, "icons"}, true, 7));
    ASSERT_EQ(::stat((mine + "/icons").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, uid_);
}

// A command nobody waits for (the start tool, the tray) is handed over to the user's session
// and outlives the worker and the daemon's stop; a command that is waited for (a setup
// program) belongs to the operation and ends with the worker's group.
TEST_F(UserWorkerTest, OnlyCommandsNobodyWaitsForOutliveTheDaemonsStop) {
    const std::string folder = UserFolder("out");
    for (const std::int32_t timeoutMs : {0, 60000}) {
        const std::string pidFile = folder + "/pid" + std::to_string(timeoutMs);
        const std::vector<std::string> command = {"/bin/sh", "-c",
                                                  "\"echo $$ > " + pidFile + "; exec sleep 300\""};
        auto run = std::async(std::launch::async, [&] {
            std::uint32_t exitCode = 0;
            return AsUser::ExecuteCommandAsUser(identity_, command, exitCode, timeoutMs, false);
        });
        ASSERT_TRUE(sessions_test::WaitForFile(pidFile)) << timeoutMs;
        const auto pid = static_cast<std::uint32_t>(std::stoi(vl_test::ReadFile(pidFile)));
        const std::uint32_t worker = SharedData::GetExtensionForSession(7)->GetProcessId();
        EXPECT_EQ(worker_test::ProcStatusField(pid, "Uid").substr(0, std::to_string(uid_).size()),
                  std::to_string(uid_));
        EXPECT_EQ(::getsid(static_cast<pid_t>(pid)) == ::getsid(static_cast<pid_t>(worker)),
                  timeoutMs != 0);

        SharedData::Stop();  // what the daemon's stop does
        run.wait();
        EXPECT_FALSE(worker_test::IsAlive(worker));
        EXPECT_EQ(worker_test::IsAlive(pid), timeoutMs == 0) << timeoutMs;
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

TEST_F(UserWorkerTest, KillPostsTheQuitMessage) {
    const auto worker = Worker();
    const std::uint32_t pid = worker->GetProcessId();
    EXPECT_EQ(Endpoints().size(), 2u);
    ASSERT_TRUE(worker->Kill());
    EXPECT_FALSE(worker_test::IsAlive(pid));
    EXPECT_TRUE(Logged("[UserExtension::Stop]Successfully Stopped UserExtension[7]"));
    EXPECT_FALSE(Logged("use TerminateJobObject"));
    EXPECT_EQ(worker->GetExitCode(), 0);
    EXPECT_TRUE(Endpoints().empty()) << "the worker removes its pipe and window";
    EXPECT_TRUE(worker->Stop());
}

// A worker that the quit message does not reach is ended through its group.
TEST_F(UserWorkerTest, KillFallsBackToTheGroup) {
    const auto worker = Worker();
    const std::uint32_t pid = worker->GetProcessId();
    const std::string window =
        RuntimeFolder(uid_) + "/" + Companions::kWorkerWindowClass + "@7.wnd";
    ASSERT_EQ(::unlink(window.c_str()), 0);
    ASSERT_TRUE(worker->Kill());
    EXPECT_FALSE(worker_test::IsAlive(pid));
    EXPECT_TRUE(Logged("sub-process join operation has timed out."));
    EXPECT_TRUE(Logged("[UserExtension::Kill] use TerminateJobObject to kill sub-process"));
    SharedData::Stop();
    EXPECT_TRUE(Endpoints().empty()) << "the killed worker's pipe is discarded";
}

}  // namespace
