// Argument decryption through the real worker: the white list, the user's answers in the
// validation dialog (a script standing in for the desktop's dialog program) and the call to
// the decryption service, which here decodes hexadecimal text.
#include <sys/stat.h>

#include <filesystem>

#include "archive_writer.h"
#include "base/log_text.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "front/decrypt_argument.h"
#include "session/operations_as_user_web.h"
#include "session/shared_data.h"
#include "session/user_extension.h"
#include "support/checks.h"
#include "webops_env.h"

namespace {

using vl_test::Count;
using vl_test::Hex;

class DecryptTest : public webops_test::WebOpsEnv {
  protected:
    void SetUp() override {
        WebOpsEnv::SetUp();
        if (IsSkipped()) {
            return;
        }
        UseOwnWorker("webops-test");
        SetEnv("QVYLD_DIALOG_PROGRAM", Path("dialog.sh"));
        SetEnv("DISPLAY", ":75");
        vl_test::WriteFile(Path("dialog.sh"),
                           "#!/bin/sh\necho call >> '" + Path("dialog.log") +
                               "'\necho \"$@\" >> '" + Path("dialog.args") + "'\ncase $(cat '" +
                               Path("answer") +
                               "') in\n always) exit 0;;\n once) echo 'Allow once'; exit 1;;\n"
                               " refuse) exit 1;;\n *) exit 5;;\nesac\n");
        ::chmod(Path("dialog.sh").c_str(), 0755);
        Configure({"IGNORE_TOKEN_ERROR"});
        Operations::ResetWhiteListForTests();
    }

    void TearDown() override {
        Operations::ResetWhiteListForTests();
        WebOpsEnv::TearDown();
    }

    void Answer(const std::string& answer) { vl_test::WriteFile(Path("answer"), answer); }
    std::size_t Dialogs() const { return Count(vl_test::ReadFile(Path("dialog.log")), "call\n"); }
    std::string WhiteList() const { return vl_test::ReadFile(Path("install/whiteList_url")); }

    // Decrypt runs one request whose argument is the encrypted JSON text.
    bool Decrypt(const std::string& url, std::string& plain) {
        const ZorvidRequestInfo identity("page-1", "TGT-7", url, "", "https://page.example", "2.6");
        return Operations::DecryptArgument(identity, Hex(kPlain), plain);
    }

    static constexpr const char* kPlain =
        R"({"functionName":"discoverAllInstall","params":{"level":"L26"}})";
};

TEST_F(DecryptTest, AnAlwaysAnswerIsRememberedExactlyAndAOnceAnswerIsNot) {
    const std::string url = Server().Url("/decrypt");
    std::string plain;
    Answer("always");
    ASSERT_TRUE(Decrypt(url, plain));
    EXPECT_EQ(plain, kPlain);
    EXPECT_EQ(WhiteList(), url + "\n");
    EXPECT_NE(vl_test::ReadFile(Path("dialog.args")).find(url), std::string::npos);
    EXPECT_NE(Server().Log().find("POST /decrypt range=- cookie=CASTGC=TGT-7"), std::string::npos);

    Answer("refuse");  // never asked again for the same text
    ASSERT_TRUE(Decrypt(url, plain));
    EXPECT_EQ(Dialogs(), 1u);

    // The comparison is exact: another letter case is another address.
    const std::string upper =
        "https://LOCALHOST" + url.substr(std::string("https://localhost").size());
    Answer("once");
    ASSERT_TRUE(Decrypt(upper, plain));
    ASSERT_TRUE(Decrypt(upper, plain));
    EXPECT_EQ(Dialogs(), 3u);
    EXPECT_EQ(WhiteList(), url + "\n");
    EXPECT_TRUE(Logged("user accept the one-time-usage of this url  : " + upper));
}

TEST_F(DecryptTest, RefusalsAndDialogFailuresStopBeforeTheCall) {
    const struct {
        const char* answer;
        const char* logged;
    } cases[] = {
        {"refuse", "user refuse the use of this url : "},
        {"broken", "Validation Gui fail ! return code : 2"},
    };
    for (const auto& c : cases) {
        Answer(c.answer);
        std::string plain = "stale";
        EXPECT_FALSE(Decrypt(Server().Url("/decrypt"), plain)) << c.answer;
        EXPECT_EQ(plain, "");
        EXPECT_TRUE(Logged(c.logged)) << c.answer;
    }
    EXPECT_EQ(Server().Log(), "");
    EXPECT_EQ(WhiteList(), "");
}

TEST_F(DecryptTest, WithoutADisplayTheDialogFails) {
    SetEnv("DISPLAY", std::nullopt);
    SetEnv("WAYLAND_DISPLAY", std::nullopt);
    Answer("always");
    std::string plain;
    EXPECT_FALSE(Decrypt(Server().Url("/decrypt"), plain));
    EXPECT_EQ(Dialogs(), 0u);
    EXPECT_TRUE(Logged("Validation Gui fail ! return code : 2"));
}

TEST_F(DecryptTest, IgnorePopupCallsWithoutAskingOrRemembering) {
    Configure({"IGNORE_TOKEN_ERROR", "IGNORE_POPUP"});
    Answer("refuse");
    std::string plain;
    ASSERT_TRUE(Decrypt(Server().Url("/decrypt"), plain));
    EXPECT_EQ(plain, kPlain);
    EXPECT_EQ(Dialogs(), 0u);
    EXPECT_EQ(WhiteList(), "");
}

TEST_F(DecryptTest, OurPageServerIsTrustedAndWrittenOnce) {
    Answer("refuse");
    const std::string url = "https://launchpages.quorvanti.com:8443/ws/decrypt";
    std::string plain;
    // No such server here: trusted, remembered, and then the call itself fails.
    EXPECT_FALSE(Decrypt(url, plain));
    EXPECT_FALSE(Decrypt(url, plain));
    EXPECT_EQ(Dialogs(), 0u);
    EXPECT_EQ(WhiteList(), url + "\n");
    EXPECT_EQ(Count(vl_test::ReadFile(Logger::CurrentFilePath()),
                    "Automatically accept the use of this url : " + url),
              1u);
    EXPECT_TRUE(Logged("Fail to access Webservice behind [" + url + "] ! status code : 10"));
}

TEST_F(DecryptTest, AListedServiceThatFailsGivesNoArgument) {
    const std::string url = Server().Url("/status/503");
    vl_test::WriteFile(Path("install/whiteList_url"), "https://other.example/ws\n" + url + "\n");
    std::string plain = "stale";
    EXPECT_FALSE(Decrypt(url, plain));
    EXPECT_EQ(plain, "");
    EXPECT_TRUE(Logged("White list set to : [https://other.example/ws," + url + "]"));
    EXPECT_TRUE(Logged("Fail to access Webservice behind [" + url + "] ! status code : 503"));
}

TEST_F(DecryptTest, ForgedAddressesReachNeitherTheDialogTheListNorTheService) {
    Answer("always");
    const std::string port = Server().Url("").substr(std::string("https://localhost:").size());
    const std::string cases[] = {
        "https://launchpages.quorvanti.com:x@localhost:" + port + "/decrypt",
        "https://x.launchpages.quorvanti.com:\nhttps://localhost:" + port + "/decrypt",
        "http://localhost:" + port + "/decrypt",
    };
    for (const std::string& url : cases) {
        std::string plain = "stale";
        EXPECT_FALSE(Decrypt(url, plain)) << url;
        EXPECT_EQ(plain, "");
        EXPECT_TRUE(Logged("Refuse the decryption service [" + ToolBox::EscapeControls(url) + "]"))
            << url;
    }
    EXPECT_EQ(Dialogs(), 0u);
    EXPECT_EQ(WhiteList(), "");
    EXPECT_EQ(Server().Log(), "");
    EXPECT_EQ(vl_test::ReadFile(Logger::CurrentFilePath()).find("\nhttps://localhost"),
              std::string::npos);
}

TEST_F(DecryptTest, TheTicketFollowsARedirectOnlyWithinTheApprovedOrigin) {
    const std::string sameOrigin = Server().Url("/redirect?to=/decrypt");
    const std::string otherHost =
        Server().Url("/redirect?to=https://127.0.0.1:") +
        Server().Url("").substr(std::string("https://localhost:").size()) + "/echo";
    vl_test::WriteFile(Path("install/whiteList_url"), sameOrigin + "\n" + otherHost + "\n");
    std::string plain;
    ASSERT_TRUE(Decrypt(sameOrigin, plain));
    EXPECT_EQ(plain, kPlain);
    EXPECT_FALSE(Decrypt(otherHost, plain));
    EXPECT_EQ(plain, "");
    EXPECT_TRUE(Logged("Fail to access Webservice behind [" + otherHost + "] ! status code : 302"));
    EXPECT_NE(Server().Log().find("POST /decrypt range=- cookie=CASTGC=TGT-7"), std::string::npos);
    EXPECT_EQ(Server().Log().find("/echo"), std::string::npos);
}

// The media road as the daemon walks it: download, unpack and a shortcut, each done by the
// worker and read back from its reply.
TEST_F(DecryptTest, MediaIsDownloadedUnpackedAndGetsAShortcutThroughTheWorker) {
    ASSERT_TRUE(webops_test::WriteArchive(Server().MediaFolder() + "/media.zip",
                                          {{"L26/1/setup.sh", 'f', "#!/bin/sh\n", 0755}}));
    const std::string data = vl_test::ReadFile(Server().MediaFolder() + "/media.zip");
    const ZorvidRequestInfo identity("page-1", "TGT-7", "", "", "", "2.6");
    std::string destination = Path("dl");
    std::int32_t downloadResult = -1;
    ASSERT_EQ(
        Operations::AsUser::DownloadMediaAsUser(
            identity, destination,
            "{\"fileName\":\"media.zip\",\"downloadLink\":\"" + Server().Url("/media/media.zip") +
                "\",\"hash\":\"" + webops_test::Md5Hex(data) +
                "\",\"hashAlgorithmLabel\":\"MD5\",\"size\":" + std::to_string(data.size()) + "}",
            downloadResult),
        0u);
    EXPECT_EQ(downloadResult, WebOperationCodes::kDownloadOk);
    EXPECT_EQ(destination, Path("dl/media.zip"));

    std::string output;
    std::int32_t unzipResult = -1;
    ASSERT_EQ(Operations::AsUser::UnzipAsUser(identity, destination, output, unzipResult), 0u);
    EXPECT_EQ(unzipResult, WebOperationCodes::kUnzipOk);
    EXPECT_TRUE(std::filesystem::is_regular_file(output + "/L26/1/setup.sh")) << output;
    std::error_code ignored;
    std::filesystem::remove_all(output + "/L26", ignored);  // the user's real unzip folder

    SetEnv("HOME", Path("home"));
    SetEnv("XDG_CONFIG_HOME", std::nullopt);
    SharedData::Stop();  // the next worker sees the new home
    std::int32_t shortcut = -1;
    ASSERT_EQ(FunctionnalCore::MakeShortcut(identity, shortcut, {"\"/opt/app/VRKSTART\"", "-run"},
                                            "My App", "Starts it", "/opt/app/app.png", 0),
              0u);
    EXPECT_EQ(shortcut, WebOperationCodes::kShortcutOk);
    EXPECT_TRUE(std::filesystem::exists(Path("home/Desktop/My App.desktop")));
}

TEST(TrustedPageServerTest, OnlyHttpsAddressesOnOurServerAreTrusted) {
    const struct {
        const char* url;
        const char* base;
        bool refused;
        bool trusted;
    } cases[] = {
        {"https://launchpages.quorvanti.com/ws", "https://launchpages.quorvanti.com", false, true},
        {"https://LaunchPages.quorvanti.com:18446/ws", "https://LaunchPages.quorvanti.com", false,
         true},
        {"https://eu.launchpages.quorvanti.com/ws", "https://eu.launchpages.quorvanti.com", false,
         true},
        {"https://quorvanti.com/ws", "https://quorvanti.com", false, false},
        {"https://xlaunchpages.quorvanti.com/ws", "https://xlaunchpages.quorvanti.com", false,
         false},
        {"https://evil.example/launchpages.quorvanti.com", "https://evil.example", false, false},
        {"https://evil.example?launchpages.quorvanti.com", "https://evil.example", false, false},
        {"https://launchpages.quorvanti.com.evil.example/",
         "https://launchpages.quorvanti.com.evil.example", false, false},
        // The host is what follows the user information, whatever the text before it.
        {"https://launchpages.quorvanti.com:x@localhost:18446/json", "https://localhost", true,
         false},
        {"https://launchpages.quorvanti.com@evil.example/ws", "https://evil.example", true, false},
        {"http://launchpages.quorvanti.com/ws", "http://launchpages.quorvanti.com", true, false},
        {"https://x.launchpages.quorvanti.com:\nhttps://localhost:18443/injected", "", true, false},
        {"https://launchpages.quorvanti.com/a b", "", true, false},
        {"launchpages.quorvanti.com", "", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Operations::BaseServer(c.url), c.base) << c.url;
        EXPECT_EQ(Operations::UrlRefusal(c.url).has_value(), c.refused) << c.url;
        EXPECT_EQ(Operations::IsOnTrustedPageServer(c.url), c.trusted) << c.url;
    }
}

}  // namespace
