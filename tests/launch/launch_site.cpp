#include "launch_site.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace launch_test {

namespace {

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

}  // namespace

LaunchSite* LaunchSite::Get(std::string& why) {
    // Made once and torn down with the program: the daemon, then the user and the folders.
    static std::unique_ptr<LaunchSite> site;
    static std::string reason;
    static bool made = false;
    if (!made) {
        made = true;
        site = std::make_unique<LaunchSite>();
        reason = site->Prepare();
        if (!reason.empty()) {
            site.reset();
        }
    }
    why = reason;
    return site.get();
}

std::string LaunchSite::Prepare() {
    if (std::string why = user_.Create(); !why.empty()) {
        return why;
    }
    const passwd* entry = ::getpwnam(user_.Name().c_str());
    if (entry == nullptr) {
        return "the throwaway user has no entry";
    }
    userId_ = entry->pw_uid;
    // The user's programs read the environment files and file arguments under the site.
    ::chmod(site_.Dir().Path().c_str(), 0755);
    home_ = site_.Path("home");
    userFolder_ = site_.Path("user");
    for (const std::string& folder : {home_, userFolder_}) {
        ::mkdir(folder.c_str(), 0700);
        if (::chown(folder.c_str(), entry->pw_uid, entry->pw_gid) != 0) {
            return "cannot give " + folder + " to the user";
        }
    }
    Run("usermod -d '" + home_ + "' " + user_.Name() + " >/dev/null 2>&1");
    const std::string samples = std::string("PRODUCT_BIN=") + VL_BIN_DIR + " VLREG=" + VL_BIN_DIR +
                                "/vlreg bash '" + VL_SOURCE_DIR +
                                "/scripts/demo/sample-installs.sh' '" + site_.Path("registry") +
                                "' '" + Installs() + "' >/dev/null";
    if (!Run(samples)) {
        return "sample-installs.sh failed";
    }
    vl_test::WriteFile(site_.Path("sessions.json"),
                       "[{\"id\": 1, \"user\": \"" + user_.Name() +
                           "\", \"state\": 0, \"station\": \"console\"}]");
    site_.WriteConfig({"NO_NEED_SEC", "LOGLEVEL=info"});
    daemon_ = std::make_unique<vl_test::DaemonProcess>(site_);
    return daemon_->WaitUntilServing() ? "" : "the daemon did not start: " + daemon_->Output();
}

bool LaunchSite::RestartDaemon() {
    int exitCode = 0;
    if (!daemon_->Terminate(exitCode, 30000)) {
        return false;
    }
    daemon_ = std::make_unique<vl_test::DaemonProcess>(site_);
    return daemon_->WaitUntilServing();
}

vl_test::DaemonAnswer LaunchSite::Call(const std::string& function, const std::string& params,
                                       bool keepAlive) {
    const std::string arg = "{\"functionName\": \"" + function + "\", \"params\": " + params + "}";
    const vl_test::CurlCall call("POST", site_.HttpsUrl("function"),
                                 "version=2.6&zorvidId=launch&arg=" + vl_test::PercentEncode(arg));
    if (keepAlive) {
        return vl_test::ParseAnswer(site_.Client().Fetch(call).body);
    }
    vl_test::CurlClient client(site_.CertificateFile());
    client.Resolve(vl_test::DaemonSite::kDomain, site_.MainPort());
    return vl_test::ParseAnswer(client.Fetch(call).body);
}

std::map<std::string, std::string> WaitForReport(const std::string& path) {
    if (!sessions_test::WaitForFile(path)) {
        return {};
    }
    return sessions_test::ParseReport(vl_test::ReadFile(path));
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace launch_test
