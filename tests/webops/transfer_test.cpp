// Web-service calls and media downloads against the local HTTPS server.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

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

// The argument goes with the ticket unless unauthenticated; redirects to https are followed
// with the body. Failures give the status or the transport code, and no answer.
TEST_F(WebCallTest, PostsAndAnswersOrFailsWithTheStatusOrTheTransportCode) {
    const std::string httpTarget = "http://127.0.0.1:9/x";
    const struct {
        std::string url, body;
        bool noAuth;
        std::int32_t rc;
        std::string answer;
    } cases[] = {
        {Server().Url("/echo"), "p=1&q=2", false, 0, "cookie=CASTGC=TGT;body=p=1&q=2"},
        {Server().Url("/echo"), "", true, 0, "cookie=;body="},
        {Server().Url("/redirect?to=" + Server().Url("/echo")), "abc", false, 0,
         "cookie=CASTGC=TGT;body=abc"},
        {Server().Url("/status/404"), "x", false, 404, ""},
        {Server().Url("/status/500"), "x", false, 500, ""},
        // With the ticket no redirect leaves the origin; without it, none leaves https.
        {Server().Url("/redirect?to=" + httpTarget), "x", false, 302, ""},
        {Server().Url("/redirect?to=" + httpTarget), "x", true, 1000 + 1, ""},
        {httpTarget, "x", false, 1000 + 1, ""},
    };
    for (const auto& c : cases) {
        std::string answer = "stale";
        std::string why;
        EXPECT_EQ(WebCall::Post({c.url, c.body, "TGT", c.noAuth}, answer, why), c.rc) << c.url;
        EXPECT_EQ(answer, c.answer) << c.url;
    }
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

    // Publish puts a media on the server and describes it as the catalogue does: its size
    // is a rounded figure, not a byte count to match.
    MediaDownload::Media Publish(const std::string& name, const std::string& data,
                                 const std::string& route = "/media/") {
        vl_test::WriteFile(Server().MediaFolder() + "/" + name, data);
        return {name, Server().Url(route + name), Md5Hex(data), "MD5",
                static_cast<std::int64_t>(data.size())};
    }

    std::string Folder() const { return Path("dl"); }
    std::string PartOf(const MediaDownload::Media& media) const {
        return Folder() + "/" + media.fileName + "." + media.hash + ".part";
    }
    std::vector<std::string> FolderNames() const {
        std::vector<std::string> names;
        if (std::filesystem::exists(Folder())) {
            for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    void EmptyFolder() const { std::filesystem::remove_all(Folder()); }
};

using Names = std::vector<std::string>;

TEST_F(MediaDownloadTest, DownloadsUnderTheMediaNameWithTheRightBytes) {
    const std::string data = Bytes(3 << 20);
    std::string output;
    ASSERT_EQ(MediaDownload::Download(Publish("m1.zip", data), Folder(), output), 0);
    EXPECT_EQ(output, Folder() + "/m1.zip");
    EXPECT_EQ(vl_test::ReadFile(output), data);
    EXPECT_EQ(FolderNames(), Names{"m1.zip"});
}

// The checksum decides; the size is a byte count to match only when it is said to be exact.
TEST_F(MediaDownloadTest, TheChecksumDecidesAndOnlyAnExactSizeIsMatched) {
    const std::string data = Bytes(200000, 2);
    const std::int64_t size = static_cast<std::int64_t>(data.size());
    std::string upper = Md5Hex(data);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const struct {
        std::string name;
        std::string hash;  // empty: the right one in lower case
        std::int64_t size;
        bool exact;
        std::int32_t rc;
    } cases[] = {
        {"rounded-up.zip", "", 1 << 20, false, Codes::kDownloadOk},
        {"rounded-down.zip", "", size - 150000, false, Codes::kDownloadOk},
        {"upper-hex.zip", upper, size, true, Codes::kDownloadOk},
        {"wrong-hash.zip", Md5Hex("something else"), size, false, Codes::kDownloadChecksumMismatch},
        {"exact-shorter.zip", "", size - 1, true, Codes::kDownloadSizeMismatch},
        {"exact-longer.zip", "", size + 1, true, Codes::kDownloadSizeMismatch},
    };
    for (const auto& c : cases) {
        MediaDownload::Media media = Publish(c.name, data);
        media.hash = c.hash.empty() ? media.hash : c.hash;
        media.size = c.size;
        media.exactSize = c.exact;
        std::string output;
        EXPECT_EQ(MediaDownload::Download(media, Folder(), output), c.rc) << c.name;
        if (c.rc == Codes::kDownloadOk) {
            EXPECT_EQ(vl_test::ReadFile(output), data) << c.name;
            EXPECT_EQ(FolderNames(), Names{c.name});
        } else {
            EXPECT_EQ(output, "") << c.name;
            EXPECT_EQ(FolderNames(), Names{}) << c.name;
        }
        EmptyFolder();
    }
}

// Only what is still missing of the media must fit.
TEST_F(MediaDownloadTest, FreeSpaceIsCheckedForTheRemainderBeforeTheTransfer) {
    const std::string data = Bytes(100000, 3);
    const struct {
        std::size_t present;
        std::uint64_t free;
        std::int32_t rc;
    } cases[] = {
        {0, 99999, Codes::kDownloadNoSpace},
        {60000, 40000, Codes::kDownloadOk},
        {60000, 39999, Codes::kDownloadNoSpace},
    };
    for (const auto& c : cases) {
        const MediaDownload::Media media = Publish("space.zip", data);
        if (c.present > 0) {
            vl_test::WriteFile(PartOf(media), data.substr(0, c.present));
        }
        WorkerOps::DiskSpace::SetProbeForTests([&c](const std::string&) { return c.free; });
        Server().ClearRecords();
        std::string output;
        EXPECT_EQ(MediaDownload::Download(media, Folder(), output), c.rc) << c.free;
        if (c.rc == Codes::kDownloadNoSpace) {
            EXPECT_EQ(Server().Log(), "");
            // A part already there is kept for a later try.
            EXPECT_EQ(FolderNames(),
                      c.present > 0 ? Names{"space.zip." + media.hash + ".part"} : Names{});
        } else {
            EXPECT_EQ(vl_test::ReadFile(output), data);
        }
        EmptyFolder();
    }
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

// A part left by an earlier run is continued where the server honours the range, and
// replaced from the first byte where it ignores the range (200) or refuses it (416).
TEST_F(MediaDownloadTest, APartLeftByAnEarlierRunIsContinuedOrReplaced) {
    const std::string data = Bytes(300000, 5);
    const struct {
        std::string route;
        std::string part;
        bool exact;
        std::string request;  // expected in the server's log; empty: no request at all
    } cases[] = {
        {"/media/", data.substr(0, 120000), false, "range=bytes=120000-"},
        {"/whole/", data.substr(0, 120000), false, "range=bytes=120000-"},
        {"/whole/", Bytes(400000, 6), false, "range=bytes=400000-"},
        {"/media/", data, false, "range=bytes=300000-"},
        {"/media/", data, true, ""},
    };
    for (const auto& c : cases) {
        const MediaDownload::Media media = [&] {
            MediaDownload::Media m = Publish("m7.zip", data, c.route);
            m.exactSize = c.exact;
            return m;
        }();
        vl_test::WriteFile(PartOf(media), c.part);
        // A part of another media (another checksum) is not touched.
        vl_test::WriteFile(Folder() + "/m7.zip.0000.part", "other");
        Server().ClearRecords();
        const std::string label = c.route + " " + std::to_string(c.part.size());
        std::string output;
        ASSERT_EQ(MediaDownload::Download(media, Folder(), output), 0) << label;
        EXPECT_EQ(vl_test::ReadFile(output), data) << label;
        EXPECT_EQ(FolderNames(), (Names{"m7.zip", "m7.zip.0000.part"})) << label;
        EXPECT_EQ(vl_test::ReadFile(Folder() + "/m7.zip.0000.part"), "other");
        const std::string log = Server().Log();
        EXPECT_TRUE(c.request.empty() ? log.empty() : log.find(c.request) != std::string::npos)
            << label << "\n"
            << log;
        EmptyFolder();
    }
}

// A description with a code level comes from the catalogue (its size in rounded megabytes);
// one without is the launcher's own package, whose size is a byte count.
TEST_F(MediaDownloadTest, RunAnswersTheResultAndThePath) {
    Publish("m8.zip", "tiny");
    const struct {
        std::string extra;
        std::int32_t rc;
    } cases[] = {{"\"size\":4", Codes::kDownloadOk},
                 {"\"codelevel\":\"L24\",\"size\":1048576", Codes::kDownloadOk},
                 {"\"size\":1048576", Codes::kDownloadSizeMismatch}};
    for (const auto& c : cases) {
        JSON::JSONDocument args;
        ASSERT_EQ(args.Parse("{\"action\":\"DownloadMedia\",\"dest\":\"" + Folder() +
                             "\",\"mi\":{\"fileName\":\"m8.zip\",\"downloadLink\":\"" +
                             Server().Url("/media/m8.zip") + "\",\"hash\":\"" + Md5Hex("tiny") +
                             "\",\"hashAlgorithmLabel\":\"MD5\"," + c.extra + "}}"),
                  0);
        const WorkerOps::OpReply reply = MediaDownload::Run(*args.Root());
        EXPECT_EQ(reply.rc, 0);
        EXPECT_EQ(reply.content->Get("rc")->GetInt(), c.rc) << c.extra;
        EXPECT_EQ(reply.content->Get("output")->GetString(),
                  c.rc == 0 ? Folder() + "/m8.zip" : Folder());
        EmptyFolder();
    }
    JSON::JSONDocument bad;
    ASSERT_EQ(bad.Parse("{\"dest\":\"" + Folder() + "\",\"mi\":{\"fileName\":\"../x\"}}"), 0);
    EXPECT_EQ(MediaDownload::Run(*bad.Root()).content->Get("rc")->GetInt(),
              Codes::kDownloadBadMedia);
}

}  // namespace
