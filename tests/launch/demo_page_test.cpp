// The demo's page in headless Chromium: it lists the installations through the embedded
// communication page and starts an application with its button.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_queue.h"
#include "support/checks.h"
#include "support/site/user_site.h"

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// Background runs a program, its output discarded, while it lives; SIGTERM ends it.
class Background {
  public:
    explicit Background(const std::vector<std::string>& args) {
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Background() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

  private:
    pid_t pid_ = -1;
};

// Listening waits until something accepts connections on the loopback port: a browser
// that finds nothing there shows an error page and never reaches the daemon.
bool Listening(unsigned port) {
    return vl_test::WaitUntil(
        [port] {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool connected =
                ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            return connected;
        },
        std::chrono::seconds(60), std::chrono::milliseconds(20));
}

TEST(DemoPageTest, StartsAnApplicationFromItsButton) {
    std::string why;
    vl_test::UserSite* site = vl_test::UserSite::Get(why, {"LOGLEVEL=info"});
    if (site == nullptr) {
        GTEST_SKIP() << why;
    }
    if (::access(kChromium, X_OK) != 0) {
        GTEST_SKIP() << "chromium is not installed";
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const unsigned port = platform::FindFreeTcpPort();
    const Background page({"python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                           std::string(VL_SOURCE_DIR) + "/scripts/demo/page",
                           std::to_string(port)});
    const std::string report = site->UserFolder() + "/from-page.txt";
    const std::string url = "http://127.0.0.1:" + std::to_string(port) +
                            "/?daemon=" + site->DaemonOrigin() +
                            "&autostart=designstudio.exe&args=--report%3D" + report;
    // The server takes a moment to listen (python starting on a busy machine), and the
    // browser retries nothing.
    ASSERT_TRUE(Listening(port)) << "the page server did not start";
    // The browser stays until the application has reported: a browser that leaves drops its
    // pending request, and the daemon then stops waiting for the launch.
    const Background browser(
        {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--disable-sync", "--disable-background-networking", "--ignore-certificate-errors",
         "--remote-debugging-port=0", "--user-data-dir=" + site->UserFolder() + "/profile",
         std::string("--host-resolver-rules=MAP ") + vl_test::DaemonSite::kDomain + " 127.0.0.1",
         url});
    std::map<std::string, std::string> seen = vl_test::WaitForReport(report);
    EXPECT_EQ(seen["user"], site->UserName()) << site->Log();
    EXPECT_EQ(seen["argc"], "1");
}

}  // namespace
