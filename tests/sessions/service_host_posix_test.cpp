// The service host: notify messages on a real datagram socket, controls from real signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/service_host.h"
#include "support/test_support.h"

namespace {

// NotifyListener is the service manager's end of the notify socket.
class NotifyListener {
  public:
    explicit NotifyListener(const std::string& name) : fd_(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (name[0] == '@') {
            address.sun_path[0] = '\0';
        }
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
        timeval timeout{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~NotifyListener() { ::close(fd_); }

    bool Bound() const { return bound_; }
    std::string Next() {
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? "(nothing)" : std::string(buffer, static_cast<std::size_t>(n));
    }

  private:
    int fd_;
    bool bound_ = false;
};

TEST(NotifyTest, ReachesPathAndAbstractSockets) {
    vl_test::TempDir dir;
    const std::string abstractName = "@vl_notify_test_" + std::to_string(::getpid());
    for (const std::string& name : {dir.Path("notify"), abstractName}) {
        NotifyListener listener(name);
        ASSERT_TRUE(listener.Bound()) << name;
        vl_test::ScopedEnv env("NOTIFY_SOCKET", name);
        ASSERT_TRUE(platform::NotifyServiceManager("READY=1"));
        EXPECT_EQ(listener.Next(), "READY=1");
    }
    vl_test::ScopedEnv none("NOTIFY_SOCKET", std::nullopt);
    EXPECT_FALSE(platform::NotifyServiceManager("READY=1"));
}

constexpr const char* kName = "QVYLaunchDaemon";

platform::ServiceStatus Status(std::uint32_t state, std::uint32_t specific = 0) {
    platform::ServiceStatus status;
    status.currentState = state;
    status.win32ExitCode = specific != 0 ? 1066 : 0;
    status.serviceSpecificExitCode = specific;
    return status;
}

// A whole service life: start, run, interrogate, stop by SIGTERM, as a service manager sees it.
TEST(ServiceHostTest, RunsTheServiceLifeOnSignalsAndReportsIt) {
    vl_test::TempDir dir;
    NotifyListener listener(dir.Path("notify"));
    ASSERT_TRUE(listener.Bound());
    vl_test::ScopedEnv env("NOTIFY_SOCKET", dir.Path("notify"));

    std::mutex mutex;
    std::vector<std::uint32_t> controls;
    const bool ran = platform::ServiceHost::RunDispatcher(kName, [&] {
        ASSERT_FALSE(platform::ServiceHost::RegisterHandler("OtherService", [](std::uint32_t) {}));
        ASSERT_TRUE(platform::ServiceHost::RegisterHandler(kName, [&](std::uint32_t control) {
            std::lock_guard<std::mutex> lock(mutex);
            controls.push_back(control);
            if (control == platform::kControlStop) {
                platform::ServiceHost::SetStatus(Status(platform::kServiceStopPending));
                platform::ServiceHost::SetStatus(Status(platform::kServiceStopped, 7));
            }
        }));
        platform::ServiceHost::SetStatus(Status(platform::kServiceStartPending));
        platform::ServiceHost::SetStatus(Status(platform::kServiceRunning));
        ::kill(::getpid(), SIGHUP);
        ::kill(::getpid(), SIGTERM);
    });
    ASSERT_TRUE(ran);
    EXPECT_EQ(controls,
              (std::vector<std::uint32_t>{platform::kControlInterrogate, platform::kControlStop}));
    EXPECT_EQ(listener.Next(), "STATUS=starting");
    EXPECT_EQ(listener.Next(), "READY=1\nSTATUS=running");
    EXPECT_EQ(listener.Next(), "STOPPING=1\nSTATUS=stopping");
    EXPECT_EQ(listener.Next(), "STATUS=stopped (exit code 1066, service code 7)");
    EXPECT_EQ(platform::ServiceHost::CurrentStatus().currentState, platform::kServiceStopped);
    // The service has ended: nothing more can be registered or reported.
    EXPECT_FALSE(platform::ServiceHost::RegisterHandler(kName, [](std::uint32_t) {}));
    EXPECT_FALSE(platform::ServiceHost::SetStatus(Status(platform::kServiceRunning)));
}

TEST(ServiceHostTest, EndsWhenTheMainReturnsWithoutAHandler) {
    vl_test::ScopedEnv env("NOTIFY_SOCKET", std::nullopt);
    bool mainRan = false;
    EXPECT_TRUE(platform::ServiceHost::RunDispatcher(kName, [&] { mainRan = true; }));
    EXPECT_TRUE(mainRan);
}

TEST(ServiceHostTest, ReportsInTheForegroundWithoutAServiceManager) {
    vl_test::ScopedEnv env("NOTIFY_SOCKET", std::nullopt);
    EXPECT_TRUE(platform::ServiceHost::RunDispatcher(kName, [] {
        ASSERT_TRUE(platform::ServiceHost::RegisterHandler(kName, [](std::uint32_t) {}));
        EXPECT_TRUE(platform::ServiceHost::SetStatus(Status(platform::kServiceRunning)));
        EXPECT_TRUE(platform::ServiceHost::SetStatus(Status(platform::kServiceStopped)));
    }));
}

}  // namespace
