// "discoverAllInstall" as a page asks it: through the request dispatcher, with a plain argument.
#include <string>

#include "base/config.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "core/functionnal_core.h"
#include "discovery/discovery_env.h"
#include "front/launch_daemon_core.h"

namespace {

class DiscoverRequestTest : public DiscoveryEnv {
  protected:
    void SetUp() override {
        DiscoveryEnv::SetUp();
        vl_test::WriteFile(dir_.Path("sessions.json"),
                           R"([{"id": 1, "user": "u", "state": 0, "station": "console"}])");
        sessions_ =
            std::make_unique<vl_test::ScopedEnv>("QVYLD_SESSION_FILE", dir_.Path("sessions.json"));
        Config::Activate(ConfigId::NO_NEED_SEC);
        FunctionnalCore::ResetForTests();

        SampleInstall main;
        main.key = "Software\\Quorvanti\\Z5\\L24\\PROD\\ID_1";
        main.values = {{"Level", "L24"},       {"Path", Folder("one")}, {"Osds", "linux_a64"},
                       {"BigContent", "True"}, {"ProductLine", "X,,Y"}, {"ShortName", "One"}};
        main.processes = {"one.exe"};
        main.apps = {{{"id", "APP"}, {"brand", "BR"}, {"wb", "WB"}}};
        SampleInstall vanished = main;
        vanished.key = "Software\\Quorvanti\\Z5\\L24\\PROD\\ID_2";
        vanished.values["Path"] = Folder("two");
        vanished.folderExists = false;
        SampleInstall common;
        common.key = "Software\\Quorvanti\\Z5_Common\\TOOLS";
        common.values = {{"Level", "L25"},
                         {"Path", Folder("tools")},
                         {"Osds", "linux_a64"},
                         {"BigContent", "false"}};
        WriteStore({main, vanished, common});
    }
    void TearDown() override {
        FunctionnalCore::ResetForTests();
        sessions_.reset();
        DiscoveryEnv::TearDown();
    }

    static std::string Discover(const std::string& params) {
        return LaunchDaemonCore::HandleRequest(
            "function", "",
            "version=2.6&zorvidId=page&arg={\"functionName\":\"discoverAllInstall\",\"params\":" +
                params + "}",
            "POST", true);
    }

    static std::string Normal(const std::string& text) {
        JSON::JSONDocument document;
        EXPECT_EQ(document.Parse(text), 0) << text;
        return document.Root() != nullptr ? document.Root()->Print() : std::string();
    }

    std::string MainObject() const {
        return R"({"id":"<id>","level":"L24","GAlevel":null,"SPlevel":null,)"
               R"("shortName":"One","longName":null,"targetPath":")" +
               JsonFolder("one") +
               R"(","registry_Identifier":"ID_1","installationType":"PROD","osds":"linux_a64",)"
               R"("type":null,"lastBuildId":null,"isContentInstalled":true,)"
               R"("installedXtraProcesses":null,"installedProcesses":["one.exe"],)"
               R"("productLine":["X",null,"Y"],)"
               R"("apps":[{"appsId":"APP","appProductLine":"BR","workbench":"WB"}]})";
    }

    std::string CommonObject() const {
        return R"({"id":"<id>","level":"L25","GAlevel":null,"SPlevel":null,)"
               R"("shortName":null,"longName":null,"targetPath":")" +
               JsonFolder("tools") +
               R"(","registry_Identifier":null,"installationType":"TOOLS","osds":"linux_a64",)"
               R"("type":null,"lastBuildId":null,"isContentInstalled":false,)"
               R"("installedXtraProcesses":null,"installedProcesses":null,"productLine":null,)"
               R"("apps":null})";
    }

    static std::string Success(const std::string& content) {
        return Normal(R"({"returnCode":0,"commentary":"Success","content":)" + content + "}");
    }

    std::unique_ptr<vl_test::ScopedEnv> sessions_;
};

TEST_F(DiscoverRequestTest, AnswersWithTheMatchingInstallations) {
    // The ids hash the folders, which are new temporary folders: take them from the answer.
    const std::string all = Discover("{}");
    JSON::JSONDocument answer;
    ASSERT_EQ(answer.Parse(all), 0) << all;
    const JSON::JSONItem* content = answer.Root()->Get("content");
    ASSERT_TRUE(content != nullptr && content->IsArray()) << all;
    ASSERT_EQ(content->Size(), 2u) << all;
    const std::string mainId = content->GetAt(0)->Get("id")->GetString();
    const std::string commonId = content->GetAt(1)->Get("id")->GetString();
    std::string main = MainObject();
    main.replace(main.find("<id>"), 4, mainId);
    std::string common = CommonObject();
    common.replace(common.find("<id>"), 4, commonId);
    EXPECT_EQ(all, Success("[" + main + "," + common + "]"));
    const std::string log = vl_test::ReadFile(Logger::CurrentFilePath());
    EXPECT_NE(log.find(")] Valid Z5install found counter: 2\n"), std::string::npos);
    EXPECT_NE(log.find(")]Current JSON array: " + Normal("[" + main + "," + common + "]") + "\n"),
              std::string::npos);
    EXPECT_NE(log.find("[Z5Install::Z5Install]Invalid Installation found in the registry ! this "
                       "path '" +
                       Folder("two") + "' does not exist."),
              std::string::npos);

    const std::pair<std::string, std::string> rows[] = {
        {R"({"level":"L25"})", "[" + common + "]"},
        {R"({"instType":"PROD"})", "[" + main + "]"},
        {R"({"installPath":")" + JsonFolder("tools") + R"("})", "[" + common + "]"},
        {R"({"instID":")" + mainId + R"("})", "[" + main + "]"},
        {R"({"level":"L24","instID":")" + commonId + R"("})", "[]"},
        {R"({"installationType":"TOOLS"})", "[" + main + "," + common + "]"},
        {R"({"level":"L26"})", "[]"},
    };
    for (const auto& [params, content] : rows) {
        EXPECT_EQ(Discover(params), Success(content)) << params;
    }
}

TEST_F(DiscoverRequestTest, RefusedDuringASelfUpdate) {
    FunctionnalCore::Lock(FunctionnalCore::SELF_UPDATE_LOCK);
    JSON::JSONDocument answer;
    ASSERT_EQ(answer.Parse(Discover("{}")), 0);
    EXPECT_EQ(answer.Root()->Get("returnCode")->GetInt(), 100);
    EXPECT_EQ(answer.Root()->Get("content")->Print(),
              Normal(R"({"functionName":"discoverAllInstall","params":{}})"));
}

TEST_F(DiscoverRequestTest, UnreadableStoreIsARegistryAccessError) {
    ASSERT_TRUE(registry_.MakeUnreadable());
    JSON::JSONDocument answer;
    ASSERT_EQ(answer.Parse(Discover("{}")), 0);
    EXPECT_EQ(answer.Root()->Get("returnCode")->GetInt(), 25);
    EXPECT_EQ(answer.Root()->Get("commentary")->GetString(), "Registry access error");
}

}  // namespace
