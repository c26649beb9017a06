// The server in-process, with a main function that holds its request: the bound on request
// threads, the 503 past it, and the threads that end once the burst is over.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "base/config.h"
#include "front/front_env.h"
#include "front/win_http_server.h"
#include "http_queue/curl_client.h"
#include "platform/http_queue.h"

namespace {

using vl_test::CurlClient;
using vl_test::CurlReply;

class ServerTest : public FrontEnv {
  protected:
    void SetUp() override {
        FrontEnv::SetUp();
        curl_global_init(CURL_GLOBAL_DEFAULT);
        WinHttpServer::ResetForTests();
        const std::uint16_t main = platform::FindFreeTcpPort();
        do {
            internal_ = platform::FindFreeTcpPort();
        } while (internal_ == main);
        WriteFile(Path("install/serv.port"), std::to_string(main) + "\n");
        WriteFile(Path("install/serv.internal.port"), std::to_string(internal_) + "\n");
        Config::Activate(ConfigId::KTV_MODE);  // plain HTTP may call functions
        Config::Activate(ConfigId::NO_NEED_SEC);
        server_ = std::async(std::launch::async, [] { return WinHttpServer::Run(); });
        for (int i = 0; i < 500 && !WinHttpServer::IsRunning(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(WinHttpServer::IsRunning());
    }
    void TearDown() override {
        Release();
        if (server_.valid()) {
            EXPECT_TRUE(WinHttpServer::Stop());
            EXPECT_EQ(server_.get(), 0u);
        }
        WinHttpServer::ResetForTests();
        curl_global_cleanup();
        FrontEnv::TearDown();
    }

    // Hold registers "hold", a main function that waits until Release.
    void Hold() {
        LaunchDaemonCore::MainFunctionEntry entry;
        entry.call = [this](const ZorvidRequestInfo&, const JSON::JSONItem&, JSON::JSONDocument&) {
            std::unique_lock lock(mutex_);
            ++inside_;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
            return 0;
        };
        LaunchDaemonCore::RegisterMainFunctionForTests("hold", entry);
    }
    bool WaitInside(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return inside_ >= count; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    CurlReply Call(CurlClient& client) const {
        return client.Fetch(
            {"POST", "http://127.0.0.1:" + std::to_string(internal_) + "/function",
             R"(version=2.6&zorvidId=page&arg={"functionName":"hold","params":{}})"});
    }

    std::uint16_t internal_ = 0;
    std::future<std::uint32_t> server_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool released_ = false;
};

TEST_F(ServerTest, RequestThreadsAreBoundedAndTheRestGet503) {
    Hold();
    constexpr int kBound = static_cast<int>(WinHttpServer::kMaxRequestThreads);
    std::vector<std::future<long>> held;
    for (int i = 0; i < kBound; ++i) {
        held.push_back(std::async(std::launch::async, [this] {
            CurlClient client;
            return Call(client).status;
        }));
    }
    ASSERT_TRUE(WaitInside(kBound));
    CurlClient extra;
    const CurlReply refused = Call(extra);
    EXPECT_EQ(refused.status, 503);
    EXPECT_TRUE(refused.HasHeader("Access-Control-Allow-Origin: *"));
    EXPECT_LE(WinHttpServer::ActiveRequests(), WinHttpServer::kMaxRequestThreads);

    Release();
    for (auto& reply : held) {
        EXPECT_EQ(reply.get(), 200);
    }
    EXPECT_EQ(Call(extra).status, 200);
    // The burst is over: all but a few spare request threads end.
    for (int i = 0; i < 500 && WinHttpServer::ActiveRequests() > 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(WinHttpServer::ActiveRequests(), 3u);
    EXPECT_TRUE(Logged("[WinHttpServer::DoReceiveRequests] request refused : 503 all " +
                       std::to_string(kBound) + " request threads are busy"));
}

}  // namespace
