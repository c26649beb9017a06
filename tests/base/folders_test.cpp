#include "base/folders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/json/json.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/path.h"
#include "support/test_support.h"

namespace {

// SavedEntries describes the save file's members as "NAME=baseItem|baseString|relative",
// in file order, with "~" for null.
std::vector<std::string> SavedEntries(const std::string& path) {
    JSON::JSONDocument doc;
    std::vector<std::string> entries;
    if (doc.Parse(vl_test::ReadFile(path)) != 0 || doc.Root() == nullptr ||
        !doc.Root()->IsObject()) {
        return {"(unparsable)"};
    }
    for (const auto& member : doc.Root()->AsObject()->Members()) {
        std::string entry = member->first + "=";
        for (const char* key : {"baseItem", "baseString", "relative"}) {
            const JSON::JSONItem* item = member->second->Get(key);
            entry += std::string(key[4] == 'I' ? "" : "|") + (item == nullptr  ? "(missing)"
                                                              : item->IsNull() ? "~"
                                                                               : item->GetString());
        }
        entries.push_back(entry);
    }
    return entries;
}

class FoldersTest : public ::testing::Test {
  protected:
    void SetUp() override { vl_test::ResetInfrastructure(); }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    static std::string Folder(std::int32_t id) {
        std::string path;
        EXPECT_TRUE(FileAndFoldersManager::GetFolder(id, path)) << id;
        return path;
    }
    // Restart forgets the table and builds it again in the test-harness context.
    void Restart() {
        FileAndFoldersManager::ResetForTests();
        ASSERT_TRUE(FileAndFoldersManager::Init(FolderContext::TEST_HARNESS));
    }
    std::string Data(const std::string& leaf) const {
        const std::string base = "LauncherData/Quorvanti/VantaroLauncher";
        return dir_.Path(leaf.empty() ? base : base + "/" + leaf);
    }

    vl_test::TempDir dir_;
    vl_test::ScopedEnv tmp_{"PMX_KTV_TMP", dir_.Path()};
    vl_test::ScopedEnv install_{"QVYLD_INSTALL_DIR", dir_.Path("bin")};
};

TEST_F(FoldersTest, DefaultTableBelowTheTestHarnessBase) {
    std::string path;
    EXPECT_FALSE(FileAndFoldersManager::GetFolder(Folder::LOG, path));
    Restart();
    EXPECT_EQ(FileAndFoldersManager::Context(), FolderContext::TEST_HARNESS);
    EXPECT_EQ(Folder(Folder::PROGRAM_DATA), dir_.Path("LauncherData"));
    EXPECT_EQ(Folder(Folder::DAEMON_INSTALL_PATH), dir_.Path("bin"));
    EXPECT_EQ(Folder(Folder::MAIN_DATA), Data(""));
    EXPECT_EQ(Folder(Folder::DEFAULT_VRKENV), Data("OperationData/DefaultVrkEnvRep"));
    EXPECT_EQ(Folder(Folder::TEMP), Data("InternalData/Temp"));
    EXPECT_EQ(Folder(Folder::MEDIA_DDL), Data("defaultDataStore/Media"));
    EXPECT_EQ(Folder(Folder::SELFUPDATE_LOGS), Data("logs/update_logs"));
    EXPECT_EQ(Folder(Folder::ICON), Data("InternalData/Icon"));
    EXPECT_FALSE(FileAndFoldersManager::GetFolder(99, path));
    EXPECT_FALSE(ToolBox::PathExists(Data("")));  // nothing is created unless asked

    ASSERT_TRUE(FileAndFoldersManager::GetFolder(Folder::INSTALLER_LOGS, path, true));
    EXPECT_TRUE(ToolBox::IsFolder(Data("logs/install_logs")));

    EXPECT_EQ(FileAndFoldersManager::GetFolderIdFromName("DOV_DDL"), Folder::DOV_DDL);
    EXPECT_EQ(FileAndFoldersManager::GetFolderIdFromName("dov_ddl"), Folder::NONE);
    EXPECT_EQ(FileAndFoldersManager::GetNameForFolderId(Folder::UNZIP), "UNZIP");
    EXPECT_EQ(FileAndFoldersManager::GetNameForFolderId(0), "");
}

TEST_F(FoldersTest, PointerFileChoosesTheServiceBase) {
    // Without a usable pointer file the service base is the system's (/var/lib, ProgramData).
    FileAndFoldersManager::ResetForTests();
    ASSERT_TRUE(FileAndFoldersManager::Init(FolderContext::SERVICE));
    const std::string system = Folder(Folder::PROGRAM_DATA);
    const std::string srv = dir_.Path("srv");
    const struct {
        std::string content;  // empty: no pointer file
        std::string programData;
    } cases[] = {
        {srv + "\n", srv}, {srv + "\r\n", srv},    {srv + "\n" + srv + "2\n", system},
        {"\n", system},    {"relative\n", system}, {"", system},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        std::filesystem::remove_all(dir_.Path("bin"));
        if (!c.content.empty()) {
            vl_test::WriteFile(dir_.Path("bin/pdata.ptr"), c.content);
        }
        FileAndFoldersManager::ResetForTests();
        ASSERT_TRUE(FileAndFoldersManager::Init(FolderContext::SERVICE));
        EXPECT_EQ(Folder(Folder::PROGRAM_DATA), c.programData);
        std::string logs = "/Quorvanti/VantaroLauncher/logs";
        std::replace(logs.begin(), logs.end(), '/', platform::PathSeparator());
        EXPECT_EQ(Folder(Folder::LOG), c.programData + logs);
    }
    FileAndFoldersManager::ResetForTests();
    EXPECT_FALSE(FileAndFoldersManager::Init(7));
}

TEST_F(FoldersTest, ChangedFoldersSurviveARestart) {
    Restart();
    ASSERT_TRUE(FileAndFoldersManager::SetFolder(Folder::MEDIA_DDL, {0, dir_.Path("media"), ""}));
    ASSERT_TRUE(FileAndFoldersManager::SetFolder(Folder::ICON, {Folder::TEMP, "", "icons"}, true));
    EXPECT_TRUE(ToolBox::IsFolder(Data("InternalData/Temp/icons")));

    Restart();
    EXPECT_EQ(Folder(Folder::MEDIA_DDL), dir_.Path("media"));
    EXPECT_EQ(Folder(Folder::ICON), Data("InternalData/Temp/icons"));
    EXPECT_EQ(Folder(Folder::DOV_DDL), Data("defaultDataStore/Cafs"));
    EXPECT_EQ(SavedEntries(Data("InternalData/faf_manager.save")),
              (std::vector<std::string>{"MEDIA_DDL=~|" + dir_.Path("media") + "|~",
                                        "ICON=TEMP|~|icons"}));
}

TEST_F(FoldersTest, MovingABaseMovesTheFoldersBelowIt) {
    Restart();
    ASSERT_TRUE(FileAndFoldersManager::SetFolder(Folder::DOV_DDL, {0, dir_.Path("cafs"), ""}));
    ASSERT_TRUE(FileAndFoldersManager::SetFolder(Folder::USER_DATA, {0, dir_.Path("store"), ""}));
    EXPECT_EQ(Folder(Folder::MEDIA_DDL), dir_.Path("store/Media"));
    EXPECT_EQ(Folder(Folder::DOV_DDL), dir_.Path("cafs"));

    // A base chain that loops back on itself resolves to nothing.
    FileAndFoldersManager::put(Folder::USER_DATA, {Folder::MEDIA_DDL, "", "x"});
    std::string path;
    EXPECT_FALSE(FileAndFoldersManager::GetFolder(Folder::MEDIA_DDL, path));
}

TEST_F(FoldersTest, DamagedOrForeignSaveFiles) {
    const std::string save = Data("InternalData/faf_manager.save");
    vl_test::WriteFile(save,
                       "{\"NOT_A_FOLDER\":{\"baseItem\":null,\"baseString\":\"/x\",\"relative\":"
                       "null},\"LOG\":{\"baseItem\":\"TEMP\",\"baseString\":null,\"relative\":"
                       "\"l\"}}");
    Restart();
    EXPECT_EQ(Folder(Folder::LOG), Data("InternalData/Temp/l"));

    vl_test::WriteFile(save, "{not json");
    Restart();  // a damaged file is ignored...
    EXPECT_EQ(Folder(Folder::LOG), Data("logs"));
    ASSERT_TRUE(FileAndFoldersManager::SetFolder(Folder::UNZIP, {0, "/u", ""}));
    // ...and replaced by a new object on the next save.
    EXPECT_EQ(SavedEntries(save), (std::vector<std::string>{"UNZIP=~|/u|~"}));
}

TEST_F(FoldersTest, CreatingAsAUserGoesThroughTheHook) {
    Restart();
    std::string path;
    EXPECT_FALSE(FileAndFoldersManager::GetFolder(Folder::TEMP, path, true, 3u));
    EXPECT_FALSE(ToolBox::PathExists(path));

    std::vector<std::pair<std::uint32_t, std::string>> calls;
    FileAndFoldersManager::SetMakeFolderAsUser(
        [&calls](std::uint32_t session, const std::string& folder) {
            calls.emplace_back(session, folder);
            return true;
        });
    EXPECT_TRUE(FileAndFoldersManager::GetFolder(Folder::TEMP, path, true, 3u));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, 3u);
    EXPECT_EQ(calls[0].second, Data("InternalData/Temp"));
}

}  // namespace

namespace {

// The logger lets go of its file before the folder is removed, also when a check ends the
// test early: Windows cannot remove a folder that holds an open file.
class StartOrderTest : public ::testing::Test {
  protected:
    void TearDown() override { vl_test::ResetInfrastructure(); }
    vl_test::TempDir dir;
};

TEST_F(StartOrderTest, FoldersThenConfigurationThenLogger) {
    const std::string mainData = dir.Path("LauncherData/Quorvanti/VantaroLauncher");
    vl_test::WriteFile(ToolBox::JoinPath(mainData, "launcher.conf"), "LOGLEVEL=warn\n");
    ASSERT_TRUE(vl_test::InitInfrastructure(dir));
    Logger::Warn("[StartOrderTest] ready");

    const std::string logFolder =
        dir.Path("LauncherData/Quorvanti/VantaroLauncher/logs/VantaroLauncher_service");
    EXPECT_EQ(Logger::CurrentFilePath().rfind(ToolBox::JoinPath(logFolder, "qvy_log_file_"), 0),
              0u);
    EXPECT_EQ(Logger::Threshold(), LogLevel::Warn);
    const std::string text = vl_test::ReadFile(Logger::CurrentFilePath());
    // The folder table's own lines, held since before the logger existed, come first.
    const auto folders = text.find("|#LNI#|[FileAndFoldersManager::Init]Initializing FaF[3] ... ");
    const auto config = text.find("|#LNI#|[Config::DisplayConfig]");
    ASSERT_NE(config, std::string::npos);
    EXPECT_LT(folders, config);
    EXPECT_NE(text.find("{WARN }:[StartOrderTest] ready"), std::string::npos);
}

}  // namespace
