// The communication page in a real browser: headless Chromium loads a parent page that embeds
// the daemon's "iframe" page over HTTPS, and the parent writes what it heard into its DOM.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "base/json/json.h"
#include "daemon/daemon_process.h"
#include "platform/http_queue.h"

namespace vl_test {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// The parent waits for the page's version announcement, then posts one request and one
// malformed message, and sends the three replies back to its own server. Until then the image
// "/hold" keeps the parent's load event, and so the browser, waiting.
std::string ParentPage(const std::string& daemonOrigin, const std::string& ownOrigin) {
    return R"(<!DOCTYPE html><html><body>
<script>
var target = ")" +
           daemonOrigin +
           R"(";
var results = [];
window.addEventListener("message", function (e) {
  if (e.origin !== target) { return; }
  results.push(JSON.parse(e.data));
  var frame = document.getElementById("frame").contentWindow;
  if (results.length === 1) {
    frame.postMessage(JSON.stringify({"id": "busy", "data": target + "/isDaemonBusy"}), target);
    frame.postMessage("{not json", target);
  }
  if (results.length === 3) {
    var request = new XMLHttpRequest();
    request.open("POST", "/results", true);
    request.send(JSON.stringify(results));
  }
});
</script>
<iframe id="frame" src=")" +
           daemonOrigin + "/iframe?id=version#parent:" + ownOrigin + R"("></iframe>
<img src="/hold" alt="">
</body></html>)";
}

// PageServer serves the parent page on 127.0.0.1 through the platform's request queue and
// keeps what the page sends to "/results"; "/hold" is answered once the results are in.
class PageServer {
  public:
    PageServer(unsigned port, std::string page) : page_(std::move(page)), port_(port) {
        std::uint32_t error = 0;
        queue_ = platform::HttpRequestQueue::Create({}, error);
        if (queue_ && queue_->AddUrl(Origin() + "/") == 0) {
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~PageServer() {
        if (queue_) {
            queue_->Shutdown();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    bool Serving() const { return thread_.joinable(); }
    std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    // Results is what the page sent.
    std::string Results() const {
        std::lock_guard lock(mutex_);
        return results_;
    }

  private:
    void Serve() {
        std::unique_ptr<platform::HttpRequest> request;
        std::unique_ptr<platform::HttpRequest> held;
        while (queue_->ReceiveRequest(request) == 0) {
            const std::string& path = request->AbsPath();
            if (path == "/parent.html") {
                queue_->SendResponse(*request, 200, "OK",
                                     {{"Content-Type", "text/html; charset=utf-8"}}, page_);
            } else if (path == "/hold" && Results().empty()) {
                held = std::move(request);
            } else if (path == "/results") {
                std::string chunk;
                std::uint32_t rc = 0;
                std::lock_guard lock(mutex_);
                do {
                    chunk.clear();
                    rc = queue_->ReceiveEntityBody(*request, chunk);
                    results_ += chunk;
                } while (rc == 0);
                queue_->SendResponse(*request, 204, "No Content", {}, "");
                if (held) {
                    queue_->SendResponse(*held, 204, "No Content", {}, "");
                }
            } else {
                queue_->SendResponse(*request, 404, "Not Found", {}, "");
            }
        }
    }

    std::string page_;
    std::unique_ptr<platform::HttpRequestQueue> queue_;
    unsigned port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::string results_;  // guarded by mutex_
};

void RunChromium(const std::string& profile, const std::string& url) {
    const std::string command =
        std::string("timeout 120 ") + kChromium +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --ignore-certificate-errors --user-data-dir='" +
        profile + "' --host-resolver-rules='MAP " + DaemonSite::kDomain +
        " 127.0.0.1' --dump-dom '" + url + "' >/dev/null 2>&1";
    [[maybe_unused]] const int rc = std::system(command.c_str());
}

// ReapChildren waits for every remaining child; false when some still run after a while.
bool ReapChildren() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < limit) {
        const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
        if (pid < 0) {
            return true;  // no child left
        }
        if (pid == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return false;
}

// Replies finds the reply of an id in the parent's results; null when there is none.
const JSON::JSONItem* Reply(const JSON::JSONItem& results, const std::string& id) {
    for (std::size_t i = 0; i < results.Size(); ++i) {
        const JSON::JSONItem* reply = results.GetAt(static_cast<std::int64_t>(i));
        const JSON::JSONItem* replyId = reply != nullptr ? reply->Get("id") : nullptr;
        if (replyId != nullptr && replyId->IsString() && replyId->GetString() == id) {
            return reply->Get("data");
        }
    }
    return nullptr;
}

TEST(CommunicationPage, AnswersTheEmbeddingPageInABrowser) {
    if (::access(kChromium, X_OK) != 0) {
        GTEST_SKIP() << "chromium is not installed";
    }
    // The browser's helpers outlive its main process for a moment; they come back to this
    // process to be reaped instead of lingering as zombies of an init that does not reap.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    DaemonSite site;
    DaemonProcess daemon(site);
    ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();
    const std::string daemonOrigin = site.HttpsUrl("").substr(0, site.HttpsUrl("").size() - 1);
    const unsigned port = platform::FindFreeTcpPort();
    const std::string parentOrigin = "http://127.0.0.1:" + std::to_string(port);
    PageServer parent(port, ParentPage(daemonOrigin, parentOrigin));
    ASSERT_TRUE(parent.Serving());

    RunChromium(site.Path("profile"), parent.Origin() + "/parent.html");
    JSON::JSONDocument results;
    results.Parse(parent.Results());
    ASSERT_NE(results.Root(), nullptr) << "the page sent: " << parent.Results();
    const std::string sent = parent.Results();  // for the failure messages

    const JSON::JSONItem* version = Reply(*results.Root(), "version");
    ASSERT_NE(version, nullptr) << sent;
    EXPECT_EQ(version->Print().rfind(R"({"daemon": "2.6", "build": "7.3", "msi": )", 0), 0u);
    const JSON::JSONItem* busy = Reply(*results.Root(), "busy");
    ASSERT_NE(busy, nullptr) << sent;
    EXPECT_EQ(busy->Print(), R"({"returnCode": 0, "commentary": "Success", "content": false})");
    const JSON::JSONItem* error = Reply(*results.Root(), "error");
    ASSERT_NE(error, nullptr) << sent;
    EXPECT_EQ(
        error->Print(),
        R"({"returnCode": null, "commentary": "iframe Communication Error", "content": null})");

    int exitCode = -1;
    EXPECT_TRUE(daemon.Terminate(exitCode, 5000));
    EXPECT_TRUE(ReapChildren()) << "browser processes left behind";
}

}  // namespace
}  // namespace vl_test
