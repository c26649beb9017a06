// The tray channel: tray messages over the real pipe, the session and association tables,
// the access rule, and bad input.
#include <gtest/gtest.h>
#include <pwd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/zorvid_request_info.h"
#include "platform/sessions.h"
#include "session/user_extension.h"
#include "tray_env.h"

namespace {

using tray_test::Eventually;
using tray_test::Send;

class ChannelTest : public tray_test::TrayEnv {
  protected:
    std::uint32_t SessionOf(const std::string& page) {
        std::uint32_t session = 0;
        return SharedData::FindSession(ZorvidRequestInfo{page}, session) ? session : 0;
    }
};

TEST_F(ChannelTest, TrayMessagesBindRebindAndCloseSessions) {
    Harness();
    SetSessions({{5, "vl_tray_a"}, {6, "vl_tray_a", 4}});
    ASSERT_TRUE(SharedData::Start());

    ASSERT_EQ(Send("{\"sID\": 5}"), 0u);
    ASSERT_TRUE(WaitLogged("Set default association to : re_ZERO_NO_ZORVID_ID>5"));
    // A page never seen takes the standby session, which is then bound to it.
    ASSERT_NE(SharedData::GetExtension(ZorvidRequestInfo{"page-new"}), nullptr);
    EXPECT_EQ(SessionOf("page-new"), 5u);
    EXPECT_TRUE(Logged("found but existing session in standby on [5]"));

    ASSERT_EQ(Send("{\"sessionID\": 6, \"uuid\": \"page-1\"}"), 0u);
    ASSERT_TRUE(Eventually([&] { return SessionOf("page-1") == 6; }));
    const std::shared_ptr<UserExtension> sixth = SharedData::GetExtensionForSession(6);
    EXPECT_TRUE(sixth->IsRunning());
    ASSERT_EQ(Send("{\"sessionID\": 5, \"uuid\": \"page-1\"}"), 0u);
    ASSERT_TRUE(Eventually([&] { return SessionOf("page-1") == 5; }));

    ASSERT_EQ(Send("{\"sessionID\": 6, \"uuid\": \"page-2\"}"), 0u);
    ASSERT_TRUE(Eventually([&] { return SessionOf("page-2") == 6; }));
    ASSERT_EQ(Send("{\"closingSession\": 6}"), 0u);
    // Its associations go; the page is served by the active session again.
    ASSERT_TRUE(Eventually([&] { return SessionOf("page-2") == 5; }));
    EXPECT_EQ(SessionOf("page-1"), 5u);
    const std::uint32_t pid = sixth->GetProcessId();
    EXPECT_NE(SharedData::GetExtensionForSession(6), sixth);
    sixth->Stop();
    EXPECT_TRUE(worker_test::WaitUntilGone(pid));
}

TEST_F(ChannelTest, AUserSwitchMovesThePageToTheNewActiveSession) {
    Harness();
    SetSessions({{5, "vl_tray_a"}, {6, "vl_tray_b", 4}});
    ASSERT_NE(SharedData::GetExtension(ZorvidRequestInfo{"page-3"}), nullptr);
    EXPECT_EQ(SessionOf("page-3"), 5u);
    SetSessions({{5, "vl_tray_a", 4}, {6, "vl_tray_b"}});
    ASSERT_NE(SharedData::GetExtension(ZorvidRequestInfo{"page-3"}), nullptr);
    EXPECT_EQ(SessionOf("page-3"), 6u);
    EXPECT_TRUE(
        Logged("[SharedData::GetExtension]the resolved sessionID[5] does not match the "
               "current active one [6] !"));
    // Nobody in front and nothing known: no worker.
    SetSessions({{5, "vl_tray_a", 4}});
    EXPECT_EQ(SharedData::GetExtension(ZorvidRequestInfo{"page-4"}), nullptr);
    EXPECT_TRUE(Logged("{CRITICAL}Cannot found a valid session to start the user's extention."));
}

TEST_F(ChannelTest, UsersMaySpeakOnlyForTheirOwnSessions) {
    SetSessions({{5, "alice"}, {6, "alice", 4}, {7, "bob"}});
    const platform::PeerIdentity alice{"alice", false, 100};
    const platform::PeerIdentity carol{"carol", false, 101};
    const platform::PeerIdentity root{"root", true, 1};
    const struct {
        platform::PeerIdentity peer;
        std::string message;
        std::string logged;
    } cases[] = {
        {alice, R"({"closingSession": 5})", "binded to this session ID : 5"},
        {alice, R"({"closingSession": 6})", "binded to this session ID : 6"},
        {root, R"({"closingSession": 7})", "binded to this session ID : 7"},
        {alice, R"({"closingSession": 7})", "session 7 is not a session of this user"},
        {alice, R"({"sID": 6})", "session 6 is not active"},
        {alice, R"({"sessionID": 7, "uuid": "page-x"})", "session 7 is not a session of this"},
        {carol, R"({"sID": 5})", "Refused from user 'carol'"},
        {alice, R"({"closingSession": 9})", "no such session : 9"},
        {alice, R"({"targetItem": "TEMP", "path": "/tmp/x"})", "may move the daemon's folders"},
        {alice, R"({"sessionID": 3})", "Unknown operation data : {\"sessionID\": 3}"},
        {alice, "not json", "Unknown operation data : not json"},
        {alice, "[1]", "Unknown operation data : [1]"},
    };
    for (const auto& c : cases) {
        SharedData::HandleTrayMessage(c.message, c.peer);
        EXPECT_TRUE(Logged(c.logged)) << c.message;
    }
}

TEST_F(ChannelTest, BadInputIsRefusedAndTheChannelGoesOn) {
    SetSessions({{5, "vl_tray_a"}});
    ASSERT_TRUE(SharedData::Start());
    EXPECT_EQ(Send("{\"sID\": \"" + std::string(5000, 'x') + "\"}"), 0u);
    EXPECT_TRUE(WaitLogged("message longer than 4096 bytes refused, from user 'root'"));
    {
        platform::PipeConnection silent;
        ASSERT_EQ(platform::ConnectSharedPipe(Companions::kTrayPipeName, silent), 0u);
        EXPECT_TRUE(WaitLogged("client wrote nothing in time, from user 'root'"));
    }
    std::atomic<int> sent{0};
    std::vector<std::thread> flood;
    for (int t = 0; t < 4; ++t) {
        flood.emplace_back([&sent] {
            for (int i = 0; i < 2500; ++i) {
                sent += Send("{\"flood\": " + std::to_string(i) + "}") == 0 ? 1 : 0;
            }
        });
    }
    for (std::thread& thread : flood) {
        thread.join();
    }
    EXPECT_EQ(sent.load(), 10000);
    ASSERT_EQ(Send("{\"closingSession\": 41}"), 0u);
    EXPECT_TRUE(WaitLogged("No User Extension currently registred for this session : 41"));
}

TEST_F(ChannelTest, ThePeerIsWhoTheKernelSays) {
    sessions_test::ThrowawayUser user;
    if (const std::string why = MakeUser(user); !why.empty()) {
        GTEST_SKIP() << why;
    }
    SetSessions({{5, user.Name()}, {6, "vl_tray_b", 4}});
    ASSERT_TRUE(SharedData::Start());
    const std::string socket = Path("run/qvy_launcher_pipe.pipe");
    // A plain client speaking the pipe's packet format: one flag byte, then the message.
    const std::string client =
        "import socket,sys\n"
        "s=socket.socket(socket.AF_UNIX,socket.SOCK_SEQPACKET)\n"
        "s.connect(sys.argv[1]); s.send(b'\\0'+sys.argv[2].encode())\n";
    EXPECT_EQ(RunAs(5, {"python3", "-c", client, socket, R"({"closingSession": 6})"}), 0u);
    EXPECT_TRUE(WaitLogged("Refused from user '" + user.Name() + "'"));
    EXPECT_EQ(RunAs(5, {"python3", "-c", client, socket, R"({"closingSession": 5})"}), 0u);
    EXPECT_TRUE(WaitLogged("No User Extension currently registred for this session : 5"));
}

}  // namespace
