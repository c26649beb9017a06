// The media catalogue query (Operations::GetProductInfo) and the remote installation log
// (DataSink), driven through a recording transport in place of the worker's "CallWS".
#include <gtest/gtest.h>

#include <deque>
#include <regex>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/json/json.h"
#include "base/zorvid_request_info.h"
#include "session/data_sink.h"
#include "session/media_catalogue.h"
#include "support/test_support.h"

namespace {

// Transport records every call and answers from a queue (the last answer repeats).
struct Transport {
    struct Call {
        std::string url;
        std::string argument;
    };
    std::vector<Call> calls;
    std::deque<std::string> answers{"{}"};
    std::uint32_t status = 0;

    Operations::AsUser::WebServiceCall Seam() {
        return [this](const ZorvidRequestInfo&, const std::string& url, const std::string& argument,
                      std::string& answer) {
            calls.push_back({url, argument});
            answer = answers.front();
            if (answers.size() > 1) {
                answers.pop_front();
            }
            return status;
        };
    }
};

JSON::ItemPtr ParseJson(const std::string& text) {
    JSON::JSONDocument document;
    if (document.Parse(text) != 0) {
        return nullptr;
    }
    return document.Release();
}

std::vector<std::string> Keys(const JSON::JSONItem& object) {
    std::vector<std::string> keys;
    for (const auto& member : object.AsObject()->Members()) {
        keys.push_back(member->first);
    }
    return keys;
}

const std::regex kRpcId(R"(\d{4}_\d{2}_\d{2}-\d{6}[+-]\d{4}[a-z]?)");

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vl_test::ResetInfrastructure();
        Config::Init(dir_.Path("none.conf"));
    }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    bool Query(const std::string& clusterID, const std::string& type,
               std::vector<MediaInfo>& medias, const std::string& siteID = "S1") {
        return Operations::GetProductInfo("L24", "https://catalogue.test/rpc", "linux_b64", type,
                                          "L24.3", "CODE", "", "", siteID, clusterID,
                                          {"DSG", "RND"}, medias, user_, transport_.Seam());
    }

    vl_test::TempDir dir_;
    ZorvidRequestInfo user_{"page-1"};
    Transport transport_;
};

TEST_F(CatalogueTest, MethodAndParameterOrderFollowTheClusterAndType) {
    struct Case {
        std::string clusterID, type, method;
        std::vector<std::string> keys;
    };
    const std::vector<std::string> common{"siteID",          "onlineInstanceID", "release",
                                          "operatingSystem", "codeLevel",        "codeType",
                                          "levelType",       "processTrigrams"};
    auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), common.begin(), common.end());
        return head;
    };
    const std::vector<Case> cases{
        {"", "", "Media::findV2", common},
        {"", "T", "Media::findV2", common},  // a type alone changes nothing
        {"C1", "", "MediaV3::find", with({"clusterID"})},
        {"C1", "T", "MediaV4::find", with({"clusterID", "type"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.clusterID + "/" + c.type);
        transport_.calls.clear();
        transport_.answers = {R"({"result": []})"};
        std::vector<MediaInfo> medias;
        ASSERT_TRUE(Query(c.clusterID, c.type, medias));
        ASSERT_EQ(transport_.calls.size(), 1u);
        EXPECT_EQ(transport_.calls[0].url, "https://catalogue.test/rpc");
        const JSON::ItemPtr request = ParseJson(transport_.calls[0].argument);
        ASSERT_TRUE(request && request->IsObject());
        EXPECT_EQ(Keys(*request), (std::vector<std::string>{"id", "method", "params"}));
        EXPECT_TRUE(std::regex_match(request->Get("id")->GetString(), kRpcId))
            << request->Get("id")->GetString();
        EXPECT_EQ(request->Get("method")->GetString(), c.method);
        const JSON::JSONItem* params = request->Get("params");
        EXPECT_EQ(Keys(*params), c.keys);
        // Empty texts travel as null, the trigrams as an array of strings.
        EXPECT_TRUE(params->Get("onlineInstanceID")->IsNull());
        EXPECT_TRUE(params->Get("levelType")->IsNull());
        EXPECT_EQ(params->Get("operatingSystem")->GetString(), "linux_b64");
        EXPECT_EQ(params->Get("processTrigrams")->Print(), R"(["DSG", "RND"])");
    }
}

TEST_F(CatalogueTest, MissingArgumentsFailWithoutCallingTheService) {
    struct Case {
        const char* what;
        std::string release, url, osds, siteID, instanceID;
        std::vector<std::string> trigrams;
    };
    const std::vector<Case> cases{
        {"no release", "", "https://c/rpc", "linux_b64", "S1", "", {"DSG"}},
        {"no url", "L24", "", "linux_b64", "S1", "", {"DSG"}},
        {"no osds", "L24", "https://c/rpc", "", "S1", "", {"DSG"}},
        {"no trigram", "L24", "https://c/rpc", "linux_b64", "S1", "", {}},
        {"no site nor instance", "L24", "https://c/rpc", "linux_b64", "", "", {"DSG"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<MediaInfo> medias;
        EXPECT_FALSE(Operations::GetProductInfo(c.release, c.url, c.osds, "", "", "", "",
                                                c.instanceID, c.siteID, "", c.trigrams, medias,
                                                user_, transport_.Seam()));
    }
    EXPECT_TRUE(transport_.calls.empty());
    // Either identifier alone is enough.
    transport_.answers = {R"({"result": []})"};
    std::vector<MediaInfo> medias;
    EXPECT_TRUE(Operations::GetProductInfo("L24", "https://c/rpc", "linux_b64", "", "", "", "",
                                           "OI-7", "", "", {"DSG"}, medias, user_,
                                           transport_.Seam()));
}

TEST_F(CatalogueTest, BadAnswersFailAndNonObjectElementsAreSkipped) {
    struct Case {
        const char* answer;
        std::uint32_t status;
        bool ok;
        std::size_t medias;
    };
    const std::vector<Case> cases{
        {"", 1007, false, 0},  // no answer at all
        {"<html>502</html>", 0, false, 0},
        {R"(["not", "an", "object"])", 0, false, 0},
        {R"({"error": "no such release", "result": []})", 0, false, 0},
        {R"({"id": "x"})", 0, false, 0},
        {R"({"result": {"url": "https://m/a.zip"}})", 0, false, 0},
        {R"({"result": "none"})", 0, false, 0},
        {R"({"result": []})", 0, true, 0},
        {R"({"error": null, "result": [7, {"url": "https://m/a.zip", "md5": "aa"}, "x", null,
             [], {"url": "https://m/b.zip", "md5": "bb"}]})",
         0, true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        transport_.answers = {c.answer};
        transport_.status = c.status;
        std::vector<MediaInfo> medias;
        EXPECT_EQ(Query("", "", medias), c.ok);
        EXPECT_EQ(medias.size(), c.medias);
    }
}

TEST_F(CatalogueTest, ResultElementsBecomeMediaDescriptions) {
    transport_.answers = {R"({"result": [
        {"description": "Design media", "url": "https://m.test/dl/L24/DSG_L24.zip",
         "md5": "0123abcd", "size": "12", "DOVPath": "https://m.test/dov/DSG"},
        {"url": "media-without-slash.zip", "md5": "ef", "size": 3},
        {"url": "https://m.test/c.zip", "md5": "cc", "size": "-4"},
        {"url": "https://m.test/d.zip", "md5": "dd", "size": "99999999999999999"},
        {"url": "https://m.test/e.zip", "size": "1"}]})"};
    std::vector<MediaInfo> medias;
    ASSERT_TRUE(Query("", "", medias));
    ASSERT_EQ(medias.size(), 5u);
    const MediaInfoFields& first = medias[0].Fields();
    EXPECT_EQ(first.fileName, "DSG_L24.zip");
    EXPECT_EQ(first.downloadLink, "https://m.test/dl/L24/DSG_L24.zip");
    EXPECT_EQ(first.desc, "Design media");
    EXPECT_EQ(first.dovDownloadLink, "https://m.test/dov/DSG");
    EXPECT_EQ(first.hash, "0123abcd");
    EXPECT_EQ(first.hashAlgorithmLabel, "MD5");
    EXPECT_EQ(first.codelevel, "L24.3");
    EXPECT_EQ(first.size, 12 * 1048576);
    EXPECT_FALSE(first.isHF);
    EXPECT_TRUE(medias[0].IsValid());
    // A name without "/" is the whole URL; a size that is no string counts as none.
    EXPECT_EQ(medias[1].GetFileName(), "media-without-slash.zip");
    EXPECT_EQ(medias[1].GetSize(), 0);
    EXPECT_TRUE(medias[1].IsValid());
    // Negative or overflowing sizes, and a missing checksum, make the media unusable.
    EXPECT_FALSE(medias[2].IsValid());
    EXPECT_FALSE(medias[3].IsValid());
    EXPECT_FALSE(medias[4].IsValid());
}

TEST(MediaInfoTest, JsonAndTextFormsKeepTheFieldOrder) {
    MediaInfo media(
        MediaInfoFields{"a.zip", "https://m/a.zip", "", "", "AB12", "MD5", "L24.3", 5242880, true});
    EXPECT_EQ(media.ToJSON()->Print(),
              R"({"fileName": "a.zip", "downloadLink": "https://m/a.zip", "desc": null, )"
              R"("dovDownloadLink": null, "hash": "AB12", "hashAlgorithmLabel": "MD5", )"
              R"("codelevel": "L24.3", "size": 5242880, "isHF": true})");
    EXPECT_EQ(media.ToString(),
              "MediaInfo [fileName:a.zip, downloadLink:https://m/a.zip, desc:, dovDownloadLink:, "
              "hash:AB12, hashAlgorithmLabel:MD5, codelevel:L24.3, size:5242880, isHF:true, "
              "isValid:true]");
    EXPECT_FALSE(MediaInfo().IsValid());
    EXPECT_FALSE(MediaInfo().ToJSON()->Get("isValid"));
}

// ----- MediaContent -----

TEST(MediaContentTest, ParsesEntriesSizesDeltasAndTopProducts) {
    struct Case {
        const char* what;
        const char* content;  // nullptr: no file
        bool ok;
        std::uint64_t total;
        std::vector<std::string> delta, top;
    };
    const std::vector<Case> cases{
        {"example", "a b 100 DELTA TOP_PRODUCT\nc d 20\n", true, 120, {"a"}, {"a"}},
        {"flags only by position",
         "x 1 5 TOP_PRODUCT\ny 2 6 DELTA\nz 3 7 - TOP_PRODUCT\nshort\n\n  w  4\t8 \r\n",
         true,
         26,
         {"y"},
         {"z"}},
        {"no sizes", "a b\nc d\n", true, 0, {}, {}},
        // A repeated name takes the later line's value and size; the total counts both.
        {"repeated name", "a v1 10 DELTA\nb w 1\na v2 30\n", true, 41, {"a"}, {}},
        {"largest size", "a b 18446744073709551615\n", true, 18446744073709551615ull, {}, {}},
        {"missing file", nullptr, false, 0, {}, {}},
        {"empty file", "", false, 0, {}, {}},
        {"size not a number", "a b 100\nc d 2x\n", false, 0, {}, {}},
        {"negative size", "a b -1\n", false, 0, {}, {}},
        {"total overflows", "a b 18446744073709551615\nc d 1\n", false, 0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vl_test::TempDir dir;
        if (c.content != nullptr) {
            ASSERT_TRUE(vl_test::WriteFile(dir.Path("1/inst/cafs.data"), c.content));
        }
        MediaContent content(dir.Path());
        EXPECT_TRUE(content.Parse() == c.ok && content.Parse() == c.ok);  // afresh each time
        EXPECT_EQ(content.IsParsed(), c.ok);
        if (c.ok) {
            EXPECT_EQ(content.GetTotalSize(), c.total);
            EXPECT_EQ(content.GetDeltaList(), c.delta);
            EXPECT_EQ(content.GetTopProductList(), c.top);
        }
        if (std::string(c.what) == "repeated name") {
            EXPECT_EQ(content.GetEntries().at("a"), "v2");
            EXPECT_EQ(content.GetSizes().at("a"), 30u);
        }
    }
}

// ----- DataSink -----

class DataSinkTest : public CatalogueTest {};

TEST_F(DataSinkTest, OpenThenLogSendsTheMonitoringRequests) {
    transport_.answers = {R"({"result": "MON-42"})", R"({"result": true})"};
    DataSink sink(user_, "http://monitor.test/rpc", transport_.Seam());
    EXPECT_FALSE(sink.IsOpened());
    ASSERT_TRUE(sink.Open());
    EXPECT_TRUE(sink.IsOpened());
    EXPECT_EQ(sink.GetInstallId(), "MON-42");
    EXPECT_TRUE(sink.Open());  // already open: nothing sent
    EXPECT_TRUE(sink.Log("daemon-install_level_type", "GA"));
    EXPECT_TRUE(sink.Log("daemon-installer_last_error", ""));
    EXPECT_TRUE(sink.LogDatetime("daemon-installer_time_start", 86400 * 365));
    EXPECT_TRUE(sink.LogData("custom", "string", nullptr));
    transport_.status = 1028;  // a failed call is reported, and the sink stays open
    EXPECT_FALSE(sink.Log("lost", "v"));
    EXPECT_TRUE(sink.IsOpened());
    ASSERT_EQ(transport_.calls.size(), 6u);

    const JSON::ItemPtr open = ParseJson(transport_.calls[0].argument);
    ASSERT_TRUE(open);
    EXPECT_EQ(Keys(*open), (std::vector<std::string>{"id", "method", "params"}));
    EXPECT_TRUE(std::regex_match(open->Get("id")->GetString(), kRpcId));
    EXPECT_EQ(open->Get("method")->GetString(), "InstallationMonitoringV1::create");
    EXPECT_TRUE(open->Get("params")->IsNull());

    const char* expected[] = {
        R"({"installation": "MON-42", "key": "daemon-install_level_type", "type": "string", "value": "GA"})",
        R"({"installation": "MON-42", "key": "daemon-installer_last_error", "type": "string", "value": null})",
        nullptr,
        R"({"installation": "MON-42", "key": "custom", "type": "string", "value": null})",
    };
    for (std::size_t i = 1; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(transport_.calls[i].url, "http://monitor.test/rpc");
        const JSON::ItemPtr log = ParseJson(transport_.calls[i].argument);
        ASSERT_TRUE(log);
        EXPECT_EQ(log->Get("method")->GetString(), "InstallationMonitoringV1::log");
        if (expected[i - 1] != nullptr) {
            EXPECT_EQ(log->Get("params")->Print(), expected[i - 1]);
        }
    }
    const JSON::ItemPtr datetime = ParseJson(transport_.calls[3].argument);
    EXPECT_EQ(datetime->Get("params")->Get("type")->GetString(), "datetime");
    EXPECT_TRUE(std::regex_match(
        datetime->Get("params")->Get("value")->GetString(),
        std::regex(R"(19(70-12-31|71-01-0[12])T\d{2}:\d{2}:\d{2}[+-]\d{4}[a-z]?)")))
        << datetime->Get("params")->Get("value")->GetString();
}

TEST_F(DataSinkTest, UnusableOpenAnswersLeaveTheSinkClosed) {
    struct Case {
        const char* answer;
        std::uint32_t status;
    };
    const std::vector<Case> cases{
        {R"({"result": 42})", 0}, {R"({"result": ""})", 0}, {R"({"error": "down"})", 0},
        {"not json", 0},          {R"(["MON-1"])", 0},      {R"({"result": "MON-1"})", 503},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        transport_.calls.clear();
        transport_.answers = {c.answer};
        transport_.status = c.status;
        DataSink sink(user_, "http://monitor.test/rpc", transport_.Seam());
        EXPECT_FALSE(sink.Open());
        EXPECT_FALSE(sink.IsOpened());
        EXPECT_FALSE(sink.Log("k", "v"));
        EXPECT_EQ(transport_.calls.size(), 1u);  // the log call is never sent
    }
    DataSink noUrl(user_, "", transport_.Seam());
    EXPECT_FALSE(noUrl.Open());
}

TEST_F(DataSinkTest, DisabledSinkSendsNothing) {
    Config::Activate(ConfigId::DISABLE_REMOTE_LOGGING);
    DataSink sink(user_, "http://monitor.test/rpc", transport_.Seam());
    EXPECT_FALSE(sink.IsEnabled());
    EXPECT_TRUE(sink.Open());
    EXPECT_FALSE(sink.IsOpened());
    EXPECT_FALSE(sink.Log("k", "v"));
    EXPECT_FALSE(sink.LogDatetime("t"));
    EXPECT_TRUE(transport_.calls.empty());
}

}  // namespace
