// The media catalogue road through the real worker, against the local catalogue and
// monitoring stand-in: the catalogue query, the download of the media it describes (the
// MediaInfo JSON as "DownloadMedia" reads it), the unpacking, the content list, and the
// remote installation log.
#include <filesystem>

#include "base/zorvid_request_info.h"
#include "fixtures/catalogue/catalogue_stand_in.h"
#include "install/media_info.h"
#include "session/data_sink.h"
#include "session/media_catalogue.h"
#include "session/operations_as_user_web.h"
#include "webops_env.h"

namespace {

class CatalogueWorkerTest : public webops_test::WebOpsEnv {
  protected:
    void SetUp() override {
        WebOpsEnv::SetUp();
        if (IsSkipped()) {
            return;
        }
        UseOwnWorker("catalogue-test");
        Configure({"IGNORE_TOKEN_ERROR"});
    }

    const catalogue_test::CatalogueStandIn& catalogue_ = Server();
    const ZorvidRequestInfo identity_{"page-1", "TGT-7", "", "", "", "2.6"};
};

TEST_F(CatalogueWorkerTest, CatalogueMediaIsDownloadedUnpackedAndReadThroughTheWorker) {
    ASSERT_TRUE(vl_test::WriteFile(Path("setup.sh"), "#!/bin/sh\nexit 0\n"));
    catalogue_test::MediaArchive archive{"DSG_L24.zip", "DSG_L24"};
    archive.programs = {{"setup", Path("setup.sh")}};
    archive.cafs = "CODE\\linux_b64\\DSG.a b 100 DELTA TOP_PRODUCT\nc d 20\n";
    archive.mediaDb = true;
    ASSERT_TRUE(catalogue_.MakeMedia(archive));
    ASSERT_TRUE(catalogue_.SetRules(
        R"([{"method": "Media::findV2", "params": {"onlineInstanceID": "OI-1"},
             "media": ["DSG_L24.zip"]},
            {"method": "Media::findV2", "raw": "<html>maintenance</html>"}])"));

    std::vector<MediaInfo> medias;
    ASSERT_TRUE(Operations::GetProductInfo("L24", catalogue_.Url(), "linux_b64", "", "L24.3",
                                           "CODE", "", "OI-1", "", "", {"DSG"}, medias, identity_));
    ASSERT_EQ(medias.size(), 1u);
    ASSERT_TRUE(medias[0].IsValid()) << medias[0].ToString();
    EXPECT_EQ(medias[0].GetSize(), 1048576);  // whole megabytes, more than the archive holds
    std::vector<MediaInfo> none;
    EXPECT_FALSE(Operations::GetProductInfo("L24", catalogue_.Url(), "linux_b64", "", "L24.3",
                                            "CODE", "", "OI-2", "", "", {"DSG"}, none, identity_));

    // The catalogue's size is no byte count: the checksum decides.
    std::string downloaded = Path("dl");
    std::int32_t downloadResult = -1;
    ASSERT_EQ(Operations::AsUser::DownloadMediaAsUser(identity_, downloaded,
                                                      medias[0].ToJSON()->Print(), downloadResult),
              0u);
    ASSERT_EQ(downloadResult, WebOperationCodes::kDownloadOk);
    EXPECT_EQ(downloaded, Path("dl/DSG_L24.zip"));

    std::string unzipFolder;
    std::int32_t unzipResult = -1;
    ASSERT_EQ(Operations::AsUser::UnzipAsUser(identity_, downloaded, unzipFolder, unzipResult), 0u);
    ASSERT_EQ(unzipResult, WebOperationCodes::kUnzipOk);
    const std::string media = unzipFolder + "/DSG_L24";
    MediaContent content(media);
    EXPECT_TRUE(content.Parse());
    EXPECT_EQ(content.GetTotalSize(), 120u);
    EXPECT_EQ(content.GetTopProductList(), std::vector<std::string>{"CODE\\linux_b64\\DSG.a"});
    EXPECT_TRUE(std::filesystem::exists(media + "/1/media.db"));
    const auto permissions = std::filesystem::status(media + "/1/setup").permissions();
    EXPECT_NE(permissions & std::filesystem::perms::owner_exec, std::filesystem::perms::none);
    std::error_code ignored;
    std::filesystem::remove_all(media, ignored);  // the user's real unzip folder

    const std::vector<JSON::ItemPtr> finds = catalogue_.Calls("Media::findV2");
    ASSERT_EQ(finds.size(), 2u);
    EXPECT_EQ(finds[0]->Get("cookie")->GetString(), "CASTGC=TGT-7");
}

TEST_F(CatalogueWorkerTest, TheRemoteLogReachesTheMonitoringServiceInOrder) {
    DataSink sink(identity_, catalogue_.Url());
    ASSERT_TRUE(sink.Open());
    EXPECT_EQ(sink.GetInstallId(), "MON-1");
    EXPECT_TRUE(sink.Log("daemon-current_version", "2.6"));
    EXPECT_TRUE(sink.LogDatetime("daemon-installer_time_start"));
    EXPECT_TRUE(sink.Log("daemon-installer_end_status", "SUCCESS"));
    EXPECT_EQ(catalogue_.LoggedKeys(),
              (std::vector<std::string>{"daemon-current_version", "daemon-installer_time_start",
                                        "daemon-installer_end_status"}));
    const std::vector<JSON::ItemPtr> logs = catalogue_.Calls("InstallationMonitoringV1::log");
    EXPECT_EQ(logs[0]->Get("params")->Get("installation")->GetString(), "MON-1");
}

}  // namespace
