// The installation scan: records built from the store, the filter, and the stable ids.
#include <string>
#include <vector>

#include "discovery/discovery_env.h"
#include "install/win_registry.h"

namespace {

class ScanTest : public DiscoveryEnv {
  protected:
    void SetUp() override {
        DiscoveryEnv::SetUp();
        const std::string z5 = "Software\\Quorvanti\\Z5\\";
        SampleInstall a = Sample(z5 + "L24\\PROD\\ID_A", "L24.3", "a");
        a.values.insert({{"PkgId", "B42"},
                         {"SPlevel", "SP3"},
                         {"GAlevel", "L24"},
                         {"LongName", "Product \"A\""},
                         {"ShortName", "A"},
                         {"Type", "full"},
                         {"BigContent", "TRUE"},
                         {"ProductLine", "A,B,,C"}});
        a.processes = {"alpha.exe", "beta.exe"};
        a.xtraProcesses = {"xtra.exe"};
        a.apps = {{{"id", "APP1"}, {"brand", "BR1"}, {"wb", "WB1"}}, {{"id", "APP2"}}};
        SampleInstall b = Sample(z5 + "L24\\PROD\\ID_B", "L24", "b");
        b.values["BigContent"] = "false";
        SampleInstall c = Sample(z5 + "L25\\DEV\\ID_C", "L25", "c");
        c.values["BigContent"] = "maybe";
        SampleInstall gone = Sample(z5 + "L25\\DEV\\ID_GONE", "L25", "gone");
        gone.folderExists = false;
        SampleInstall noOsds = Sample(z5 + "L25\\DEV\\ID_NO_OSDS", "L25", "no_osds");
        noOsds.values.erase("Osds");
        SampleInstall tools = Sample("Software\\Quorvanti\\Z5_Common\\TOOLS", "L25", "tools");
        installs_ = {a, b, c, gone, noOsds, tools};
        WriteStore(installs_);
    }

    SampleInstall Sample(const std::string& key, const std::string& level,
                         const std::string& folder) const {
        SampleInstall install;
        install.key = key;
        install.values = {{"Level", level}, {"Path", Folder(folder)}, {"Osds", "linux_a64"}};
        return install;
    }

    std::vector<Z5Install> Find(const Z5InstallFilter& filter = {}) {
        std::vector<Z5Install> found;
        EXPECT_TRUE(WinRegistry::FindInstall(filter, found));
        return found;
    }

    static std::vector<std::string> Identifiers(const std::vector<Z5Install>& installs) {
        std::vector<std::string> names;
        for (const auto& install : installs) {
            names.push_back(install.Fields().registry_Identifier + "/" +
                            install.Fields().installationType);
        }
        return names;
    }

    // Normal is the library's compact text of a JSON text.
    static std::string Normal(const std::string& text) {
        JSON::JSONDocument document;
        EXPECT_EQ(document.Parse(text), 0) << text;
        return document.Root() != nullptr ? document.Root()->Print() : std::string();
    }

    std::vector<SampleInstall> installs_;
};

TEST_F(ScanTest, BuildsOneRecordPerValidInstallationInRegistryOrder) {
    const auto found = Find();
    EXPECT_EQ(Identifiers(found),
              (std::vector<std::string>{"ID_A/PROD", "ID_B/PROD", "ID_C/DEV", "/TOOLS"}));
    ASSERT_EQ(found.size(), 4u);

    const Z5InstallFields& a = found[0].Fields();
    EXPECT_EQ(a.level, "L24.3");
    EXPECT_EQ(a.targetPath, Folder("a"));
    EXPECT_EQ(a.lastBuildId, "B42");
    EXPECT_EQ(a.longName, "Product \"A\"");
    EXPECT_EQ(a.isContentInstalled, Z5Install::CONTENT_INSTALLED);
    EXPECT_EQ(a.productLine, (std::vector<std::string>{"A", "B", "", "C"}));
    EXPECT_EQ(a.installedProcesses, (std::vector<std::string>{"alpha.exe", "beta.exe"}));
    EXPECT_EQ(a.installedXtraProcesses, std::vector<std::string>{"xtra.exe"});
    ASSERT_EQ(a.apps.size(), 2u);
    EXPECT_EQ(a.apps[0].ToString(), "[appsId:APP1,appProductLine:BR1,workbench:WB1]");
    EXPECT_EQ(a.apps[1].ToString(), "[appsId:APP2,appProductLine:,workbench:]");

    EXPECT_EQ(found[1].Fields().isContentInstalled, Z5Install::CONTENT_NOT_INSTALLED);
    EXPECT_EQ(found[2].Fields().isContentInstalled, Z5Install::CONTENT_UNKNOWN);
    EXPECT_TRUE(found[1].Fields().productLine.empty());
    EXPECT_EQ(found[3].Fields().registry_Identifier, "");
}

TEST_F(ScanTest, FilterKeepsOnlyExactMatches) {
    const std::string idOfB = Find({"L24", "PROD", Folder("b"), ""}).at(0).Id();
    struct Row {
        Z5InstallFilter filter;
        std::vector<std::string> expected;
    };
    const std::vector<Row> rows = {
        {{"L25", "", "", ""}, {"ID_C/DEV", "/TOOLS"}},
        {{"l25", "", "", ""}, {}},
        {{"", "PROD", "", ""}, {"ID_A/PROD", "ID_B/PROD"}},
        {{"", "", Folder("tools"), ""}, {"/TOOLS"}},
        {{"", "", Folder("gone"), ""}, {}},
        {{"", "", "", idOfB}, {"ID_B/PROD"}},
        {{"L24", "", "", idOfB}, {"ID_B/PROD"}},
        {{"L25", "", "", idOfB}, {}},
        {{"", "", "", "123"}, {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Identifiers(Find(row.filter)), row.expected)
            << row.filter.level << "|" << row.filter.installationType << "|"
            << row.filter.installPath << "|" << row.filter.id;
    }
}

TEST_F(ScanTest, IdsAreStableAndFollowTheContent) {
    const auto first = Find();
    const auto second = Find();
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].Id(), second[i].Id());
    }
    installs_[0].processes[1] = "gamma.exe";
    WriteStore(installs_);
    const auto changed = Find();
    EXPECT_NE(changed[0].Id(), first[0].Id());
    EXPECT_EQ(changed[1].Id(), first[1].Id());

    // The id hashes the record's texts with 64-bit FNV-1a.
    Z5InstallFields fields;
    EXPECT_EQ(Z5Install(fields).Id(), "14695981039346656037");
    fields.level = "a";
    EXPECT_EQ(Z5Install(fields).Id(), "12638187200555641996");
}

TEST_F(ScanTest, JsonFormSendsEmptyTextsAsNull) {
    const auto found = Find();
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(
        found[0].ToJSON()->Print(),
        Normal("{\"id\":\"" + found[0].Id() +
               "\",\"level\":\"L24.3\",\"GAlevel\":\"L24\",\"SPlevel\":\"SP3\","
               "\"shortName\":\"A\",\"longName\":\"Product \\\"A\\\"\",\"targetPath\":\"" +
               JsonFolder("a") +
               "\",\"registry_Identifier\":\"ID_A\",\"installationType\":\"PROD\","
               "\"osds\":\"linux_a64\",\"type\":\"full\",\"lastBuildId\":\"B42\","
               "\"isContentInstalled\":true,\"installedXtraProcesses\":[\"xtra.exe\"],"
               "\"installedProcesses\":[\"alpha.exe\",\"beta.exe\"],"
               "\"productLine\":[\"A\",\"B\",null,\"C\"],"
               "\"apps\":[{\"appsId\":\"APP1\",\"appProductLine\":\"BR1\",\"workbench\":"
               "\"WB1\"},{\"appsId\":\"APP2\",\"appProductLine\":null,\"workbench\":null}]}"));
    EXPECT_EQ(found[3].ToJSON()->Print(),
              Normal("{\"id\":\"" + found[3].Id() +
                     "\",\"level\":\"L25\",\"GAlevel\":null,\"SPlevel\":null,"
                     "\"shortName\":null,\"longName\":null,\"targetPath\":\"" +
                     JsonFolder("tools") +
                     "\",\"registry_Identifier\":null,\"installationType\":\"TOOLS\","
                     "\"osds\":\"linux_a64\",\"type\":null,\"lastBuildId\":null,"
                     "\"installedXtraProcesses\":null,\"installedProcesses\":null,"
                     "\"productLine\":null,\"apps\":null}"));
}

TEST_F(ScanTest, MissingBranchesAreSkippedButABrokenStoreFails) {
    WriteStore({});
    std::vector<Z5Install> found;
    EXPECT_TRUE(WinRegistry::FindInstall({}, found));
    EXPECT_TRUE(found.empty());

    ASSERT_TRUE(registry_.MakeUnreadable());
    EXPECT_FALSE(WinRegistry::FindInstall({}, found));
    EXPECT_TRUE(found.empty());
}

}  // namespace
