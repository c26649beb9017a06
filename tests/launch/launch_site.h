// LaunchSite: the real daemon, serving a throwaway user's session, with the two sample
// installations of scripts/demo/sample-installs.sh carrying the simulated product.
//
//   LaunchSite& site = LaunchSite::Get();   made once for the test program
//   site.Call("startZ5", R"({"level": "L24.4"})")   the answer to a "function" request
//   site.ReportFile()   where the simulated application writes what it saw (the user's)
#pragma once

#include <map>
#include <memory>
#include <string>

#include "daemon/daemon_process.h"
#include "sessions/session_fixtures.h"

namespace launch_test {

class LaunchSite {
  public:
    // Get is the site of the test program, or null with why when it cannot exist here.
    static LaunchSite* Get(std::string& why);

    // Call sends one "function" request on a new connection, or, with keepAlive, on the
    // site's one kept-alive connection (one caller at a time).
    vl_test::DaemonAnswer Call(const std::string& function, const std::string& params,
                               bool keepAlive = false);
    // DaemonOrigin is the daemon's HTTPS origin (its domain maps to 127.0.0.1).
    std::string DaemonOrigin() const {
        const std::string url = site_.HttpsUrl("");
        return url.substr(0, url.size() - 1);
    }
    // RestartDaemon stops the daemon with SIGTERM and starts it again; true once it serves.
    bool RestartDaemon();
    // Registry is the folder of the registry store.
    std::string Registry() const { return site_.Path("registry"); }
    // UserId is the session user's id.
    unsigned UserId() const { return userId_; }
    // DaemonPid is the daemon's process id.
    int DaemonPid() const { return daemon_ ? daemon_->Pid() : -1; }
    // Installs is the folder of the sample installations.
    std::string Installs() const { return site_.Path("installs"); }
    std::string Design() const { return Installs() + "/L24_Design"; }
    const std::string& UserName() const { return user_.Name(); }
    const std::string& Home() const { return home_; }
    // UserFolder is a folder the user owns, for reports and temporary files.
    const std::string& UserFolder() const { return userFolder_; }
    std::string Log() const { return site_.Log(); }

    LaunchSite() = default;

  private:
    std::string Prepare();

    sessions_test::ThrowawayUser user_;
    vl_test::DaemonSite site_;
    std::unique_ptr<vl_test::DaemonProcess> daemon_;
    std::string home_;
    std::string userFolder_;
    unsigned userId_ = 0;
};

// WaitForReport waits until the application has written path; its key=value lines.
std::map<std::string, std::string> WaitForReport(const std::string& path);

// Json quotes a text as a JSON string.
std::string Json(const std::string& text);

}  // namespace launch_test
