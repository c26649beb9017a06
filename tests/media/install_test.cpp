// Media installations through the real daemon and worker, for a throwaway session user: the
// catalogue and the monitoring service are the local stand-in, the media carry the simulated
// setup program, and what it installed must show in "discoverAllInstall".
#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "media_site.h"

namespace {

using catalogue_test::MediaArchive;
using media_test::MediaSite;

class MediaInstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        site_ = MediaSite::Get(why);
        if (site_ == nullptr) {
            GTEST_SKIP() << why;
        }
        site_->Catalogue().ClearRecords();
    }

    // Params asks for offering oid with process DSG, installed into target, with more members.
    std::string Params(const std::string& oid, const std::string& target, const std::string& vars,
                       const std::string& more = "") const {
        return R"({"processToInstallForOid": [{"oiid": ")" + oid +
               R"(", "process": ["DSG"]}], "release": "L24",)" + R"( "webServiceURL": ")" +
               site_->Catalogue().Url() + R"(", "defaultTargetPath": ")" + target +
               R"(", "instVarData": {)" + vars + "}" + more + "}";
    }
    // Offer makes the catalogue answer oid with that media (made from the archive first).
    void Offer(const std::string& oid, const MediaArchive& media,
               const std::string& element = "") const {
        ASSERT_TRUE(site_->Catalogue().MakeMedia(media));
        const std::string answer = element.empty() ? "\"" + media.file + "\"" : element;
        ASSERT_TRUE(site_->Catalogue().SetRules(R"([{"params": {"onlineInstanceID": ")" + oid +
                                                R"("}, "media": [)" + answer + "]}]"));
    }
    std::string Target(const std::string& name) const { return site_->UserFolder() + "/" + name; }
    bool Discovered(const std::string& text) {
        return site_->Call("discoverAllInstall", "{}").content.find(text) != std::string::npos;
    }

    MediaSite* site_ = nullptr;
};

TEST_F(MediaInstallTest, InstallsFromTheCatalogueAsTheUserAndRecordsTheInstallation) {
    Offer("OI-FULL", site_->Media("DSG_L24.zip", "DSG_L24"));
    const std::string target = Target("full");
    const vl_test::DaemonAnswer answer = site_->Call(
        "installMedia",
        Params("OI-FULL", target, R"("SIM_REG_ID": "L24_9_FULL", "SIM_LEVEL": "L24.9")"));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();

    const auto seen = sessions_test::ParseReport(vl_test::ReadFile(target + "/sim_setup.txt"));
    EXPECT_EQ(seen.at("program"), "setup");
    EXPECT_EQ(seen.at("uid"), std::to_string(site_->Uid()));
    EXPECT_EQ(seen.at("var:TARGET_PATH"), target);
    EXPECT_EQ(seen.at("var:SelectProduct?CODE\\linux_a64\\DSG.prd"), "true");
    EXPECT_EQ(seen.at("var:SelectProduct?CODE\\linux_a64\\RND.prd"), "false");
    EXPECT_EQ(seen.at("var:SelectExtraProduct?*"), "true");
    EXPECT_EQ(seen.at("env:QVY_Online_Installation_User"), site_->UserName());
    EXPECT_EQ(seen.at("env:QVY_Online_Installation_External_Logging_Ws_Url"),
              site_->Catalogue().Url());
    EXPECT_TRUE(Discovered(target)) << site_->Call("discoverAllInstall", "{}").content;

    // Every step reached the remote log, in order.
    const std::vector<std::string> keys = {
        "daemon-current_version",           "daemon-install_level_type",
        "daemon-input_oiid.process_list",   "daemon-media_to_download_name",
        "daemon-media_download_start_time", "daemon-media_download_end_time",
        "daemon-installer_time_start",      "daemon-installer_time_end",
        "daemon-installer_end_status"};
    EXPECT_EQ(site_->Catalogue().LoggedKeys(), keys);
}

TEST_F(MediaInstallTest, WithMediaDbTheInstallerRunsAsTheUserBesideARootServer) {
    MediaArchive media = site_->Media("NOUAC.zip", "NOUAC_L24");
    media.mediaDb = true;
    Offer("OI-NOUAC", media);
    const std::string target = Target("nouac");
    const vl_test::DaemonAnswer answer =
        site_->Call("installMedia", Params("OI-NOUAC", target, R"("SIM_REG_ID": "L24_9_NOUAC")"));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();
    const auto seen = sessions_test::ParseReport(vl_test::ReadFile(target + "/sim_setup.txt"));
    EXPECT_EQ(seen.at("program"), "setup_noUAC");
    EXPECT_EQ(seen.at("uid"), std::to_string(site_->Uid()));
    EXPECT_EQ(seen.at("server"), "ok uid=" + std::to_string(site_->Uid()));
    EXPECT_EQ(seen.at("env:QVYAdmInstAllowNotAdminUser"), "1");
}

TEST_F(MediaInstallTest, AHangingSetupKeepsTheRequestWaitingAndTheDaemonBusyButResponsive) {
    Offer("OI-HANG", site_->Media("HANG.zip", "HANG_L24"));
    const std::string release = Target("hang.release");
    ASSERT_TRUE(vl_test::WriteFile(release, "wait\n"));
    ::chown(release.c_str(), site_->Uid(), static_cast<gid_t>(-1));
    EXPECT_EQ(site_->Busy().content, "false");
    auto install = std::async(std::launch::async, [&] {
        return site_->Call(
            "installMedia",
            Params("OI-HANG", Target("hang"),
                   R"("SIM_REG_ID": "L24_9_HANG", "SIM_HANG_FILE": ")" + release + "\""));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (site_->Busy().content != "true" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(site_->Busy().content, "true");
    EXPECT_EQ(site_->Call("installMedia", Params("OI-HANG", Target("hang2"), "")).returnCode, 100);
    EXPECT_EQ(install.wait_for(std::chrono::seconds(1)), std::future_status::timeout);

    std::filesystem::remove(release);
    EXPECT_EQ(install.get().returnCode, 0) << site_->Log();
    EXPECT_EQ(site_->Busy().content, "false");
}

// IdOf is the id that "discoverAllInstall" gives the installation in that folder.
std::string IdOf(MediaSite& site, const std::string& folder) {
    JSON::JSONDocument list;
    if (list.Parse(site.Call("discoverAllInstall", "{}").content) != 0 || list.Root() == nullptr) {
        return {};
    }
    for (std::size_t i = 0; i < list.Root()->Size(); ++i) {
        const JSON::JSONItem* install = list.Root()->GetAt(static_cast<std::int64_t>(i));
        std::string path;
        std::string id;
        if (JSON::GetStringField("targetPath", path, install) && path == folder &&
            JSON::GetStringField("id", id, install)) {
            return id;
        }
    }
    return {};
}

TEST_F(MediaInstallTest, AHotFixHoldsItsBaseInstallationWhileItInstalls) {
    Offer("OI-BASE", site_->Media("BASE.zip", "BASE_L24"));
    const std::string base = Target("base");
    ASSERT_EQ(site_->Call("installMedia", Params("OI-BASE", base, R"("SIM_REG_ID": "L24_9_BASE")"))
                  .returnCode,
              0)
        << site_->Log();
    const std::string id = IdOf(*site_, base);
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(site_
                  ->Call("installMedia",
                         Params("OI-BASE", Target("hf0"), "", R"(, "baseInstallIdForHF": "0")"))
                  .returnCode,
              159);

    const std::string release = Target("hf.release");
    ASSERT_TRUE(vl_test::WriteFile(release, "wait\n"));
    auto hotFix = std::async(std::launch::async, [&] {
        return site_->Call(
            "installMedia",
            Params("OI-BASE", Target("hf"),
                   R"("SIM_REG_ID": "L24_9_HF", "SIM_HANG_FILE": ")" + release + "\"",
                   R"(, "baseInstallPathForHF": ")" + base + "\""));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int launch = 0;
    while ((launch = site_->Call("startZ5", R"({"instID": ")" + id + R"(", "exeName": "none"})")
                         .returnCode) != 109 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(launch, 109);
    std::filesystem::remove(release);
    EXPECT_EQ(hotFix.get().returnCode, 0) << site_->Log();
    EXPECT_NE(
        site_->Call("startZ5", R"({"instID": ")" + id + R"(", "exeName": "none"})").returnCode,
        109);
}

TEST_F(MediaInstallTest, ReinstallUninstallsThenInstallsIntoTheSameFolder) {
    EXPECT_EQ(site_->Call("reinstallMedia", "{}").returnCode, 230);
    Offer("OI-RE", site_->Media("RE.zip", "RE_L24"));
    const std::string folder = site_->Installs() + "/L24_Design";
    const vl_test::DaemonAnswer answer =
        site_->Call("reinstallMedia",
                    Params("OI-RE", "ignored", R"("SIM_REG_ID": "L24_9_RE", "SIM_LEVEL": "L24.9")",
                           R"(, "installTargetPath": ")" + folder + "\""));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();
    // The old record was removed by its uninstall script, run as root; the new one is there.
    EXPECT_NE(vl_test::ReadFile(folder + ".uninstall.txt").find("uid=0"), std::string::npos);
    const std::string installs = site_->Call("discoverAllInstall", "{}").content;
    EXPECT_EQ(installs.find("L24.4"), std::string::npos) << installs;
    EXPECT_NE(installs.find("L24.9"), std::string::npos) << installs;
    EXPECT_FALSE(IdOf(*site_, folder).empty());
}

// ProcessesOf counts the running processes of a user named program.
int ProcessesOf(uid_t uid, const std::string& program) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        struct stat info {};
        const std::string name = entry.path().filename().string();
        if (std::isdigit(static_cast<unsigned char>(name[0])) != 0 &&
            ::stat(entry.path().c_str(), &info) == 0 && info.st_uid == uid &&
            vl_test::ReadFile(entry.path().string() + "/comm") == program + "\n") {
            ++count;
        }
    }
    return count;
}

// The daemon is stopped in the middle of an installation, and started again.
TEST_F(MediaInstallTest, ADaemonStoppedMidInstallationEndsTheSetupAndRecordsNothing) {
    Offer("OI-STOP", site_->Media("STOP.zip", "STOP_L24"));
    const std::string release = Target("stop.release");
    ASSERT_TRUE(vl_test::WriteFile(release, "wait\n"));
    const std::string target = Target("stopped");
    auto install = std::async(std::launch::async, [&] {
        return site_->Call(
            "installMedia",
            Params("OI-STOP", target,
                   R"("SIM_REG_ID": "L24_9_STOP", "SIM_HANG_FILE": ")" + release + "\""));
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (site_->Busy().content != "true" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the setup program runs
    ASSERT_TRUE(site_->Stop());
    EXPECT_NE(install.get().returnCode, 0);
    const auto gone = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ProcessesOf(site_->Uid(), "setup") != 0 && std::chrono::steady_clock::now() < gone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(ProcessesOf(site_->Uid(), "setup"), 0) << "the setup program outlived the daemon";
    std::filesystem::remove(release);

    ASSERT_TRUE(site_->Start());
    EXPECT_EQ(site_->Busy().content, "false");
    EXPECT_FALSE(Discovered(target));
    EXPECT_EQ(
        site_->Call("installMedia", Params("OI-STOP", target, R"("SIM_REG_ID": "L24_9_STOP")"))
            .returnCode,
        0)
        << site_->Log();
}

// A fault ends with its code, and no installation recorded.
struct Fault {
    const char* name;
    const char* rules;  // the catalogue's rules; empty: the media below
    const char* element;
    const char* vars;
    int code;
};

TEST_F(MediaInstallTest, FaultsEndWithTheirCodeAndNothingRecorded) {
    const Fault faults[] = {
        {"garbage catalogue", R"([{"raw": "not json at all"}])", "", "", 151},
        {"catalogue error", R"([{"error": "catalogue is down"}])", "", "", 151},
        {"result not an array", R"([{"result": {"media": 1}}])", "", "", 151},
        {"no media", R"([{"result": []}])", "", "", 150},
        {"wrong checksum", "", R"({"file": "F.zip", "md5": "0123456789abcdef0123456789abcdef"})",
         "", 154},
        {"setup cancelled", "", "", R"("SIM_EXIT": "5")", 157},
        {"setup failed", "", "", R"("SIM_EXIT": "3", "SIM_MESSAGE": "disk quota reached")", 158},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        const std::string id = std::string("L24_9_FAULT_") + std::to_string(&fault - faults);
        if (*fault.rules != '\0') {
            ASSERT_TRUE(site_->Catalogue().SetRules(fault.rules));
        } else {
            Offer("OI-F", site_->Media("F.zip", "F_L24"), fault.element);
        }
        const std::string vars =
            std::string(R"("SIM_REG_ID": ")") + id + "\"" + (*fault.vars ? ", " : "") + fault.vars;
        EXPECT_EQ(site_->Call("installMedia", Params("OI-F", Target(id), vars)).returnCode,
                  fault.code);
        EXPECT_FALSE(Discovered(Target(id)));
    }
    // The failure's message reached the remote log.
    bool found = false;
    for (const JSON::ItemPtr& call : site_->Catalogue().Calls("InstallationMonitoringV1::log")) {
        found = found || call->Print().find("disk quota reached") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

TEST_F(MediaInstallTest, ArchivesThatDoNotHoldOneSafeMediaFolderAreRefused) {
    struct Case {
        const char* name;
        catalogue_test::Pairs raw;
        catalogue_test::Pairs symlinks;
    };
    const Case cases[] = {
        {"two folders", {{"OTHER/readme.txt", "x"}}, {}},
        {"entry above the folder", {{"../escaped.txt", "x"}}, {}},
        {"absolute entry", {{"/tmp/vl_media_escaped.txt", "x"}}, {}},
        {"link out of the folder", {}, {{"A_L24/1/inst/out", "/etc"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MediaArchive media = site_->Media("A.zip", "A_L24");
        media.raw = c.raw;
        media.symlinks = c.symlinks;
        Offer("OI-A", media);
        EXPECT_EQ(site_
                      ->Call("installMedia",
                             Params("OI-A", Target("archive"), R"("SIM_REG_ID": "L24_9_ARCHIVE")"))
                      .returnCode,
                  156);
        EXPECT_FALSE(Discovered(Target("archive")));
        EXPECT_FALSE(std::filesystem::exists(site_->UserFolder() + "/escaped.txt"));
        EXPECT_FALSE(std::filesystem::exists("/tmp/vl_media_escaped.txt"));
    }
}

}  // namespace
