// What keeps a user's pipes and windows theirs on POSIX: stale sockets, folder and peer
// checks against another local user.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "platform/message_pipe.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "worker_env_posix.h"

namespace {

using platform::RuntimeOwner;
namespace SysError = platform::SysError;

constexpr const char* kPipe = "\\\\.\\pipe\\endpoint_test";

class StalePipeTest : public worker_test::PosixWorkerEnv {
  protected:
    void SetUp() override {
        PosixWorkerEnv::SetUp();
        ASSERT_EQ(platform::PrepareRuntimeFolder(RuntimeOwner::Self()), 0u);
    }
};

// A pipe name is taken only from a listener that has gone; a live one keeps it.
TEST_F(StalePipeTest, OnlyStalePipesAreReplaced) {
    platform::PipeListener first;
    ASSERT_EQ(first.Create(kPipe), 0u);
    platform::PipeListener second;
    EXPECT_EQ(second.Create(kPipe), SysError::ALREADY_EXISTS);

    // A socket bound and abandoned without removal, as a killed program leaves it.
    const std::string path = RuntimeFolder(0) + "/endpoint_test.pipe";
    first.Close();
    struct stat info {};
    EXPECT_NE(::stat(path.c_str(), &info), 0) << "a closed listener removes its pipe";
    const auto abandon = [&] {
        const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    };
    abandon();
    platform::DiscardStalePipe(kPipe, RuntimeOwner::Self());
    EXPECT_NE(::stat(path.c_str(), &info), 0) << "a stale pipe is discarded";
    abandon();
    EXPECT_EQ(second.Create(kPipe), 0u) << "a new listener takes a stale name over";
    platform::DiscardStalePipe(kPipe, RuntimeOwner::Self());
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << "a live pipe is never discarded";
}

// Another local user can neither connect to a user's pipe nor post to its windows, and the
// daemon refuses a pipe that someone other than the session's user serves.
class EndpointUsersTest : public worker_test::PosixWorkerEnv {
  protected:
    void SetUp() override {
        PosixWorkerEnv::SetUp();
        for (auto* user : {&owner_, &intruder_}) {
            if (const std::string why = MakeUser(*user); !why.empty()) {
                GTEST_SKIP() << why;
            }
        }
        SetSessions({{7, owner_.Name()}, {8, intruder_.Name(), 4}});
        ASSERT_EQ(platform::PrepareRuntimeFolder(RuntimeOwner::Self()), 0u);
        ASSERT_EQ(platform::PrepareRuntimeFolder(RuntimeOwner::SessionUser(7)), 0u);
        ASSERT_EQ(platform::RuntimeFolderPath(RuntimeOwner::SessionUser(7), folder_), 0u);
    }

    sessions_test::ThrowawayUser owner_;
    sessions_test::ThrowawayUser intruder_;
    std::string folder_;
};

TEST_F(EndpointUsersTest, UsersFolderIsTheirsAlone) {
    struct stat info {};
    ASSERT_EQ(::stat(folder_.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, ::getpwnam(owner_.Name().c_str())->pw_uid);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    // A root-served impostor in the user's folder: the daemon must not talk to it.
    const std::string path = folder_ + "/impostor.pipe";
    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    platform::PipeConnection client;
    EXPECT_EQ(platform::ConnectPipe("\\\\.\\pipe\\impostor", RuntimeOwner::SessionUser(7), client),
              SysError::ACCESS_DENIED);
    ::close(listener);

    // The intruder, as itself, tries the owner's pipe and window.
    const std::string fake = worker_test::FakePath();
    EXPECT_EQ(RunAs(8, {fake, "connect", "\\\\.\\pipe\\impostor", "7"}), SysError::ACCESS_DENIED);
    EXPECT_EQ(RunAs(8, {fake, "post", folder_ + "/SomeWindow.wnd"}), SysError::ACCESS_DENIED);
}

// Even with the folder opened up by mistake, a pipe refuses a client that runs as another
// user, while it accepts its own user.
TEST_F(EndpointUsersTest, PipesRefuseClientsOfOtherUsers) {
    SetSessions({{7, owner_.Name()}, {8, intruder_.Name(), 4}, {9, "root", 4}});
    const std::string name = "\\\\.\\pipe\\PeerCheckTest";
    platform::PipeListener listener;
    ASSERT_EQ(listener.Create(name), 0u);  // ours: root's folder
    const std::string root = RuntimeFolder(0);
    ::chmod(root.c_str(), 0777);
    ::chmod((root + "/PeerCheckTest.pipe").c_str(), 0666);

    platform::PipeConnection self;
    ASSERT_EQ(platform::ConnectPipe(name, RuntimeOwner::Self(), self), 0u);
    platform::PipeConnection accepted;
    EXPECT_EQ(listener.Accept(accepted), 0u);

    auto refused = std::async(std::launch::async, [&] {
        platform::PipeConnection connection;
        return listener.Accept(connection);
    });
    EXPECT_EQ(RunAs(8, {worker_test::FakePath(), "connect", name, "9"}), 0u)
        << "the intruder reaches the opened-up pipe";
    if (refused.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        listener.Interrupt();
    }
    EXPECT_EQ(refused.get(), SysError::ACCESS_DENIED);
}

// Even with the folder opened up by mistake, a window drops what another user posts.
TEST_F(EndpointUsersTest, WindowsDropPostsFromOtherUsers) {
    platform::MessageWindow window;
    ASSERT_EQ(window.Create("EndpointTestWindow"), 0u);  // ours: root's folder
    const std::string root = RuntimeFolder(0);
    ::chmod(root.c_str(), 0777);
    ::chmod((root + "/EndpointTestWindow.wnd").c_str(), 0666);
    EXPECT_EQ(RunAs(8, {worker_test::FakePath(), "post", root + "/EndpointTestWindow.wnd"}), 0u);
    platform::WindowRef self;
    ASSERT_EQ(platform::FindMessageWindow("EndpointTestWindow", RuntimeOwner::Self(), self), 0u);
    ASSERT_EQ(platform::PostWindowMessage(self, {7, 0, 0}), 0u);
    platform::WindowMessage message;
    ASSERT_EQ(window.Receive(message), 0u);
    EXPECT_EQ(message.message, 7u) << "the intruder's 1049 must have been dropped";
}

}  // namespace
