#include "platform/http_queue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "http_queue/curl_client.h"
#include "platform/sys_error.h"
#include "support/test_support.h"

namespace {

namespace SysError = platform::SysError;
using platform::HttpQueueOptions;
using platform::HttpRequest;
using platform::HttpRequestQueue;
using vl_test::CurlCall;
using vl_test::CurlClient;
using vl_test::CurlReply;

constexpr const char* kDomain = "vl.test";

// Seen is what the echo loop learnt about one request.
struct Seen {
    std::string verb;
    int verbCode = 0;
    int versionMajor = 0;
    int versionMinor = 0;
    std::string fullUrl;
    std::string absPath;
    platform::HttpLocalAddress local;
    std::uint64_t connectionId = 0;
    bool moreEntityBody = false;
    std::size_t chunks = 0;
    std::string body;
};

std::string Pattern(std::size_t size) {
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    }
    return text;
}

class HttpQueueTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        files_ = std::make_unique<vl_test::TempDir>();
        const std::string make =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
            " -nodes -days 2 -subj /CN=vl.test -addext subjectAltName=DNS:vl.test"
            " -keyout " +
            Key() + " -out " + Cert() + " 2>/dev/null";
        const std::string other =
            "openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:prime256v1"
            " -out " +
            files_->Path("other.pem") + " 2>/dev/null";
        ASSERT_EQ(std::system(make.c_str()), 0);
        ASSERT_EQ(std::system(other.c_str()), 0);
    }
    static void TearDownTestSuite() { files_.reset(); }
    static std::string Cert() { return files_->Path("cert.pem"); }
    static std::string Key() { return files_->Path("key.pem"); }

    void SetUp() override {
        options_.certificateFile = Cert();
        options_.privateKeyFile = Key();
        options_.onRefusal = [this](const platform::HttpRefusal& refusal) {
            std::lock_guard lock(seenMutex_);
            refusals_.push_back(refusal.status);
        };
    }
    void TearDown() override { StopEcho(); }

    // Start makes the queue with options_ and registers both prefixes.
    void Start() {
        std::uint32_t error = 0;
        queue_ = HttpRequestQueue::Create(options_, error);
        ASSERT_TRUE(queue_) << error;
        httpPort_ = platform::FindFreeTcpPort();
        do {
            httpsPort_ = platform::FindFreeTcpPort();
        } while (httpsPort_ == httpPort_);
        ASSERT_EQ(queue_->AddUrl(HttpPrefix()), SysError::SUCCESS);
        ASSERT_EQ(queue_->AddUrl(HttpsPrefix()), SysError::SUCCESS);
    }

    std::string HttpPrefix() const { return "http://127.0.0.1:" + std::to_string(httpPort_) + "/"; }
    std::string HttpsPrefix() const {
        return "https://" + std::string(kDomain) + ":" + std::to_string(httpsPort_) + "/";
    }
    std::string Url(bool https, const std::string& target) const {
        return (https ? HttpsPrefix() : HttpPrefix()) + target.substr(1);
    }
    std::unique_ptr<CurlClient> Client() const {
        auto client = std::make_unique<CurlClient>(Cert());
        client->Resolve(kDomain, httpsPort_);
        return client;
    }

    // StartEcho answers every request from a thread of its own, as the daemon's loop does:
    // the body read in pieces, "echo:" + body as the answer, 505 for anything but 1.1.
    void StartEcho() {
        echo_ = std::thread([this] {
            std::unique_ptr<HttpRequest> request;
            while (queue_->ReceiveRequest(request) == SysError::SUCCESS) {
                Seen seen;
                seen.verb = request->Verb();
                seen.verbCode = request->VerbCode();
                seen.versionMajor = request->VersionMajor();
                seen.versionMinor = request->VersionMinor();
                seen.fullUrl = request->FullUrl();
                seen.absPath = request->AbsPath();
                seen.local = request->LocalAddress();
                seen.connectionId = request->ConnectionId();
                seen.moreEntityBody = request->MoreEntityBody();
                std::string chunk;
                for (std::uint32_t rc = SysError::SUCCESS; seen.moreEntityBody && rc == 0;) {
                    rc = queue_->ReceiveEntityBody(*request, chunk);
                    EXPECT_LE(chunk.size(), 2048u);
                    seen.chunks += chunk.empty() ? 0 : 1;
                    seen.body += chunk;
                }
                const bool v11 = seen.versionMajor == 1 && seen.versionMinor == 1;
                const std::string answer = "echo:" + seen.body;
                {
                    std::lock_guard lock(seenMutex_);
                    seen_.push_back(std::move(seen));
                }
                queue_->SendResponse(*request, v11 ? 200 : 505,
                                     v11 ? "OK" : "HTTP Version not supported",
                                     {{"Access-Control-Allow-Origin", "*"}}, answer);
            }
        });
    }
    void StopEcho() {
        if (queue_) {
            queue_->Shutdown();
        }
        if (echo_.joinable()) {
            echo_.join();
        }
    }
    std::vector<Seen> SeenSoFar() {
        std::lock_guard lock(seenMutex_);
        return seen_;
    }
    std::vector<int> RefusalsSoFar() {
        std::lock_guard lock(seenMutex_);
        return refusals_;
    }
    // Exchange sends bytes on a connection of its own and reads until the server closes it;
    // "(open)" is appended when it stays open.
    std::string Exchange(const std::string& bytes) const {
        vl_test::RawConnection raw(httpPort_);
        std::string received;
        if (!raw.Send(bytes) || !raw.ReadUntilClosed(received)) {
            received += "(open)";
        }
        return received;
    }
    std::string Host() const { return "Host: 127.0.0.1:" + std::to_string(httpPort_) + "\r\n"; }

    static inline std::unique_ptr<vl_test::TempDir> files_;
    HttpQueueOptions options_;
    std::unique_ptr<HttpRequestQueue> queue_;
    std::uint16_t httpPort_ = 0;
    std::uint16_t httpsPort_ = 0;
    std::thread echo_;
    std::mutex seenMutex_;
    std::vector<Seen> seen_;
    std::vector<int> refusals_;
};

// WaitForStop is true once token is stopped, false when it still is not after limit.
bool WaitForStop(const std::stop_token& token, std::chrono::milliseconds limit) {
    std::promise<void> stopped;
    const std::stop_callback signal(token, [&stopped] { stopped.set_value(); });
    return stopped.get_future().wait_for(limit) == std::future_status::ready;
}

TEST_F(HttpQueueTest, RequestsAndAnswersTravelOverBothSchemes) {
    Start();
    StartEcho();
    struct Case {
        bool https;
        std::string verb, target, body;
        int verbCode;
    };
    const Case cases[] = {
        {false, "GET", "/getVersion?zorvidId=7", "", 4},
        {true, "GET", "/getVersion?zorvidId=7", "", 4},
        {false, "POST", "/function", "functionName=startZ5", 6},
        {true, "POST", "/function", "functionName=startZ5", 6},
        {true, "HEAD", "/iframe", "", 5},
        // Other verbs keep their text and their table code (1: not in the table).
        {false, "OPTIONS", "/x", "", 3},
        {false, "DELETE", "/x", "", 8},
        {false, "TRACK", "/x", "", 11},
        {false, "SEARCH", "/x", "", 19},
        {false, "BREW", "/x", "", 1},
    };
    auto client = Client();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verb + (c.https ? " https" : " http"));
        const CurlReply reply = client->Fetch({c.verb, Url(c.https, c.target), c.body});
        ASSERT_EQ(reply.code, CURLE_OK);
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
        EXPECT_TRUE(reply.HasHeader("Access-Control-Allow-Origin: *"));
        EXPECT_TRUE(reply.HasHeader("Content-Length: " + std::to_string(5 + c.body.size())));
        EXPECT_FALSE(reply.HasHeaderNamed("Content-Type"));
        EXPECT_EQ(reply.body, c.verb == "HEAD" ? "" : "echo:" + c.body);

        const Seen seen = SeenSoFar().back();
        EXPECT_EQ(seen.verb, c.verb);
        EXPECT_EQ(seen.verbCode, c.verbCode);
        EXPECT_EQ(seen.versionMajor * 10 + seen.versionMinor, 11);
        EXPECT_EQ(seen.fullUrl, Url(c.https, c.target));
        EXPECT_EQ(seen.absPath, c.target);
        EXPECT_EQ(seen.local.family, 4);
        EXPECT_EQ(seen.local.text, "127.0.0.1");
        EXPECT_EQ(seen.body, c.body);
    }
}

TEST_F(HttpQueueTest, NamedPrefixAlsoListensOnIPv6Loopback) {
    Start();
    StartEcho();
    CurlClient client(Cert());
    client.Resolve(kDomain, httpsPort_, "[::1]");
    const CurlReply reply = client.Fetch({"GET", Url(true, "/getVersion")});
    if (reply.code == CURLE_COULDNT_CONNECT) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(SeenSoFar().back().local.family, 6);
    EXPECT_EQ(SeenSoFar().back().local.text, "::1");
}

TEST_F(HttpQueueTest, KeepAliveServesSeveralRequestsOnOneConnection) {
    Start();
    StartEcho();
    for (const bool https : {false, true}) {
        auto client = Client();
        for (int i = 0; i < 3; ++i) {
            const CurlReply reply = client->Fetch({"POST", Url(https, "/function"), "n=1"});
            ASSERT_EQ(reply.status, 200);
            EXPECT_EQ(reply.newConnections, i == 0 ? 1 : 0);
        }
        const auto seen = SeenSoFar();
        EXPECT_EQ(seen[seen.size() - 1].connectionId, seen[seen.size() - 3].connectionId);
    }
}

TEST_F(HttpQueueTest, BodyArrivesWholeInPiecesOfAtMost2048Bytes) {
    Start();
    StartEcho();
    auto client = Client();
    for (const bool chunked : {false, true}) {
        for (const std::size_t size : {1u, 2048u, 2049u, 70000u}) {
            SCOPED_TRACE(std::to_string(size) + (chunked ? " chunked" : " sized"));
            const std::string body = Pattern(size);
            CurlCall call{"POST", Url(true, "/function"), body};
            call.chunked = chunked;
            const CurlReply reply = client->Fetch(call);
            ASSERT_EQ(reply.status, 200);
            const Seen seen = SeenSoFar().back();
            EXPECT_TRUE(seen.moreEntityBody);
            EXPECT_EQ(seen.chunks, (size + 2047) / 2048);
            EXPECT_EQ(seen.body, body);
        }
    }
    ASSERT_EQ(client->Fetch({"POST", Url(false, "/function"), ""}).status, 200);
    EXPECT_FALSE(SeenSoFar().back().moreEntityBody);
}

TEST_F(HttpQueueTest, Http10RequestReachesTheQueueAndEndsItsConnection) {
    Start();
    StartEcho();
    auto client = Client();
    CurlCall call{"GET", Url(false, "/getVersion")};
    call.httpVersion = CURL_HTTP_VERSION_1_0;
    const CurlReply old = client->Fetch(call);
    EXPECT_EQ(old.statusLine, "HTTP/1.1 505 HTTP Version not supported");
    EXPECT_EQ(SeenSoFar().back().versionMajor * 10 + SeenSoFar().back().versionMinor, 10);
    EXPECT_EQ(client->Fetch({"GET", Url(false, "/getVersion")}).newConnections, 1);
}

TEST_F(HttpQueueTest, RefusedRequestsAreAnsweredClosedAndReported) {
    options_.maxBodyBytes = 4096;
    Start();
    StartEcho();
    const std::string host = Host();
    const std::string post = "POST /function HTTP/1.1\r\n" + host;
    const struct {
        std::string request;
        int status;
    } cases[] = {
        {"GET x HTTP/1.1\r\n" + host + "\r\n", 400},
        {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", 400},
        {"CONNECT vl.test:443 HTTP/1.1\r\nHost: vl.test:443\r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\nHost: \r\n\r\n", 400},
        {"GET /x HTTP/1.1\r\n" + host + host + "\r\n", 400},
        {"GET /x HTTP/1.1\r\nHost: rebound.example:" + std::to_string(httpPort_) + "\r\n\r\n", 400},
        {"GET /a%zz HTTP/1.1\r\n" + host + "\r\n", 400},
        {"GET /a%00b HTTP/1.1\r\n" + host + "\r\n", 400},
        {post + "Transfer-Encoding: gzip\r\n\r\nxyz", 400},
        {post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
        {post + "Content-Length: 5000\r\n\r\n" + Pattern(5000), 413},
        {post + "Transfer-Encoding: chunked\r\n\r\n1388\r\n" + Pattern(5000) + "\r\n0\r\n\r\n",
         413},
        {"GET /x HTTP/1.1\r\n" + host + "X-Big: " + Pattern(20000) + "\r\n\r\n", 431},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        const std::size_t before = RefusalsSoFar().size();
        const std::string received = Exchange(c.request);
        EXPECT_EQ(received.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << received;
        EXPECT_EQ(received.find("(open)"), std::string::npos);
        const auto refusals = RefusalsSoFar();
        ASSERT_EQ(refusals.size(), before + 1);
        EXPECT_EQ(refusals.back(), c.status);
    }
    EXPECT_EQ(Client()->Fetch({"POST", Url(false, "/function"), Pattern(4096)}).status, 200);
    EXPECT_EQ(SeenSoFar().size(), 1u);
}

TEST_F(HttpQueueTest, PathIsDecodedAndResolvedAndAWholeUrlNamesItsHost) {
    Start();
    StartEcho();
    const std::string port = std::to_string(httpPort_);
    const struct {
        std::string target, hostField;
        long status;
        std::string absPath;
    } cases[] = {
        {"/getVers%69on", "127.0.0.1", 200, "/getVersion"},
        {"/a/./b/../c?x=%41&y=/../", "127.0.0.1", 200, "/a/c?x=%41&y=/../"},
        {"/a%5Cb/%2e%2e/../../c", "127.0.0.1", 200, "/c"},
        {"/dir/.", "127.0.0.1", 200, "/dir/"},
        {"http://127.0.0.1:" + port + "/x%20y?q", "elsewhere.example", 200, "/x y?q"},
        {"http://rebound.example:" + port + "/x", "127.0.0.1:" + port, 400, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const std::size_t before = SeenSoFar().size();
        const std::string received =
            Exchange("GET " + c.target + " HTTP/1.1\r\nHost: " + c.hostField +
                     "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(received.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << received;
        const auto seen = SeenSoFar();
        ASSERT_EQ(seen.size(), before + (c.status == 200 ? 1 : 0));
        if (c.status == 200) {
            EXPECT_EQ(seen.back().absPath, c.absPath);
            EXPECT_EQ(seen.back().fullUrl, "http://127.0.0.1:" + port + c.absPath);
        }
    }
}

// A client that leaves stops its request; one that only ends its sending side still gets the
// answer (after an interim "100 Continue" that told the two apart).
TEST_F(HttpQueueTest, ClientGoneStopsTheRequestButAHalfCloseDoesNot) {
    Start();
    enum class End { Close, HalfClose, QueueShutdown };
    for (const End end : {End::Close, End::HalfClose, End::QueueShutdown}) {
        SCOPED_TRACE(static_cast<int>(end));
        vl_test::RawConnection raw(httpPort_);
        ASSERT_TRUE(raw.Send("GET /slow HTTP/1.1\r\n" + Host() + "\r\n"));
        std::unique_ptr<HttpRequest> request;
        ASSERT_EQ(queue_->ReceiveRequest(request), SysError::SUCCESS);
        const std::stop_token gone = request->ClientGone();
        EXPECT_FALSE(gone.stop_requested());
        if (end == End::Close) {
            raw.Close();
        } else if (end == End::HalfClose) {
            raw.HalfClose();
        } else {
            queue_->Shutdown();
        }
        const bool stopped = WaitForStop(gone, std::chrono::seconds(end == End::HalfClose ? 1 : 3));
        EXPECT_EQ(stopped, end != End::HalfClose);
        const auto rc = queue_->SendResponse(*request, 200, "OK", {}, "late");
        EXPECT_EQ(rc, stopped ? SysError::CONNECTION_INVALID : SysError::SUCCESS);
        if (end == End::HalfClose) {
            std::string received;
            EXPECT_TRUE(raw.ReadUntilClosed(received));
            EXPECT_EQ(received.rfind("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n", 0), 0u)
                << received;
            EXPECT_TRUE(received.ends_with("late")) << received;
        }
    }
}

TEST_F(HttpQueueTest, RequestDestroyedWithoutAnswerClosesItsConnection) {
    Start();
    vl_test::RawConnection raw(httpPort_);
    ASSERT_TRUE(raw.Send("GET /x HTTP/1.1\r\n" + Host() + "\r\n"));
    std::unique_ptr<HttpRequest> request;
    ASSERT_EQ(queue_->ReceiveRequest(request), SysError::SUCCESS);
    request.reset();
    std::string received;
    EXPECT_TRUE(raw.ReadUntilClosed(received));
    EXPECT_EQ(received, "");
}

TEST_F(HttpQueueTest, ShutdownReleasesTheReceiverAndThePorts) {
    Start();
    auto receiver = std::async(std::launch::async, [this] {
        std::unique_ptr<HttpRequest> request;
        return queue_->ReceiveRequest(request);
    });
    queue_->Shutdown();
    EXPECT_EQ(receiver.get(), SysError::OPERATION_ABORTED);
    std::unique_ptr<HttpRequest> request;
    EXPECT_EQ(queue_->ReceiveRequest(request), SysError::OPERATION_ABORTED);
    EXPECT_EQ(queue_->AddUrl("http://127.0.0.1:" + std::to_string(httpsPort_ + 1) + "/"),
              SysError::OPERATION_ABORTED);
    EXPECT_EQ(queue_->RemoveUrl(HttpPrefix()), SysError::SUCCESS);

    std::uint32_t error = 0;
    auto next = HttpRequestQueue::Create(options_, error);
    EXPECT_EQ(next->AddUrl(HttpPrefix()), SysError::SUCCESS);
    EXPECT_EQ(next->AddUrl(HttpsPrefix()), SysError::SUCCESS);
}

TEST_F(HttpQueueTest, UnusableCertificateFailsOnlyTheHttpsPrefix) {
    vl_test::TempDir dir;
    ASSERT_TRUE(vl_test::WriteFile(dir.Path("garbage.pem"), "not a certificate\n"));
    const std::pair<std::string, std::string> pairs[] = {
        {dir.Path("missing.pem"), Key()},
        {dir.Path("garbage.pem"), Key()},
        {Cert(), files_->Path("other.pem")},  // a key that does not match
    };
    for (const auto& [cert, key] : pairs) {
        SCOPED_TRACE(cert + " / " + key);
        HttpQueueOptions options;
        options.certificateFile = cert;
        options.privateKeyFile = key;
        std::uint32_t error = 0;
        auto queue = HttpRequestQueue::Create(options, error);
        const auto port = std::to_string(platform::FindFreeTcpPort());
        EXPECT_EQ(queue->AddUrl("https://vl.test:" + port + "/"), SysError::FILE_NOT_FOUND);
        EXPECT_EQ(queue->AddUrl("http://127.0.0.1:" + port + "/"), SysError::SUCCESS);
    }
}

TEST_F(HttpQueueTest, PrefixesAreCheckedAndOwnTheirPort) {
    Start();
    const std::string port = std::to_string(httpPort_);
    for (const std::string& bad : std::vector<std::string>{
             "ftp://127.0.0.1:" + port + "/", "http://127.0.0.1/", "http://127.0.0.1:0/",
             "http://127.0.0.1:70000/", "http://127.0.0.1:" + port, "http://:" + port + "/",
             "http://10.1.2.3:" + port + "/", "http://[::1:" + port + "/", "http://[vl.test]:1/"}) {
        EXPECT_EQ(queue_->AddUrl(bad), SysError::INVALID_PARAMETER) << bad;
    }
    std::uint32_t error = 0;
    auto other = HttpRequestQueue::Create(options_, error);
    EXPECT_EQ(other->AddUrl(HttpPrefix()), SysError::ALREADY_EXISTS);  // port in use
    EXPECT_EQ(queue_->AddUrl(HttpPrefix()), SysError::ALREADY_EXISTS);
    EXPECT_EQ(queue_->AddUrl("https://vl.test:" + port + "/"), SysError::ALREADY_EXISTS);
    EXPECT_EQ(queue_->AddUrl("http://localhost:" + port + "/api/"), SysError::SUCCESS);

    EXPECT_EQ(queue_->RemoveUrl("http://127.0.0.1:" + port + "/other/"), SysError::FILE_NOT_FOUND);
    EXPECT_EQ(queue_->RemoveUrl(HttpPrefix()), SysError::SUCCESS);
    EXPECT_EQ(queue_->RemoveUrl("http://LOCALHOST:" + port + "/api/"), SysError::SUCCESS);
    EXPECT_EQ(Client()->Fetch({"GET", Url(false, "/x")}).code, CURLE_COULDNT_CONNECT);
    EXPECT_EQ(other->AddUrl(HttpPrefix()), SysError::SUCCESS);
}

TEST_F(HttpQueueTest, ConcurrentRequestsGetTheirOwnAnswers) {
    Start();
    std::vector<std::future<CurlReply>> replies;
    for (const char* path : {"/a", "/b", "/c"}) {
        replies.push_back(std::async(std::launch::async, [this, path] {
            return Client()->Fetch({"GET", Url(true, path)});
        }));
    }
    std::vector<std::unique_ptr<HttpRequest>> requests(3);
    for (auto& request : requests) {
        ASSERT_EQ(queue_->ReceiveRequest(request), SysError::SUCCESS);
    }
    for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
        EXPECT_EQ(queue_->SendResponse(**it, 200, "OK", {}, (*it)->AbsPath()), SysError::SUCCESS);
    }
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].get().body, std::string("/") + static_cast<char>('a' + i));
    }
}

TEST_F(HttpQueueTest, AnswerIsCheckedAndGivenOnce) {
    Start();
    auto reply = std::async(std::launch::async, [this] {
        return Client()->Fetch({"GET", Url(false, "/x")});
    });
    std::unique_ptr<HttpRequest> request;
    ASSERT_EQ(queue_->ReceiveRequest(request), SysError::SUCCESS);
    EXPECT_EQ(queue_->SendResponse(*request, 200, "OK", {{"Bad\r\nName", "x"}}, ""),
              SysError::INVALID_PARAMETER);
    EXPECT_EQ(queue_->SendResponse(*request, 200, "OK", {}, "once"), SysError::SUCCESS);
    EXPECT_EQ(queue_->SendResponse(*request, 200, "OK", {}, "twice"), SysError::CONNECTION_INVALID);
    EXPECT_EQ(reply.get().body, "once");
}

TEST_F(HttpQueueTest, RequestMayOutliveItsQueue) {
    Start();
    auto reply = std::async(std::launch::async, [this] {
        return Client()->Fetch({"POST", Url(true, "/f"), "x=1"});
    });
    std::unique_ptr<HttpRequest> request;
    ASSERT_EQ(queue_->ReceiveRequest(request), SysError::SUCCESS);
    queue_.reset();
    EXPECT_NE(reply.get().code, CURLE_OK);
    EXPECT_EQ(request->AbsPath(), "/f");
}

// At the limit, the connection idle the longest makes room; connections whose request is in
// hand are kept, and a newcomer is refused only when there is no other way.
TEST_F(HttpQueueTest, IdleConnectionsMakeRoomAtTheLimit) {
    options_.maxConnections = 2;
    Start();
    vl_test::RawConnection oldest(httpPort_);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    vl_test::RawConnection busy(httpPort_);
    ASSERT_TRUE(busy.Send("GET /held HTTP/1.1\r\n" + Host() + "\r\n"));
    std::unique_ptr<HttpRequest> held;
    ASSERT_EQ(queue_->ReceiveRequest(held), SysError::SUCCESS);

    vl_test::RawConnection newcomer(httpPort_);
    std::string received;
    EXPECT_TRUE(oldest.ReadUntilClosed(received));
    ASSERT_TRUE(newcomer.Send("GET /new HTTP/1.1\r\n" + Host() + "\r\n"));
    std::unique_ptr<HttpRequest> second;
    ASSERT_EQ(queue_->ReceiveRequest(second), SysError::SUCCESS);
    EXPECT_EQ(second->AbsPath(), "/new");

    // Both connections now have a request in hand: the next one is turned away.
    vl_test::RawConnection refused(httpPort_);
    EXPECT_TRUE(refused.ReadUntilClosed(received));
    EXPECT_EQ(received, "");
    EXPECT_EQ(queue_->SendResponse(*held, 200, "OK", {}, "kept"), SysError::SUCCESS);
    EXPECT_FALSE(held->ClientGone().stop_requested());
    EXPECT_EQ(RefusalsSoFar(), (std::vector<int>{0, 0}));
}

}  // namespace
