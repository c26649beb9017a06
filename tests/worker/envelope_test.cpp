// The daemon's side of the exchange, against a stand-in worker whose replies the test
// chooses (the test harness's way: KTV_MODE, the worker path from the environment, and no
// user token for the session).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stop_token>
#include <string>
#include <thread>

#include "base/daemon_version.h"
#include "base/return_code.h"
#include "base/zorvid_request_info.h"
#include "front/launch_daemon_core.h"
#include "session/operations_as_user.h"
#include "session/shared_data.h"
#include "session/user_extension.h"
#include "worker_env.h"

namespace {

namespace AsUser = Operations::AsUser;

class EnvelopeTest : public worker_test::HarnessWorkerEnv {
  protected:
    void SetUp() override {
        HarnessWorkerEnv::SetUp();
        SetEnv("KTV_LAUNCHER_GUIEXE_PATH", worker_test::FakePath());
        SetEnv("VL_FAKE_REPLY", Path("reply.txt"));
    }

    void Reply(const std::string& text) {
        ASSERT_TRUE(vl_test::WriteFile(Path("reply.txt"), text));
    }

    const ZorvidRequestInfo identity_{"page-9",
                                      "TGT-1",
                                      "https://ws.invalid/decrypt",
                                      "https://ws.invalid/auth",
                                      "https://page.invalid",
                                      "1.2"};
};

TEST_F(EnvelopeTest, RepliesAreJudgedAsTheCallersExpect) {
    const struct {
        std::string reply;
        std::uint32_t result;
        std::string logged;
    } cases[] = {
        {"{\"rc\":0,\"content\":true}", 0, "result object : {\"rc\": 0, \"content\": true}"},
        {"{\"rc\":0}", 3, "JSON field [content] is missing !"},
        {"{\"content\":true}", 3, "JSON field [output] is missing !"},
        {"{\"rc\":7,\"content\":1}", 7, "Execute fail ! sub-process return code : 7"},
        {"[1,2]", 3,
         "invalid data structure returned by the sub-process ! current structure : [1, 2]"},
        {"{\"rc\":0,\"content\":\"yes\"}", 3,
         "[Operations::AsUser::CheckFile]invalid data structure returned by the sub-process ! "
         "current structure : \"yes\""},
        {"plain text", 2, "The operation does not return data !"},
        {"", 2, "[UserExtension::RunOperation]No data."},
    };
    for (const auto& c : cases) {
        Reply(c.reply);
        bool result = false;
        EXPECT_EQ(AsUser::CheckFile(identity_, "/x", 0, 0, result), c.result) << c.reply;
        EXPECT_TRUE(Logged(c.logged)) << c.reply;
        EXPECT_EQ(result, c.result == 0) << c.reply;
    }
}

// The request carries the envelope members in order, empty texts as null.
TEST_F(EnvelopeTest, RequestsCarryTheEnvelope) {
    Reply("@echo");
    std::uint32_t exitCode = 0;
    EXPECT_EQ(AsUser::ExecuteCommandAsUser(identity_, {"prog", "", "\"a b\""}, exitCode, 0, true),
              3u);  // the echo is no number
    EXPECT_TRUE(Logged("{\"op\": \"run\", \"cinfo\": {\"cId\": \"page-9\", \"cCas\": \"TGT-1\", "));
    EXPECT_TRUE(
        Logged("\"args\": {\"action\": \"Execute\", \"cmd\": [\"prog\", null, "
               "\"\\\"a b\\\"\"], \"runas\": true, \"timeout\": 0}}"));
    EXPECT_EQ(AsUser::PostMessageToWindowAsUser(identity_, "QVLauncherTray", 1035, 2, -3), 0u);
    EXPECT_TRUE(Logged("{\"op\": \"postStatus\", "));
    EXPECT_TRUE(
        Logged("\"args\": {\"wnd\": \"QVLauncherTray\", \"label\": \"1035\", "
               "\"lparam\": \"-3\", \"wparam\": \"2\"}}"));
}

TEST_F(EnvelopeTest, AHugeReplyIsReassembled) {
    const std::string text(5 << 20, 'x');
    Reply("{\"rc\":0,\"content\":\"" + text + "\"}");
    JSON::JSONDocument args;
    args.NewObject();
    JSON::ItemPtr content;
    ASSERT_EQ(AsUser::RunOperationByUserExtension(identity_, "run", args.Root(), content), 0u);
    ASSERT_TRUE(content && content->IsString());
    EXPECT_EQ(content->GetString().size(), text.size());
}

// Empty paths are refused before any worker is asked; without an active session there is
// no worker to ask.
TEST_F(EnvelopeTest, SomeRequestsNeverReachAWorker) {
    bool untouched = true;
    EXPECT_EQ(AsUser::MakeFolderAsUser(identity_, "", untouched), 0u);
    EXPECT_EQ(AsUser::CheckFile(identity_, "", 0, 0, untouched), 0u);
    EXPECT_TRUE(untouched);
    EXPECT_TRUE(Logged("[Operations::AsUser::MakeFolderAsUser]empty string was gave."));
    EXPECT_TRUE(Logged("[Operations::AsUser::CheckFile]empty string was gave."));
    EXPECT_EQ(SharedData::GetExtensionForSession(5)->GetProcessId(), 0u);
    SetSessions({{5, "vl_no_such_user", 4}});
    EXPECT_EQ(AsUser::CheckFile(identity_, "/x", 0, 0, untouched), 2u);
    EXPECT_TRUE(
        Logged("[Operations::AsUser::RunOperationByUserExtension]Fail to retrieve user "
               "Extension."));
}

// Outside the test harness a session without a user has no worker.
TEST_F(EnvelopeTest, NoTokenNoWorker) {
    if (vl_test::UnderWine()) {
        GTEST_SKIP() << "under Wine: every session has a user's token, the caller's own";
    }
    const struct {
        std::vector<std::string> options;
        std::string logged;
    } cases[] = {
        {{}, "[UserExtension::Start]Fail to retrieve user's token !"},
        {{"IGNORE_TOKEN_ERROR"}, "[UserExtension::Start] CreateProcessAsUserW failed !"},
    };
    SetEnv("PMX_KTV_UUID", std::nullopt);
    for (const auto& c : cases) {
        Configure(c.options);
        UserExtension extension(5);
        EXPECT_FALSE(extension.Start());
        EXPECT_TRUE(Logged(c.logged)) << c.logged;
        EXPECT_FALSE(extension.Stop()) << "never set up";
    }
}

// Once the client of a request has gone, nobody waits for the worker any longer: neither an
// operation asked afterwards, nor one (here the page-validation dialog that the decryption
// asks for) that the worker is still busy with.
TEST_F(EnvelopeTest, AbandonedRequestsStopWaitingForTheWorker) {
    Reply("@hang");
    constexpr const char* kAbandoned = "the client of the request has gone";
    std::stop_source gone;
    gone.request_stop();
    ZorvidRequestInfo left = identity_;
    left.SetStopToken(gone.get_token());
    bool result = false;
    EXPECT_EQ(AsUser::CheckFile(left, "/x", 0, 0, result), 2u);
    EXPECT_TRUE(Logged(kAbandoned));
    EXPECT_FALSE(Logged("waiting for sub-process's reply")) << "nothing was sent";

    std::stop_source leaving;
    auto answer = std::async(std::launch::async, [&leaving] {
        return LaunchDaemonCore::HandleRequest(
            "function", "",
            "version=" + DaemonVersion::GetCurrentDaemonLevel().ToString() +
                "&zorvidId=page-9&castgc=TGT-1&cryptws=https://ws.invalid/decrypt&arg=x",
            "POST", true, leaving.get_token());
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!Logged("waiting for sub-process's reply") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    leaving.request_stop();
    const std::future_status status = answer.wait_for(std::chrono::seconds(30));
    if (status != std::future_status::ready) {
        SharedData::Stop();  // ends the wait, so that the test ends too
    }
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_NE(answer.get().find("\"returnCode\": " +
                                std::to_string(ReturnCode::RC_ARGUMENT_DECRYPTION_FAILED)),
              std::string::npos);
    EXPECT_NE(LogText().find(kAbandoned), LogText().rfind(kAbandoned)) << "logged twice";
}

TEST_F(EnvelopeTest, TheHarnessStopsItsWorkerWithStop) {
    UserExtension extension(5);
    ASSERT_TRUE(extension.Start());
    const std::uint32_t pid = extension.GetProcessId();
    ASSERT_TRUE(extension.Kill());
    EXPECT_TRUE(worker_test::WaitUntilGone(pid));
    EXPECT_TRUE(Logged("[UserExtension::Kill] Try to write stop signal to UserExtension[5]..."));
    EXPECT_TRUE(extension.Stop());
}

}  // namespace
