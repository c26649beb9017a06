// UserSite: the real daemon binary on loopback ports, serving one throwaway user's session
// (its worker runs as that user), with the two sample installations of
// scripts/demo/sample-installs.sh carrying the simulated product. One per test program,
// torn down with it: the daemon, then the user and the folders.
//
//   vl_test::UserSite* site = vl_test::UserSite::Get(why, {"LOGLEVEL=info"});
//   site->Call("startZ5", R"({"level": "L24.4"})")   the answer to a "function" request
//   site->UserFolder()                                a folder the user owns
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemon/daemon_process.h"
#include "sessions/session_fixtures.h"

namespace vl_test {

class UserSite {
  public:
    // Get is the test program's site, made at the first call with these extra
    // "launcher.conf" lines and daemon environment; null, with why, when it cannot exist here.
    static UserSite* Get(std::string& why, const std::vector<std::string>& config = {},
                         const std::vector<std::string>& environment = {});

    // Call sends one "function" request on a new connection, or, with keepAlive, on the
    // site's one kept-alive connection (one caller at a time).
    DaemonAnswer Call(const std::string& function, const std::string& params,
                      bool keepAlive = false);
    // Busy is the answer to "isDaemonBusy".
    DaemonAnswer Busy();
    // Stop ends the daemon with SIGTERM; Start starts it again (true once it serves).
    bool Stop();
    bool Start();
    bool RestartDaemon() { return Stop() && Start(); }

    // DaemonOrigin is the daemon's HTTPS origin (its domain maps to 127.0.0.1).
    std::string DaemonOrigin() const;
    int DaemonPid() const { return daemon_ ? daemon_->Pid() : -1; }
    std::string Registry() const { return site_.Path("registry"); }
    std::string Installs() const { return site_.Path("installs"); }
    std::string Design() const { return Installs() + "/L24_Design"; }
    unsigned UserId() const { return userId_; }
    const std::string& UserName() const { return user_.Name(); }
    std::string Home() const { return site_.Path("home"); }
    // UserFolder is a folder the user owns, for reports, targets and temporary files.
    std::string UserFolder() const { return site_.Path("user"); }
    std::string DataFolder() const { return site_.MainData(); }
    std::string Log() const { return site_.Log(); }

    UserSite() = default;

  private:
    std::string Prepare(const std::vector<std::string>& config);

    sessions_test::ThrowawayUser user_;
    DaemonSite site_;
    std::unique_ptr<DaemonProcess> daemon_;
    std::vector<std::string> environment_;
    unsigned userId_ = 0;
};

// WaitForReport waits until a program has written path; its key=value lines.
std::map<std::string, std::string> WaitForReport(const std::string& path);

// Json quotes a text as a JSON string.
std::string Json(const std::string& text);

}  // namespace vl_test
