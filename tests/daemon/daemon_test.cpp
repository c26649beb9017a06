// Black-box tests: the real daemon binary on a temporary folder, spoken to over HTTPS and HTTP.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "daemon/daemon_process.h"
#include "support/checks.h"

namespace vl_test {
namespace {

constexpr int kStopLimitMs = 5000;

std::string FunctionBody(const std::string& arg) {
    return "version=2.6&zorvidId=test-page&arg=" + arg;
}

// A datagram sink stands in for systemd's notify socket: NotifyEnvironment sends there.
std::string NotifyEnvironment(const SyslogSink& sink) {
    return "NOTIFY_SOCKET=" + sink.Path();
}

// One daemon serves the tests that only ask it questions.
class ServingDaemon : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        site_ = std::make_unique<DaemonSite>();
        ASSERT_TRUE(site_->InstallSamples());
        daemon_ = std::make_unique<DaemonProcess>(*site_);
        ASSERT_TRUE(daemon_->WaitUntilServing()) << daemon_->Output();
    }
    static void TearDownTestSuite() {
        daemon_.reset();
        site_.reset();
    }
    void SetUp() override { ASSERT_NE(daemon_, nullptr); }

    static CurlReply Post(const std::string& path, const std::string& body = {}) {
        return site_->Client().Fetch({"POST", site_->HttpsUrl(path), body});
    }

    static inline std::unique_ptr<DaemonSite> site_;
    static inline std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(ServingDaemon, AnswersFollowTheTransportRulesAndCarryTheCorsHeader) {
    struct Case {
        const char* verb;
        bool https;
        const char* path;
        int returnCode;        // -1: not a JSON answer
        const char* contains;  // in the content (or in the page)
    };
    const Case cases[] = {
        {"POST", true, "getVersion", 0, "\"daemon\": \"2.6\""},
        {"POST", true, "isDaemonBusy", 0, "false"},
        {"POST", false, "getVersion", 12, "null"},
        {"POST", false, "isDaemonBusy", 12, "null"},
        {"GET", true, "getVersion", 105, "null"},
        {"PUT", true, "isDaemonBusy", 105, "null"},
        {"GET", false, "iframe", -1, "Communication Frame"},
        {"GET", true, "iframe", -1, "Communication Frame"},
        {"POST", false, "iframe", 105, "null"},
        {"POST", true, "function", 91, "null"},
        {"POST", true, "getVersion?x=1", 0, "\"build\": \"7.3\""},
        {"POST", true, "getVers%69on", 0, "\"daemon\": \"2.6\""},
        {"POST", true, "x/%2E%2E/isDaemonBusy", 0, "false"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + (c.https ? " https " : " http ") + c.path);
        const std::string url = c.https ? site_->HttpsUrl(c.path) : site_->HttpUrl(c.path);
        const CurlReply reply = site_->Client().Fetch({c.verb, url});
        ASSERT_EQ(reply.code, CURLE_OK);
        EXPECT_EQ(reply.status, 200);
        EXPECT_TRUE(reply.HasHeader("Access-Control-Allow-Origin: *"));
        EXPECT_FALSE(reply.HasHeaderNamed("Content-Type"));
        if (c.returnCode < 0) {
            EXPECT_NE(reply.body.find(c.contains), std::string::npos);
            continue;
        }
        const DaemonAnswer answer = ParseAnswer(reply.body);
        ASSERT_TRUE(answer.parsed) << reply.body;
        EXPECT_EQ(answer.returnCode, c.returnCode) << reply.body;
        EXPECT_NE(answer.content.find(c.contains), std::string::npos) << reply.body;
    }
}

TEST_F(ServingDaemon, RefusesHttp10With505) {
    RawConnection raw(site_->InternalPort());
    ASSERT_TRUE(raw.Connected());
    ASSERT_TRUE(raw.Send("GET /iframe HTTP/1.0\r\nHost: 127.0.0.1:" +
                         std::to_string(site_->InternalPort()) + "\r\n\r\n"));
    std::string received;
    ASSERT_TRUE(raw.ReadUntilClosed(received));
    EXPECT_EQ(received.rfind("HTTP/1.1 505 HTTP Version not supported\r\n", 0), 0u) << received;
    EXPECT_NE(received.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
    EXPECT_NE(received.find("Content-Length: 0\r\n"), std::string::npos);
}

// Requests the server will not take are answered, so that no connection waits for nothing, and
// logged at WARN, a few lines at a time however many come.
TEST_F(ServingDaemon, RefusedRequestsAreAnsweredAndLoggedSparingly) {
    const std::string host = "Host: 127.0.0.1:" + std::to_string(site_->InternalPort()) + "\r\n";
    const std::string oversized(1024 * 1024 + 1, 'x');
    const struct {
        std::string request;
        const char* statusLine;
    } cases[] = {
        {"POST /function HTTP/1.1\r\n" + host +
             "Content-Length: " + std::to_string(oversized.size()) + "\r\n\r\n" + oversized,
         "HTTP/1.1 413 Payload Too Large\r\n"},
        {"GET x HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /iframe HTTP/1.1\r\n" + host + host + "\r\n", "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (int round = 0; round < 3; ++round) {
        for (const auto& c : cases) {
            RawConnection raw(site_->InternalPort());
            std::string received;
            ASSERT_TRUE(raw.Send(c.request));
            ASSERT_TRUE(raw.ReadUntilClosed(received));
            EXPECT_EQ(received.rfind(c.statusLine, 0), 0u) << received;
        }
    }
    const std::string log = site_->Log();
    EXPECT_EQ(Count(log, "[WinHttpServer::DoReceiveRequests] request refused : "), 5u) << log;
    EXPECT_NE(log.find("request refused : 413 body larger than the limit"), std::string::npos);
}

TEST_F(ServingDaemon, BodyOfManyPiecesArrivesWhole) {
    std::string arg;
    for (int i = 0; arg.size() < 7000; ++i) {
        arg += "piece" + std::to_string(i);
    }
    const CurlReply reply = Post("function", FunctionBody(arg));
    const DaemonAnswer answer = ParseAnswer(reply.body);
    ASSERT_TRUE(answer.parsed) << reply.body;
    EXPECT_EQ(answer.returnCode, 95);
    EXPECT_EQ(answer.commentary, "fail to parse this JSON string as a JSON Object : [" + arg + "]");
}

TEST_F(ServingDaemon, FunctionsNeedExactlyOneActiveSession) {
    struct Case {
        std::vector<int> states;
        int returnCode;
    };
    const Case cases[] = {
        {{}, 106},
        {{1, 2}, 106},
        {{0, 0}, 106},
        {{1, 0}, 97},
    };
    const std::string arg = R"({"functionName":"noSuchFunction","params":{}})";
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.states));
        site_->WriteSessions(c.states);
        const DaemonAnswer answer = ParseAnswer(Post("function", FunctionBody(arg)).body);
        EXPECT_EQ(answer.returnCode, c.returnCode);
    }
    site_->WriteSessions({0});
}

// The call that the demo documents: NO_NEED_SEC lets the argument travel as plain JSON.
TEST_F(ServingDaemon, DiscoverAllInstallListsTheSampleInstallations) {
    const std::string arg = R"({"functionName":"discoverAllInstall","params":{}})";
    const CurlReply reply = Post("function", FunctionBody(arg));
    const DaemonAnswer answer = ParseAnswer(reply.body);
    ASSERT_TRUE(answer.parsed) << reply.body;
    EXPECT_EQ(answer.returnCode, 0) << reply.body;
    EXPECT_EQ(answer.content.front(), '[');
    EXPECT_NE(answer.content.find("\"longName\": \"Design Studio 2024\""), std::string::npos);
    EXPECT_NE(answer.content.find("\"longName\": \"Common Tools\""), std::string::npos);
    EXPECT_NE(answer.content.find(site_->Path("installs/L24_Design")), std::string::npos);
}

TEST(DaemonLifecycle, SigtermWithRequestsInFlightStopsCleanly) {
    DaemonSite site;
    SyslogSink notify(site.Path("notify.sock"));
    DaemonProcess daemon(site, {NotifyEnvironment(notify)});
    ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();

    // Clients keep asking while the stop comes; one connection waits in the middle of its body.
    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&] {
            CurlClient client(site.CertificateFile());
            client.Resolve(DaemonSite::kDomain, site.MainPort());
            while (!done) {
                if (client.Fetch({"POST", site.HttpsUrl("getVersion")}).status == 200) {
                    ++answered;
                }
            }
        });
    }
    RawConnection partial(site.InternalPort());
    ASSERT_TRUE(partial.Send(
        "POST /isDaemonBusy HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(site.InternalPort()) +
        "\r\nContent-Length: 100\r\n\r\nonly a part"));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answered < 20 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(answered, 20);

    const pid_t pid = daemon.Pid();
    int exitCode = -1;
    const bool ended = daemon.Terminate(exitCode, kStopLimitMs);
    done = true;
    for (auto& client : clients) {
        client.join();
    }
    ASSERT_TRUE(ended) << "no stop within 5 s";
    EXPECT_EQ(exitCode, 0) << daemon.Output();
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid)));
    EXPECT_TRUE(ProcessesOfSite(site).empty());
    const std::string log = site.Log();
    EXPECT_NE(log.find("[WinHttpServer::Stop]HTTP server successfully stopped !"),
              std::string::npos);
    EXPECT_NE(log.find("[MAIN] execution finished !"), std::string::npos);
    const std::string messages = notify.Received();
    EXPECT_NE(messages.find("READY=1"), std::string::npos) << messages;
    EXPECT_NE(messages.find("STOPPING=1"), std::string::npos) << messages;
    EXPECT_NE(messages.find("STATUS=stopped\n"), std::string::npos) << messages;
}

// "serv.port" wins over everything, even when it holds no port: the server cannot run.
TEST(DaemonLifecycle, UnusablePortFileEndsTheService) {
    struct Case {
        bool raw;
        int exitCode;
    };
    // In service mode the process ends with the service's own code, so that systemd's
    // Restart=on-failure sees the failure.
    for (const Case c : {Case{false, 7}, Case{true, 10}}) {
        SCOPED_TRACE(c.raw ? "TEST_MODE=raw" : "service mode");
        DaemonSite site;
        WriteFile(site.Path("serv.port"), "x\n");
        site.WriteConfig(c.raw ? std::vector<std::string>{"TEST_MODE=raw"}
                               : std::vector<std::string>{});
        SyslogSink notify(site.Path("notify.sock"));
        DaemonProcess daemon(site, {NotifyEnvironment(notify), "QVYLD_BasePort=8080"});
        int exitCode = -1;
        ASSERT_TRUE(daemon.WaitForExit(exitCode, 20000));
        EXPECT_EQ(exitCode, c.exitCode) << daemon.Output();
        const std::string log = site.Log();
        EXPECT_NE(log.find("{ERROR}:[WinHttpServer::extractPortFromFile] Invalid port value 'x'"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("{ERROR}:[WinHttpServer::Run] Invalid port to bind [-1] !"),
                  std::string::npos);
        EXPECT_NE(log.find("Server Crash ! ( rc : 4294967295 )"), std::string::npos);
        const std::string messages = notify.Received();
        if (c.raw) {
            EXPECT_EQ(messages, "");  // no service manager in raw mode
        } else {
            EXPECT_NE(messages.find("STATUS=stopped (exit code 1066, service code 7)"),
                      std::string::npos)
                << messages;
        }
    }
}

TEST(DaemonLifecycle, DebugDelayThatIsNoNumberEndsMainCleanly) {
    DaemonSite site;
    DaemonProcess daemon(site, {"QVYLD_DEBUG=soon", "QVYLD_LOG_STDOUT=1"});
    int exitCode = -1;
    ASSERT_TRUE(daemon.WaitForExit(exitCode, 20000));
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(daemon.Output().find("{MAIN}Exception thrown : stoi"), std::string::npos)
        << daemon.Output();
}

TEST(DaemonLifecycle, MissingCertificateLeavesTheInternalPrefixServing) {
    DaemonSite site;
    site.RemoveCertificate();
    DaemonProcess daemon(site);
    ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();

    const CurlReply https = site.Client().Fetch({"POST", site.HttpsUrl("getVersion")});
    EXPECT_NE(https.code, CURLE_OK);
    const std::string log = site.Log();
    EXPECT_NE(log.find("{ERROR}:[WinHttpServer::Run]HttpAddUrl(" + site.HttpsUrl("") +
                       ") FAIL : certificate or private key missing or unusable (" +
                       site.Path("serv.crt") + ", " + site.Path("serv.key") + ") !"),
              std::string::npos)
        << log;
    int exitCode = -1;
    ASSERT_TRUE(daemon.Terminate(exitCode, kStopLimitMs));
    EXPECT_EQ(exitCode, 0);
}

}  // namespace
}  // namespace vl_test
