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
#include <random>
#include <thread>

#include "media_site.h"
#include "platform/digest.h"
#include "support/checks.h"

namespace {

using catalogue_test::MediaArchive;
using vl_test::UserSite;

class MediaInstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        site_ = media_test::Site(why);
        if (site_ == nullptr) {
            GTEST_SKIP() << why;
        }
        media_test::Catalogue().ClearRecords();
    }

    // Params asks for offering oid with process DSG, installed into target, with more members.
    std::string Params(const std::string& oid, const std::string& target, const std::string& vars,
                       const std::string& more = "") const {
        return R"({"processToInstallForOid": [{"oiid": ")" + oid +
               R"(", "process": ["DSG"]}], "release": "L24",)" + R"( "webServiceURL": ")" +
               media_test::Catalogue().Url() + R"(", "defaultTargetPath": ")" + target +
               R"(", "instVarData": {)" + vars + "}" + more + "}";
    }
    // Offer makes the catalogue answer oid with that media (made from the archive first).
    void Offer(const std::string& oid, const MediaArchive& media,
               const std::string& element = "") const {
        ASSERT_TRUE(media_test::Catalogue().MakeMedia(media));
        const std::string answer = element.empty() ? "\"" + media.file + "\"" : element;
        ASSERT_TRUE(media_test::Catalogue().SetRules(R"([{"params": {"onlineInstanceID": ")" + oid +
                                                     R"("}, "media": [)" + answer + "]}]"));
    }
    std::string Target(const std::string& name) const { return site_->UserFolder() + "/" + name; }
    bool WaitUntilBusy() {
        return vl_test::WaitUntil([this] { return site_->Busy().content == "true"; },
                                  std::chrono::seconds(60), std::chrono::milliseconds(50));
    }
    bool Discovered(const std::string& text) {
        return site_->Call("discoverAllInstall", "{}").content.find(text) != std::string::npos;
    }

    UserSite* site_ = nullptr;
};

TEST_F(MediaInstallTest, InstallsFromTheCatalogueAsTheUserAndRecordsTheInstallation) {
    Offer("OI-FULL", media_test::Media("DSG_L24.zip", "DSG_L24"));
    const std::string target = Target("full");
    const vl_test::DaemonAnswer answer = site_->Call(
        "installMedia",
        Params("OI-FULL", target, R"("SIM_REG_ID": "L24_9_FULL", "SIM_LEVEL": "L24.9")"));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();

    const auto seen = sessions_test::ParseReport(vl_test::ReadFile(target + "/sim_setup.txt"));
    EXPECT_EQ(seen.at("program"), "setup");
    EXPECT_EQ(seen.at("uid"), std::to_string(site_->UserId()));
    EXPECT_EQ(seen.at("var:TARGET_PATH"), target);
    EXPECT_EQ(seen.at("var:SelectProduct?CODE\\linux_a64\\DSG.prd"), "true");
    EXPECT_EQ(seen.at("var:SelectProduct?CODE\\linux_a64\\RND.prd"), "false");
    EXPECT_EQ(seen.at("var:SelectExtraProduct?*"), "true");
    EXPECT_EQ(seen.at("env:QVY_Online_Installation_User"), site_->UserName());
    EXPECT_EQ(seen.at("env:QVY_Online_Installation_External_Logging_Ws_Url"),
              media_test::Catalogue().Url());
    EXPECT_TRUE(Discovered(target)) << site_->Call("discoverAllInstall", "{}").content;

    // Every step reached the remote log, in order.
    const std::vector<std::string> keys = {
        "daemon-current_version",           "daemon-install_level_type",
        "daemon-input_oiid.process_list",   "daemon-media_to_download_name",
        "daemon-media_download_start_time", "daemon-media_download_end_time",
        "daemon-installer_time_start",      "daemon-installer_time_end",
        "daemon-installer_end_status"};
    EXPECT_EQ(media_test::Catalogue().LoggedKeys(), keys);
}

TEST_F(MediaInstallTest, WithMediaDbTheInstallerRunsAsTheUserBesideARootServer) {
    MediaArchive media = media_test::Media("NOUAC.zip", "NOUAC_L24");
    media.mediaDb = true;
    Offer("OI-NOUAC", media);
    const std::string target = Target("nouac");
    const vl_test::DaemonAnswer answer =
        site_->Call("installMedia", Params("OI-NOUAC", target, R"("SIM_REG_ID": "L24_9_NOUAC")"));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();
    const auto seen = sessions_test::ParseReport(vl_test::ReadFile(target + "/sim_setup.txt"));
    EXPECT_EQ(seen.at("program"), "setup_noUAC");
    EXPECT_EQ(seen.at("uid"), std::to_string(site_->UserId()));
    EXPECT_EQ(seen.at("server"), "ok uid=" + std::to_string(site_->UserId()));
    EXPECT_EQ(seen.at("env:QVYAdmInstAllowNotAdminUser"), "1");
}

TEST_F(MediaInstallTest, AHangingSetupKeepsTheRequestWaitingAndTheDaemonBusyButResponsive) {
    Offer("OI-HANG", media_test::Media("HANG.zip", "HANG_L24"));
    const std::string release = Target("hang.release");
    ASSERT_TRUE(vl_test::WriteFile(release, "wait\n"));
    ::chown(release.c_str(), site_->UserId(), static_cast<gid_t>(-1));
    EXPECT_EQ(site_->Busy().content, "false");
    auto install = std::async(std::launch::async, [&] {
        return site_->Call(
            "installMedia",
            Params("OI-HANG", Target("hang"),
                   R"("SIM_REG_ID": "L24_9_HANG", "SIM_HANG_FILE": ")" + release + "\""));
    });
    EXPECT_TRUE(WaitUntilBusy());
    EXPECT_EQ(site_->Call("installMedia", Params("OI-HANG", Target("hang2"), "")).returnCode, 100);
    EXPECT_EQ(install.wait_for(std::chrono::seconds(1)), std::future_status::timeout);

    std::filesystem::remove(release);
    EXPECT_EQ(install.get().returnCode, 0) << site_->Log();
    EXPECT_EQ(site_->Busy().content, "false");
}

// IdOf is the id that "discoverAllInstall" gives the installation in that folder.
std::string IdOf(UserSite& site, const std::string& folder) {
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
    Offer("OI-BASE", media_test::Media("BASE.zip", "BASE_L24"));
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
    const std::string launch = R"({"instID": ")" + id + R"(", "exeName": "none"})";
    EXPECT_TRUE(vl_test::WaitUntil([&] { return site_->Call("startZ5", launch).returnCode == 109; },
                                   std::chrono::seconds(60), std::chrono::milliseconds(100)));
    std::filesystem::remove(release);
    EXPECT_EQ(hotFix.get().returnCode, 0) << site_->Log();
    EXPECT_NE(site_->Call("startZ5", launch).returnCode, 109);
}

TEST_F(MediaInstallTest, ReinstallUninstallsThenInstallsIntoTheSameFolder) {
    EXPECT_EQ(site_->Call("reinstallMedia", "{}").returnCode, 230);
    Offer("OI-RE", media_test::Media("RE.zip", "RE_L24"));
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

// The daemon is stopped in the middle of an installation, and started again.
TEST_F(MediaInstallTest, ADaemonStoppedMidInstallationEndsTheSetupAndRecordsNothing) {
    Offer("OI-STOP", media_test::Media("STOP.zip", "STOP_L24"));
    const std::string release = Target("stop.release");
    ASSERT_TRUE(vl_test::WriteFile(release, "wait\n"));
    const std::string target = Target("stopped");
    auto install = std::async(std::launch::async, [&] {
        return site_->Call(
            "installMedia",
            Params("OI-STOP", target,
                   R"("SIM_REG_ID": "L24_9_STOP", "SIM_HANG_FILE": ")" + release + "\""));
    });
    ASSERT_TRUE(WaitUntilBusy());
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the setup program runs
    ASSERT_TRUE(site_->Stop());
    EXPECT_NE(install.get().returnCode, 0);
    EXPECT_TRUE(
        vl_test::WaitUntil([this] { return vl_test::ProgramsOf(site_->UserId(), "setup").empty(); },
                           std::chrono::seconds(10)))
        << "the setup program outlived the daemon";
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
            ASSERT_TRUE(media_test::Catalogue().SetRules(fault.rules));
        } else {
            Offer("OI-F", media_test::Media("F.zip", "F_L24"), fault.element);
        }
        const std::string vars =
            std::string(R"("SIM_REG_ID": ")") + id + "\"" + (*fault.vars ? ", " : "") + fault.vars;
        EXPECT_EQ(site_->Call("installMedia", Params("OI-F", Target(id), vars)).returnCode,
                  fault.code);
        EXPECT_FALSE(Discovered(Target(id)));
    }
    // The failure's message reached the remote log.
    bool found = false;
    for (const JSON::ItemPtr& call :
         media_test::Catalogue().Calls("InstallationMonitoringV1::log")) {
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
        MediaArchive media = media_test::Media("A.zip", "A_L24");
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

// Files is what a folder holds, below it, by path relative to it.
std::vector<std::string> Files(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!it->is_directory()) {
            found.push_back(std::filesystem::relative(it->path(), folder).string());
        }
    }
    return found;
}

// Noise writes that many bytes that no compression shrinks.
std::string Noise(const std::string& path, std::size_t bytes) {
    std::mt19937_64 random(bytes);
    std::string text(bytes, '\0');
    for (char& c : text) {
        c = static_cast<char>(random());
    }
    vl_test::WriteFile(path, text);
    return path;
}

// "dataStoragePath" sends one request's downloads to a folder the user names, with %NAME%
// taken from the user's environment; the next request uses the default store again.
TEST_F(MediaInstallTest, ADataStoragePathHoldsTheDownloadsOfItsRequestOnly) {
    Offer("OI-DS", media_test::Media("DS.zip", "DS_L24"));
    const std::string defaultStore = site_->DataFolder() + "/defaultDataStore/Media";
    const struct {
        std::string path;
        int code;
        std::string archive;  // where the media's archive must be afterwards
    } cases[] = {
        {"%HOME%/vl-store", 0, site_->Home() + "/vl-store/Media/DS.zip"},
        {site_->DataFolder() + "/not-the-users/store", 152, ""},
        {"", 0, defaultStore + "/DS.zip"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string id = "L24_9_DS" + std::to_string(&c - cases);
        const std::string more = c.path.empty() ? "" : R"(, "dataStoragePath": ")" + c.path + "\"";
        EXPECT_EQ(site_
                      ->Call("installMedia",
                             Params("OI-DS", Target(id), R"("SIM_REG_ID": ")" + id + "\"", more))
                      .returnCode,
                  c.code)
            << site_->Log();
        EXPECT_EQ(Discovered(Target(id)), c.code == 0);
        if (!c.archive.empty()) {
            EXPECT_TRUE(std::filesystem::exists(c.archive)) << c.archive;
        }
        if (&c == cases) {
            EXPECT_FALSE(std::filesystem::exists(defaultStore + "/DS.zip"));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(site_->DataFolder() + "/not-the-users"));
}

// Too little room ends with 161 wherever it is found: before the download (the catalogue's
// size), while the bytes arrive (a size rounded down), or before unpacking. Nothing is
// recorded and no part of the archive is left to fill the disk.
TEST_F(MediaInstallTest, TooLittleRoomEndsWith161AndLeavesNoPartBehind) {
    const std::string store = site_->UserFolder() + "/small-store";
    const std::string unzip = site_->DataFolder() + "/InternalData/Unzip";
    const std::string data = site_->UserFolder() + "/room-data";
    std::filesystem::create_directories(data);
    const struct {
        const char* name;
        std::string mount;
        unsigned kib;
        std::string file;  // the archive's only data file
        std::size_t bytes;
        bool noise;
        const char* size;  // the catalogue's size, megabytes
    } cases[] = {
        {"announced larger than the store", store, 1024, "small.bin", 1000, true, "4"},
        {"larger than announced", store, 2048, "noise.bin", 3 << 20, true, "1"},
        {"unpacks larger than the unzip folder", unzip, 1024, "zeros.bin", 8 << 20, false, "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vl_test::SmallDisk disk(c.mount, c.kib);
        if (!disk.Mounted()) {
            GTEST_SKIP() << "needs root to mount a small file system";
        }
        ::chown(c.mount.c_str(), site_->UserId(), static_cast<gid_t>(-1));
        const std::string source = data + "/" + c.file;
        if (c.noise) {
            Noise(source, c.bytes);
        } else {
            vl_test::WriteFile(source, std::string(c.bytes, '\0'));
        }
        MediaArchive media = media_test::Media("ROOM.zip", "ROOM_L24");
        media.files = {{"data/" + c.file, source}};
        Offer("OI-ROOM", media, std::string(R"({"file": "ROOM.zip", "size": ")") + c.size + "\"}");
        const std::string id = "L24_9_ROOM" + std::to_string(&c - cases);
        const std::string more =
            c.mount == store ? R"(, "dataStoragePath": ")" + store + "\"" : std::string();
        EXPECT_EQ(site_
                      ->Call("installMedia",
                             Params("OI-ROOM", Target(id), R"("SIM_REG_ID": ")" + id + "\"", more))
                      .returnCode,
                  161)
            << site_->Log();
        EXPECT_FALSE(Discovered(Target(id)));
        EXPECT_EQ(Files(store), std::vector<std::string>{});
    }
}

// A launcher package that does not fit where it is downloaded ends with 209, whether the
// request announces more than the free space or the package itself is larger; the daemon
// goes on answering.
TEST_F(MediaInstallTest, ASelfUpdatePackageWithoutRoomEndsWith209) {
    const std::string package =
        Noise(media_test::Catalogue().MediaPath("vantaro-launcher_9.9_amd64.deb"), 200000);
    std::string md5;
    std::int64_t size = 0;
    ASSERT_TRUE(platform::FileMd5(package, md5, size));
    const std::string folder = site_->DataFolder() + "/InternalData/Temp/msiFolder/pkg";
    // An update key beside the daemon (the site's folder, above its installations), so that
    // the download is tried; the package is never signed.
    const std::filesystem::path daemonFolder =
        std::filesystem::path(site_->Installs()).parent_path();
    vl_test::WriteFile((daemonFolder / "update-key.pem").string(),
                       "-----BEGIN PUBLIC KEY-----\n"
                       "MCowBQYDK2VwAyEAx+XXRTRt96cq29qAMCeqbBymRZuW5Pd7an9eC/oLdSk=\n"
                       "-----END PUBLIC KEY-----\n");
    const struct {
        const char* name;
        unsigned kib;  // a file system of that size on the package's folder; 0: none
        std::string size;
    } cases[] = {
        {"announced beyond the free space", 0, "1125899906842624"},
        {"larger than the package's file system", 64, std::to_string(size)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<vl_test::SmallDisk> disk;
        if (c.kib != 0) {
            disk = std::make_unique<vl_test::SmallDisk>(folder, c.kib);
            if (!disk->Mounted()) {
                GTEST_SKIP() << "needs root to mount a small file system";
            }
        }
        const std::string params =
            R"({"url": ")" + media_test::Catalogue().Url("/media/vantaro-launcher_9.9_amd64.deb") +
            R"(", "hash": ")" + md5 + R"(", "size": ")" + c.size + "\"}";
        const std::size_t logged = site_->Log().size();
        EXPECT_EQ(site_->Call("selfUpdate", params).returnCode, 209) << site_->Log();
        EXPECT_NE(site_->Log().find("There is not enough space in this folder: " + folder, logged),
                  std::string::npos);
        EXPECT_EQ(Files(folder), std::vector<std::string>{});
        EXPECT_EQ(site_->Busy().content, "false");
    }
    EXPECT_EQ(Files(site_->DataFolder() + "/InternalData/Temp/msiFolder/trusted"),
              std::vector<std::string>{});
}

}  // namespace
