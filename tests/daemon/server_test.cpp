// The server in-process, with requests held inside the dispatcher: the bound on request
// threads, the 503 past it, and the threads that end once the burst is over. A request is
// held where it reads the session file, which is a FIFO until the test writes to it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
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
        ASSERT_TRUE(WaitFor([] { return WinHttpServer::IsRunning(); }));
    }
    void TearDown() override {
        Release();
        if (server_.valid()) {
            EXPECT_TRUE(WinHttpServer::Stop());
            EXPECT_EQ(server_.get(), 0u);
        }
        stopPump_ = true;
        pump_.join();
        WinHttpServer::ResetForTests();
        curl_global_cleanup();
        FrontEnv::TearDown();
    }

    // Hold makes the session file a FIFO: every session query waits until Release.
    void Hold() {
        ASSERT_EQ(::mkfifo(Path("sessions.fifo").c_str(), 0600), 0);
        SetEnv("QVYLD_SESSION_FILE", Path("sessions.fifo"));
    }
    // Release feeds the FIFO, one session list per reader, until told to stop.
    void Release() {
        if (pump_.joinable()) {
            return;
        }
        pump_ = std::thread([this] {
            while (!stopPump_) {
                const int fd = ::open(Path("sessions.fifo").c_str(), O_WRONLY | O_NONBLOCK);
                if (fd < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    continue;
                }
                const std::string list = R"([{"id": 1, "user": "u1", "state": 0}])";
                [[maybe_unused]] const auto written = ::write(fd, list.data(), list.size());
                ::close(fd);
            }
        });
    }
    static bool WaitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 3000 && !done(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    CurlReply Call(CurlClient& client) const {
        return client.Fetch(
            {"POST", "http://127.0.0.1:" + std::to_string(internal_) + "/function",
             R"(version=2.6&zorvidId=page&arg={"functionName":"hold","params":{}})"});
    }

    std::uint16_t internal_ = 0;
    std::future<std::uint32_t> server_;
    std::thread pump_;
    std::atomic<bool> stopPump_{false};
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
    ASSERT_TRUE(WaitFor(
        [] { return WinHttpServer::RequestsInHand() == WinHttpServer::kMaxRequestThreads; }));
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
    EXPECT_TRUE(WaitFor([] { return WinHttpServer::ActiveRequests() <= 3; }));
    EXPECT_TRUE(Logged("[WinHttpServer::DoReceiveRequests] request refused : 503 all " +
                       std::to_string(kBound) + " request threads are busy"));
}

}  // namespace
