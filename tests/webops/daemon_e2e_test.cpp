// An encrypted request from a page, answered by the real daemon over its HTTPS port: the
// argument is decrypted by the local decryption service, as the user, through the worker.
#include <cstdlib>

#include "daemon/daemon_process.h"
#include "support/checks.h"
#include "webops_env.h"

namespace {

using vl_test::Hex;

TEST(DaemonDecryptionTest, AnEncryptedDiscoveryIsDecryptedThroughTheWorkerAndAnswered) {
    const catalogue_test::CatalogueStandIn& server = webops_test::Server();
    if (!server.Ready()) {
        GTEST_SKIP() << "no local HTTPS server (python3 and openssl are needed)";
    }
    vl_test::DaemonSite site;
    ASSERT_TRUE(site.InstallSamples());
    site.WriteConfig({"LOGLEVEL=all", "IGNORE_TOKEN_ERROR"});
    // No user to start the worker as: the harness's mode starts it in the daemon's context,
    // where the test's certificate authority is known.
    site.WriteSessions({0}, "vl_no_such_user");
    const std::string service = server.Url("/decrypt");
    ASSERT_TRUE(vl_test::WriteFile(site.Path("whiteList_url"), service + "\n"));
    vl_test::DaemonProcess daemon(
        site, {"PMX_KTV_UUID=webops-e2e", "QVYLD_TEST_CA_FILE=" + server.CaFile(),
               "KTV_LAUNCHER_GUIEXE_PATH=" + std::string(VL_BIN_DIR) + "/VantaroLauncherGUI"});
    ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();

    const std::string arg = R"({"functionName":"discoverAllInstall","params":{}})";
    const vl_test::CurlReply reply = site.Client().Fetch(
        {"POST", site.HttpsUrl("function"),
         "version=2.6&zorvidId=page-e2e&castgc=TGT-E2E&cryptws=" + service + "&arg=" + Hex(arg)});
    const vl_test::DaemonAnswer answer = vl_test::ParseAnswer(reply.body);
    ASSERT_TRUE(answer.parsed) << reply.body;
    EXPECT_EQ(answer.returnCode, 0) << reply.body << site.Log();
    EXPECT_NE(answer.content.find("\"longName\": \"Design Studio 2024\""), std::string::npos);
    EXPECT_NE(server.Log().find("POST /decrypt range=- cookie=CASTGC=TGT-E2E"), std::string::npos);

    // A service the user was never asked about, with no display to ask on: refused.
    const vl_test::CurlReply refused = site.Client().Fetch(
        {"POST", site.HttpsUrl("function"),
         "version=2.6&zorvidId=page-e2e&castgc=TGT-E2E&cryptws=" + server.Url("/echo") +
             "&arg=" + Hex(arg)});
    EXPECT_EQ(vl_test::ParseAnswer(refused.body).returnCode, 102) << refused.body;

    // Addresses made to fool the white list: refused before any dialog, list or call.
    const std::string port = service.substr(std::string("https://localhost:").size());
    const std::string forged[] = {
        "https://launchpages.quorvanti.com:x@localhost:" + port,
        "https://x.launchpages.quorvanti.com:%0Ahttps://localhost:" + port,
        "http://launchpages.quorvanti.com/ws",
    };
    server.ClearRecords();
    for (const std::string& url : forged) {
        const vl_test::CurlReply reply = site.Client().Fetch(
            {"POST", site.HttpsUrl("function"),
             "version=2.6&zorvidId=page-e2e&castgc=TGT-E2E&cryptws=" + url + "&arg=" + Hex(arg)});
        EXPECT_EQ(vl_test::ParseAnswer(reply.body).returnCode, 102) << url << reply.body;
    }
    EXPECT_EQ(server.Log(), "");
    EXPECT_EQ(vl_test::ReadFile(site.Path("whiteList_url")), service + "\n");
    const std::string log = site.Log();
    EXPECT_NE(log.find("Refuse the decryption service [https://x.launchpages.quorvanti.com:\\n"),
              std::string::npos);
    // The ticket went to the service, and is in no log line, the request body's included.
    EXPECT_NE(log.find("castgc=T...(7 chars)"), std::string::npos);
    EXPECT_EQ(log.find("TGT-E2E"), std::string::npos) << log.substr(log.find("TGT-E2E") - 300, 400);
}

}  // namespace
