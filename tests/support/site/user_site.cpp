#include "support/site/user_site.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace vl_test {

UserSite* UserSite::Get(std::string& why, const std::vector<std::string>& config,
                        const std::vector<std::string>& environment) {
    static std::unique_ptr<UserSite> site;
    static std::string reason;
    static bool made = false;
    if (!made) {
        made = true;
        site = std::make_unique<UserSite>();
        site->environment_ = environment;
        reason = site->Prepare(config);
        if (!reason.empty()) {
            site.reset();
        }
    }
    why = reason;
    return site.get();
}

std::string UserSite::Prepare(const std::vector<std::string>& config) {
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
    for (const std::string& folder : {Home(), UserFolder()}) {
        ::mkdir(folder.c_str(), 0700);
        if (::chown(folder.c_str(), entry->pw_uid, entry->pw_gid) != 0) {
            return "cannot give " + folder + " to the user";
        }
    }
    std::system(("usermod -d '" + Home() + "' " + user_.Name() + " >/dev/null 2>&1").c_str());
    if (!site_.InstallSamples(true)) {
        return "sample-installs.sh failed";
    }
    site_.WriteSessions({0}, user_.Name());
    std::vector<std::string> lines{"NO_NEED_SEC"};
    lines.insert(lines.end(), config.begin(), config.end());
    site_.WriteConfig(lines);
    return Start() ? "" : "the daemon did not start: " + daemon_->Output();
}

bool UserSite::Stop() {
    int exitCode = 0;
    return daemon_->Terminate(exitCode, 30000);
}

bool UserSite::Start() {
    daemon_ = std::make_unique<DaemonProcess>(site_, environment_);
    return daemon_->WaitUntilServing();
}

std::string UserSite::DaemonOrigin() const {
    const std::string url = site_.HttpsUrl("");
    return url.substr(0, url.size() - 1);
}

DaemonAnswer UserSite::Call(const std::string& function, const std::string& params,
                            bool keepAlive) {
    const std::string arg = "{\"functionName\": \"" + function + "\", \"params\": " + params + "}";
    const CurlCall call("POST", site_.HttpsUrl("function"),
                        "version=2.6&zorvidId=site&arg=" + PercentEncode(arg));
    if (keepAlive) {
        return ParseAnswer(site_.Client().Fetch(call).body);
    }
    CurlClient client(site_.CertificateFile());
    client.Resolve(DaemonSite::kDomain, site_.MainPort());
    return ParseAnswer(client.Fetch(call).body);
}

DaemonAnswer UserSite::Busy() {
    CurlClient client(site_.CertificateFile());
    client.Resolve(DaemonSite::kDomain, site_.MainPort());
    return ParseAnswer(client.Fetch({"POST", site_.HttpsUrl("isDaemonBusy"), ""}).body);
}

std::map<std::string, std::string> WaitForReport(const std::string& path) {
    if (!sessions_test::WaitForFile(path)) {
        return {};
    }
    return sessions_test::ParseReport(ReadFile(path));
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out + "\"";
}

}  // namespace vl_test
