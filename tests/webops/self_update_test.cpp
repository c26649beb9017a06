// "selfUpdate" answered by the real daemon: the package given by path, by URL and by a web
// service on the local HTTPS server, the refusals (a downloaded package without the maker's
// signature among them), and the real update mode of the GUI executable run apart from the
// daemon with a stand-in installer that the test controls.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "daemon/daemon_process.h"
#include "platform/named_mutex.h"
#include "support/checks.h"
#include "webops_env.h"

namespace {

namespace fs = std::filesystem;
using vl_test::DaemonAnswer;
using vl_test::DaemonProcess;
using vl_test::DaemonSite;

// TestKey is a throwaway key pair of the given type ("ED25519", or another to show a key
// of the wrong kind).
class TestKey {
  public:
    explicit TestKey(const char* type = "ED25519")
        : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, type)) {}
    ~TestKey() { EVP_PKEY_free(key_); }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    std::string PublicPem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PUBKEY(bio, key_);
        char* text = nullptr;
        const long size = BIO_get_mem_data(bio, &text);
        std::string pem(text, static_cast<std::size_t>(size));
        BIO_free(bio);
        return pem;
    }

    std::string Sign(const std::string& data) const {
        std::string signature(64, '\0');
        std::size_t size = signature.size();
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
        EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size());
        EVP_MD_CTX_free(context);
        return signature.substr(0, size);
    }

  private:
    EVP_PKEY* key_;
};

// FindUnder is the first file named leaf below folder, or "".
std::string FindUnder(const std::string& folder, const std::string& leaf) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() == leaf) {
            return it->path().string();
        }
    }
    return {};
}

// WaitForUpdateLog waits until the site's newest update log holds the text; its text.
std::string WaitForUpdateLog(const DaemonSite& site, const std::string& text) {
    std::string log;
    vl_test::WaitUntil(
        [&] {
            log = vl_test::LogsBelow(site.MainData() + "/logs/update_logs");
            return log.find(text) != std::string::npos;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(100));
    return log;
}

class SelfUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!webops_test::Server().Ready()) {
            GTEST_SKIP() << "no local HTTPS server (python3 and openssl are needed)";
        }
        // An installed launcher's folder: the companions the update saves and runs.
        for (const char* program : {"VantaroLauncherGUI", "VantaroLauncherSysTray"}) {
            std::error_code ec;
            fs::copy_file(std::string(VL_BIN_DIR) + "/" + program, site_.Path(program), ec);
        }
        fs::create_directories(site_.Path("locks"));
        ::chmod(site_.Path("locks").c_str(), 0700);
        package_ = webops_test::Bytes(70000, 7);
    }

    static const catalogue_test::CatalogueStandIn& Server() { return webops_test::Server(); }

    void Start(std::vector<std::string> environment) {
        environment.push_back("QVYLD_LOCK_DIR=" + site_.Path("locks"));
        environment.push_back("QVYLD_TEST_CA_FILE=" + Server().CaFile());
        daemon_ = std::make_unique<DaemonProcess>(site_, environment);
        ASSERT_TRUE(daemon_->WaitUntilServing()) << daemon_->Output();
    }

    DaemonAnswer Update(const std::string& params) {
        const std::string arg = R"({"functionName":"selfUpdate","params":)" + params + "}";
        return vl_test::ParseAnswer(
            site_.Client()
                .Fetch({"POST", site_.HttpsUrl("function"),
                        "version=2.6&zorvidId=self-update&arg=" + vl_test::PercentEncode(arg)})
                .body);
    }

    DaemonSite site_;
    std::unique_ptr<DaemonProcess> daemon_;
    std::string package_;
};

// In the test harness's context the worker runs in the daemon's context (where the test's
// authority is known) and the update command itself is not run. Each case names the key that
// the installed launcher pins beside its executable and a part of the line that tells why.
TEST_F(SelfUpdateTest, ObtainsThePackageOrRefusesWithTheCodeOfTheFault) {
    const TestKey maker;
    const TestKey stranger;
    const std::string root = Server().MediaFolder();
    // Publish serves a package and, unless it is empty, its signature; its description.
    const auto publish = [&](const std::string& name, const std::string& content,
                             const std::string& signature) {
        vl_test::WriteFile(root + "/" + name, content);
        if (!signature.empty()) {
            vl_test::WriteFile(root + "/" + name + ".sig", signature);
        }
        return R"({"url":")" + Server().Url("/media/" + name) + R"(","hash":")" +
               webops_test::Md5Hex(content) + R"(","size":)" + std::to_string(content.size()) + "}";
    };
    std::string tampered = package_;
    tampered[100] ^= 1;
    const std::string signedByUrl = publish("launcher.deb", package_, maker.Sign(package_));
    vl_test::WriteFile(root + "/ws-good.json", R"({"result":[)" + signedByUrl + "]}");
    vl_test::WriteFile(root + "/ws-empty.json", R"({"result":[]})");
    vl_test::WriteFile(root + "/ws-object.json", R"({"result":{"url":"x"}})");
    vl_test::WriteFile(root + "/ws-garbage.json", "<html>");
    const std::string hash = webops_test::Md5Hex(package_);
    const std::string url = Server().Url("/media/launcher.deb");
    fs::create_directories(site_.Path("ktv"));
    // A package in a folder that anyone may write is not an administrator's.
    fs::create_directories(site_.Path("open"));
    ::chmod(site_.Path("open").c_str(), 0777);
    vl_test::WriteFile(site_.Path("open/launcher.deb"), package_);
    // No user to start the worker as: the harness starts it in the daemon's context.
    site_.WriteConfig({"NO_NEED_SEC", "IGNORE_TOKEN_ERROR"});
    site_.WriteSessions({0}, "vl_no_such_user");
    Start({"PMX_KTV_UUID=self-update", "PMX_KTV_TMP=" + site_.Path("ktv"),
           "KTV_LAUNCHER_GUIEXE_PATH=" + std::string(VL_BIN_DIR) + "/VantaroLauncherGUI"});

    enum Key { kMaker, kNone, kOpen, kGarbage, kWrongKind };
    const bool asRoot = ::geteuid() == 0;
    const struct {
        std::string params;
        int code;
        std::string says;
        Key key = kMaker;
    } cases[] = {
        {"{}", 203, "the URL or the Path to the MSI must be present"},
        {R"({"path":"/nonexistent/launcher.deb"})", 203, "does not denote a existing file"},
        {R"({"path":")" + site_.Path("open/launcher.deb") + R"(","hash":")" + hash + R"("})",
         asRoot ? 203 : 0, asRoot ? "is writable by its group or by others" : "Successfully run"},
        {R"({"url":")" + url + R"(","hash":")" + hash + R"("})", 203, "size must be present"},
        {R"({"url":")" + url + R"(","size":"70000"})", 203, "hash must be present"},
        {R"({"url":")" + url + R"(","hash":")" + hash + R"(","size":"7e4"})", 203,
         "size must be present"},
        {R"({"ws":")" + Server().Url("/media/ws-empty.json") + R"("})", 205, "Array[0]"},
        {R"({"ws":")" + Server().Url("/media/ws-object.json") + R"("})", 205, "JSONArray"},
        {R"({"ws":")" + Server().Url("/media/ws-garbage.json") + R"("})", 205, "JSON Object"},
        {R"({"ws":")" + Server().Url("/status/500") + R"("})", 206, "Fail to access Webservice"},
        {R"({"url":")" + url + R"(","hash":"00112233445566778899aabbccddeeff","size":"70000"})",
         202, "fail to download the launcher's MSI."},
        {R"({"url":")" + url + R"(","hash":")" + hash + R"(","size":"69999"})", 202,
         "fail to download the launcher's MSI."},
        // Signed by the maker's key, by URL and by web service: installed.
        {signedByUrl, 0, "is signed by the update key"},
        {R"({"ws":")" + Server().Url("/media/ws-good.json") + R"("})", 0,
         "is signed by the update key"},
        // The request chose the URL and the MD5: without the maker's signature, refused.
        {publish("unsigned.deb", package_, ""), 202,
         "fail to download the launcher's MSI signature"},
        {publish("stranger.deb", package_, stranger.Sign(package_)), 202,
         "is not signed by the update key"},
        {publish("swapped.deb", package_, maker.Sign(webops_test::Bytes(70000, 9))), 202,
         "is not signed by the update key"},
        {publish("tampered.deb", tampered, maker.Sign(package_)), 202,
         "is not signed by the update key"},
        {publish("short.deb", package_, maker.Sign(package_).substr(1)), 202,
         "fail to download the launcher's MSI signature"},
        // Without a usable key that only root can change, nothing downloaded is installed.
        {signedByUrl, 202, "no update key is installed", kNone},
        {signedByUrl, asRoot ? 202 : 0, asRoot ? "update key is not trusted" : "is signed by",
         kOpen},
        {signedByUrl, 202, "no public key in PEM form", kGarbage},
        {signedByUrl, 202, "is not an Ed25519 key", kWrongKind},
    };
    const TestKey wrongKind("X25519");
    const std::string key = site_.Path("update-key.pem");
    for (const auto& c : cases) {
        fs::remove(key);
        if (c.key != kNone) {
            vl_test::WriteFile(key, c.key == kGarbage     ? "-----BEGIN PUBLIC KEY-----\nx\n"
                                    : c.key == kWrongKind ? wrongKind.PublicPem()
                                                          : maker.PublicPem());
            ::chmod(key.c_str(), c.key == kOpen ? 0666 : 0644);
        }
        const std::size_t before = site_.Log().size();
        const DaemonAnswer answer = Update(c.params);
        const std::string log = site_.Log().substr(before);
        EXPECT_EQ(answer.returnCode, c.code) << c.params << "\n" << log;
        EXPECT_NE(log.find(c.says), std::string::npos) << c.params << "\n" << log;
        EXPECT_EQ(c.code == 0, log.find("Successfully run command [") != std::string::npos) << log;
    }
    // The package installed is the daemon's own checked copy, not the user's download.
    const std::string copy = FindUnder(site_.Dir().Path(), "trusted");
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(vl_test::ReadFile(copy + "/launcher.deb"), package_);
    struct stat info {};
    ASSERT_EQ(::stat(copy.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// The real update mode, with an installer that reports the package it got and waits for the
// test's word before it ends with the test's exit code.
TEST_F(SelfUpdateTest, TheUpdaterRunsApartHoldsTheLockAndLogsItsOutcome) {
    const std::string installer = site_.Path("installer.sh");
    vl_test::WriteFile(installer, "#!/bin/sh\necho \"$1\" > '" + site_.Path("installed") + "'\n" +
                                      "while [ ! -e '" + site_.Path("go") +
                                      "' ]; do sleep 0.05; done\n" + "exit $(cat '" +
                                      site_.Path("go") + "')\n");
    ::chmod(installer.c_str(), 0755);
    const std::string package = site_.Path("given.deb");
    vl_test::WriteFile(package, package_);
    Start({"QVYLD_UPDATE_INSTALLER=" + installer});
    const std::string byPath = R"({"path":")" + package + R"("})";

    // While the updater holds the update lock, a second update is refused.
    ASSERT_EQ(Update(byPath).returnCode, 0) << site_.Log();
    EXPECT_EQ(Update(byPath).returnCode, 210);
    vl_test::WriteFile(site_.Path("go"), "0");
    EXPECT_NE(WaitForUpdateLog(site_, "update succeeded").find("update succeeded"),
              std::string::npos);
    const std::string installed = vl_test::ReadFile(site_.Path("installed"));
    EXPECT_NE(installed.find("/msiFolder/trusted/given.deb"), std::string::npos) << installed;
    EXPECT_TRUE(fs::exists(FindUnder(site_.Dir().Path(), "exeBackup") + "/VantaroLauncherGUI"));

    // A package that fails to install: the answer came, the failure is in the log, and the
    // daemon goes on serving.
    fs::remove(site_.Path("go"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a new log file name
    ASSERT_EQ(Update(byPath).returnCode, 0) << site_.Log();
    vl_test::WriteFile(site_.Path("go"), "1");
    EXPECT_NE(WaitForUpdateLog(site_, "update failed").find("ended with code 1"),
              std::string::npos);
    EXPECT_EQ(
        vl_test::ParseAnswer(site_.Client().Fetch({"POST", site_.HttpsUrl("getVersion"), ""}).body)
            .returnCode,
        0);

    // Another process holding the update lock.
    ASSERT_EQ(::setenv("QVYLD_LOCK_DIR", site_.Path("locks").c_str(), 1), 0);
    {
        const platform::NamedMutexOwner other("VantaroLauncher_UPDATE_MUTEX");
        ASSERT_TRUE(other.Owned());
        EXPECT_EQ(Update(byPath).returnCode, 210);
    }
    ::unsetenv("QVYLD_LOCK_DIR");
}

}  // namespace
