// Web-service calls and media downloads against the local HTTPS server.
#include <filesystem>

#include "session/operations_as_user_web.h"
#include "webops_env.h"
#include "worker/ops/disk_space.h"
#include "worker/ops/media_download.h"
#include "worker/ops/web_call.h"

namespace {

using webops_test::Bytes;
using webops_test::Md5Hex;
using WorkerOps::MediaDownload;
using WorkerOps::WebCall;
namespace Codes = WebOperationCodes;

class WebCallTest : public webops_test::WebOpsEnv {};

TEST_F(WebCallTest, PostsTheArgumentWithTheTicketUnlessUnauthenticated) {
    std::string answer;
    std::string why;
    EXPECT_EQ(WebCall::Post({Server().Url("/echo"), "p=1&q=2", "TGT-42", false}, answer, why), 0);
    EXPECT_EQ(answer, "cookie=CASTGC=TGT-42;body=p=1&q=2");
    EXPECT_EQ(WebCall::Post({Server().Url("/echo"), "", "TGT-42", true}, answer, why), 0);
    EXPECT_EQ(answer, "cookie=;body=");
}

TEST_F(WebCallTest, FailuresGiveTheStatusOrTheTransportCode) {
    const std::string httpTarget = "http://127.0.0.1:9/x";
    const struct {
        std::string url;
        bool noAuth;
        std::int32_t rc;
    } cases[] = {
        {Server().Url("/status/404"), false, 404},
        {Server().Url("/status/500"), false, 500},
        // With the ticket no redirect leaves the origin; without it, none leaves https.
        {Server().Url("/redirect?to=" + httpTarget), false, 302},
        {Server().Url("/redirect?to=" + httpTarget), true, 1000 + 1},
        {httpTarget, false, 1000 + 1},
    };
    for (const auto& c : cases) {
        std::string answer = "stale";
        std::string why;
        EXPECT_EQ(WebCall::Post({c.url, "x", "TGT", c.noAuth}, answer, why), c.rc) << c.url;
        EXPECT_EQ(answer, "") << c.url;
    }
}

TEST_F(WebCallTest, RedirectsToHttpsAreFollowedWithTheBody) {
    std::string answer;
    std::string why;
    const std::string target = Server().Url("/echo");
    EXPECT_EQ(
        WebCall::Post({Server().Url("/redirect?to=" + target), "abc", "T", false}, answer, why), 0)
        << why;
    EXPECT_EQ(answer, "cookie=CASTGC=T;body=abc");
}

TEST_F(WebCallTest, ACertificateOutsideTheTrustStoreIsRefused) {
    SetEnv("QVYLD_TEST_CA_FILE", std::nullopt);
    std::string answer;
    std::string why;
    EXPECT_EQ(WebCall::Post({Server().Url("/echo"), "x", "T", false}, answer, why),
              Codes::kTransportBase + 60);
    EXPECT_EQ(Server().Log().find("POST /echo"), std::string::npos);
}

TEST_F(WebCallTest, RunReadsTheTicketFromTheIdentity) {
    JSON::JSONDocument args;
    ASSERT_EQ(args.Parse("{\"action\":\"CallWS\",\"arg\":null,\"url\":\"" + Server().Url("/echo") +
                         "\"}"),
              0);
    JSON::JSONDocument cinfo;
    ASSERT_EQ(cinfo.Parse("{\"cId\":\"p\",\"cCas\":\"TGT-9\"}"), 0);
    const WorkerOps::OpReply reply = WebCall::Run(*args.Root(), cinfo.Root());
    EXPECT_EQ(reply.rc, 0);
    ASSERT_TRUE(reply.content && reply.content->IsString());
    EXPECT_EQ(reply.content->GetString(), "cookie=CASTGC=TGT-9;body=");
}

class MediaDownloadTest : public webops_test::WebOpsEnv {
  protected:
    void TearDown() override {
        WorkerOps::DiskSpace::SetProbeForTests({});
        WebOpsEnv::TearDown();
    }

    // Publish puts a media on the server and describes it.
    MediaDownload::Media Publish(const std::string& name, const std::string& data,
                                 const std::string& route = "/media/") {
        vl_test::WriteFile(Server().MediaRoot() + "/" + name, data);
        return {name, Server().Url(route + name), Md5Hex(data), "MD5",
                static_cast<std::int64_t>(data.size())};
    }

    std::string Folder() const { return Path("dl"); }
    bool FolderIsEmpty() const {
        return !std::filesystem::exists(Folder()) || std::filesystem::is_empty(Folder());
    }
};

TEST_F(MediaDownloadTest, DownloadsUnderTheMediaNameWithTheRightBytes) {
    const std::string data = Bytes(3 << 20);
    std::string output;
    ASSERT_EQ(MediaDownload::Download(Publish("m1.zip", data), Folder(), output), 0);
    EXPECT_EQ(output, Folder() + "/m1.zip");
    EXPECT_EQ(vl_test::ReadFile(output), data);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Folder()), {}), 1);
}

TEST_F(MediaDownloadTest, AMismatchDeletesWhatWasWritten) {
    const std::string data = Bytes(200000, 2);
    MediaDownload::Media wrongHash = Publish("m2.zip", data);
    wrongHash.hash = Md5Hex("something else");
    MediaDownload::Media shorter = Publish("m3.zip", data);
    shorter.size -= 1;
    MediaDownload::Media longer = Publish("m4.zip", data);
    longer.size += 1;
    const struct {
        MediaDownload::Media media;
        std::int32_t rc;
    } cases[] = {{wrongHash, Codes::kDownloadChecksumMismatch},
                 {shorter, Codes::kDownloadSizeMismatch},
                 {longer, Codes::kDownloadSizeMismatch}};
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(MediaDownload::Download(c.media, Folder(), output), c.rc) << c.media.fileName;
        EXPECT_EQ(output, "");
        EXPECT_TRUE(FolderIsEmpty()) << c.media.fileName;
    }
}

TEST_F(MediaDownloadTest, TooLittleSpaceIsRefusedBeforeTheTransfer) {
    const MediaDownload::Media media = Publish("m5.zip", Bytes(100000, 3));
    WorkerOps::DiskSpace::SetProbeForTests([](const std::string&) { return 99999u; });
    std::string output;
    EXPECT_EQ(MediaDownload::Download(media, Folder(), output), Codes::kDownloadNoSpace);
    EXPECT_EQ(Server().Log(), "");
    EXPECT_TRUE(FolderIsEmpty());
}

TEST_F(MediaDownloadTest, AnInterruptedTransferResumesWithARange) {
    const std::string data = Bytes(1 << 20, 4);
    std::string output;
    ASSERT_EQ(MediaDownload::Download(Publish("m6.zip", data, "/flaky/"), Folder(), output), 0);
    EXPECT_EQ(vl_test::ReadFile(output), data);
    const std::string log = Server().Log();
    EXPECT_NE(log.find("GET /flaky/m6.zip range=-"), std::string::npos) << log;
    EXPECT_NE(log.find("GET /flaky/m6.zip range=bytes="), std::string::npos) << log;
}

TEST_F(MediaDownloadTest, APartLeftByAnEarlierRunIsContinued) {
    const std::string data = Bytes(300000, 5);
    const MediaDownload::Media media = Publish("m7.zip", data);
    vl_test::WriteFile(Folder() + "/m7.zip." + media.hash + ".part", data.substr(0, 120000));
    // A part of another media (another checksum) is not touched.
    vl_test::WriteFile(Folder() + "/m7.zip.0000.part", "other");
    std::string output;
    ASSERT_EQ(MediaDownload::Download(media, Folder(), output), 0);
    EXPECT_EQ(vl_test::ReadFile(output), data);
    EXPECT_NE(Server().Log().find("range=bytes=120000-"), std::string::npos) << Server().Log();
    EXPECT_EQ(vl_test::ReadFile(Folder() + "/m7.zip.0000.part"), "other");
}

TEST_F(MediaDownloadTest, RunAnswersTheResultAndThePath) {
    Publish("m8.zip", "tiny");
    JSON::JSONDocument args;
    ASSERT_EQ(args.Parse("{\"action\":\"DownloadMedia\",\"dest\":\"" + Folder() +
                         "\",\"mi\":{\"fileName\":\"m8.zip\",\"downloadLink\":\"" +
                         Server().Url("/media/m8.zip") + "\",\"hash\":\"" + Md5Hex("tiny") +
                         "\",\"hashAlgorithmLabel\":\"MD5\",\"size\":4}}"),
              0);
    const WorkerOps::OpReply reply = MediaDownload::Run(*args.Root());
    EXPECT_EQ(reply.rc, 0);
    EXPECT_EQ(reply.content->Get("rc")->GetInt(), 0);
    EXPECT_EQ(reply.content->Get("output")->GetString(), Folder() + "/m8.zip");
    JSON::JSONDocument bad;
    ASSERT_EQ(bad.Parse("{\"dest\":\"" + Folder() + "\",\"mi\":{\"fileName\":\"../x\"}}"), 0);
    EXPECT_EQ(MediaDownload::Run(*bad.Root()).content->Get("rc")->GetInt(),
              Codes::kDownloadBadMedia);
}

}  // namespace
