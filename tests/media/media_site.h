// MediaSite: the real daemon serving one throwaway user's session, the catalogue and
// monitoring stand-in (https, its authority given to the worker), and two sample
// installations with their uninstall scripts. Shared by the media installation tests and
// the installation benchmark.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "daemon/daemon_process.h"
#include "fixtures/catalogue/catalogue_stand_in.h"
#include "sessions/session_fixtures.h"

namespace media_test {

using catalogue_test::CatalogueStandIn;
using catalogue_test::MediaArchive;

// MediaSite: the daemon serving one throwaway user's session, and the catalogue stand-in.
class MediaSite {
  public:
    static MediaSite* Get(std::string& why) {
        static std::unique_ptr<MediaSite> site;
        static std::string reason;
        if (!site && reason.empty()) {
            site = std::make_unique<MediaSite>();
            reason = site->Prepare();
            if (!reason.empty()) {
                site.reset();
            }
        }
        why = reason;
        return site.get();
    }

    vl_test::DaemonAnswer Call(const std::string& function, const std::string& params) {
        const std::string arg =
            "{\"functionName\": \"" + function + "\", \"params\": " + params + "}";
        vl_test::CurlClient client(site_.CertificateFile());
        client.Resolve(vl_test::DaemonSite::kDomain, site_.MainPort());
        return vl_test::ParseAnswer(
            client
                .Fetch({"POST", site_.HttpsUrl("function"),
                        "version=2.6&zorvidId=media&arg=" + vl_test::PercentEncode(arg)})
                .body);
    }
    vl_test::DaemonAnswer Busy() {
        vl_test::CurlClient client(site_.CertificateFile());
        client.Resolve(vl_test::DaemonSite::kDomain, site_.MainPort());
        return vl_test::ParseAnswer(
            client.Fetch({"POST", site_.HttpsUrl("isDaemonBusy"), ""}).body);
    }

    // Stop ends the daemon with SIGTERM; Start starts it again on the same site.
    bool Stop() {
        int code = 0;
        return daemon_->Terminate(code, 20000);
    }
    bool Start() {
        daemon_ = std::make_unique<vl_test::DaemonProcess>(
            site_, std::vector<std::string>{"QVYLD_TEST_CA_FILE=" + catalogue_.CaFile()});
        return daemon_->WaitUntilServing();
    }

    const CatalogueStandIn& Catalogue() const { return catalogue_; }
    // UserFolder belongs to the user: installation targets and files the setup waits on.
    std::string UserFolder() const { return site_.Path("user"); }
    std::string Home() const { return site_.Path("home"); }
    uid_t Uid() const { return uid_; }
    std::string Installs() const { return site_.Path("installs"); }
    const std::string& UserName() const { return user_.Name(); }
    std::string Log() const { return site_.Log(); }
    std::string DataFolder() const { return site_.MainData(); }

    // Media makes an archive whose "1" folder holds the simulated setup program under every
    // setup program's name, with two top products (DSG and RND).
    MediaArchive Media(const std::string& file, const std::string& sub) const {
        MediaArchive media(file, sub);
        const std::string setup = std::string(VL_BIN_DIR) + "/vl_product_sim_setup";
        media.programs = {
            {"setup", setup}, {"setup_noUAC", setup}, {"StartTUI", setup}, {"setupKTV", setup}};
        media.cafs =
            "CODE\\linux_a64\\DSG.prd v 10 - TOP_PRODUCT\nCODE\\linux_a64\\RND.prd v 10 - "
            "TOP_PRODUCT\n";
        return media;
    }

    MediaSite() = default;

  private:
    std::string Prepare() {
        if (!catalogue_.Ready()) {
            return "no catalogue stand-in (python3 is needed)";
        }
        if (std::string why = user_.Create(); !why.empty()) {
            return why;
        }
        const passwd* entry = ::getpwnam(user_.Name().c_str());
        if (entry == nullptr) {
            return "the throwaway user has no entry";
        }
        uid_ = entry->pw_uid;
        ::chmod(site_.Dir().Path().c_str(), 0755);
        for (const std::string& folder : {site_.Path("home"), UserFolder()}) {
            ::mkdir(folder.c_str(), 0700);
            if (::chown(folder.c_str(), entry->pw_uid, entry->pw_gid) != 0) {
                return "cannot give " + folder + " to the user";
            }
        }
        std::system(("usermod -d '" + site_.Path("home") + "' " + user_.Name() + " >/dev/null 2>&1")
                        .c_str());
        // Two sample installations, each with the simulated uninstall script, to reinstall.
        const std::string samples = std::string("PRODUCT_BIN=") + VL_BIN_DIR +
                                    " VLREG=" + VL_BIN_DIR + "/vlreg bash '" + VL_SOURCE_DIR +
                                    "/scripts/demo/sample-installs.sh' '" + site_.Path("registry") +
                                    "' '" + Installs() + "' >/dev/null";
        if (std::system(samples.c_str()) != 0) {
            return "sample-installs.sh failed";
        }
        vl_test::WriteFile(site_.Path("sessions.json"),
                           "[{\"id\": 1, \"user\": \"" + user_.Name() +
                               "\", \"state\": 0, \"station\": \"console\"}]");
        site_.WriteConfig({"NO_NEED_SEC", "LOGLEVEL=debug"});
        // The worker, as the user, trusts the stand-in's throwaway authority.
        ::chmod(catalogue_.Folder().c_str(), 0755);
        ::chmod(catalogue_.CaFile().c_str(), 0644);
        return Start() ? "" : "the daemon did not start: " + daemon_->Output();
    }

    CatalogueStandIn catalogue_;
    sessions_test::ThrowawayUser user_;
    vl_test::DaemonSite site_;
    std::unique_ptr<vl_test::DaemonProcess> daemon_;
    uid_t uid_ = 0;
};

}  // namespace media_test
