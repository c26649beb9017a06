// The access layer's error records and path types, on a temporary store.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "install/registry_access.h"
#include "support/test_registry.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace RegistryAccess;

class AccessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vl_test::ResetInfrastructure();
        ErrorList::Clear();
        ASSERT_TRUE(registry_.Ready()) << registry_.Why();
        ASSERT_TRUE(registry_.Replace({{"Software\\A", {{"Name", "value"}}, {{"Count", 1}}}}));
    }

    vl_test::TempDir dir_;
    vl_test::TestRegistry registry_{dir_};
};

TEST_F(AccessTest, FailuresLeaveOneRecordEach) {
    std::string value;
    EXPECT_EQ(GetValue(Root::LocalMachine, "Software\\A", "Name", value, Force64RegView), kSuccess);
    EXPECT_EQ(value, "value");
    EXPECT_TRUE(ErrorList::Records().empty());

    EXPECT_EQ(GetValue(Root::LocalMachine, "Software\\A", "Missing", value, Force64RegView),
              kFailure);
    EXPECT_EQ(GetValue(Root::LocalMachine, "Software\\A", "Count", value, Force64RegView),
              kFailure);
    Key key;
    EXPECT_EQ(OpenKey(Root::LocalMachine, "Software\\Nope", key, KEY_READ_WRITE_MODE,
                      Force32RegView, true),
              kFailure);
    EXPECT_EQ(
        OpenKey(Root::LocalMachine, "Software\\Nope", key, KEY_READ_MODE, DoNotForceRegView, false),
        kFailure);
    EXPECT_EQ(CloseKey(key), kFailure);

    const auto& records = ErrorList::Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text.rfind("GetValue() - Missing\nError num: 2", 0), 0u)
        << records[0].text;
    EXPECT_EQ(records[1].text.rfind("GetValue() - Count\nError num: 13", 0), 0u) << records[1].text;
    EXPECT_EQ(records[2].text.rfind("OpenKey() - Software\\Nope, KEY_READ|KEY_WRITE, "
                                    "Force32RegView\nError num: 2",
                                    0),
              0u)
        << records[2].text;
    EXPECT_EQ(records[3].text.rfind("CloseKey()\nError num: 6", 0), 0u) << records[3].text;
    for (const auto& record : records) {
        EXPECT_EQ(record.severity, 3);
        EXPECT_EQ(record.result, static_cast<std::int32_t>(0x80004005u));
    }
}

TEST_F(AccessTest, ListsAreClearedAndComplete) {
    const std::string longName(300, 'n');
    ASSERT_TRUE(registry_.Replace({{"Software\\A\\Sub", {{longName, "x"}, {"short", "y"}}, {}}}));
    Key key;
    ASSERT_EQ(
        OpenKey(Root::LocalMachine, "Software\\A\\Sub", key, KEY_READ_MODE, Force64RegView, true),
        kSuccess);
    std::vector<std::string> names = {"stale"};
    EXPECT_EQ(GetValues(key, names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{longName, "short"}));
    EXPECT_EQ(GetSubkeys(key, names), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(CloseKey(key), kSuccess);
    EXPECT_EQ(GetSubkeys(key, names), -1);
    EXPECT_EQ(ErrorList::LastText().rfind("GetSubkeys()", 0), 0u);
}

TEST_F(AccessTest, ErrorListKeepsOnlyTheLatestRecords) {
    std::string value;
    for (std::size_t i = 0; i < ErrorList::kMaxRecords + 10; ++i) {
        GetValue(Root::LocalMachine, "Software\\A", "v" + std::to_string(i), value, Force64RegView);
    }
    EXPECT_EQ(ErrorList::Records().size(), ErrorList::kMaxRecords);
    EXPECT_EQ(ErrorList::LastText().rfind(
                  "GetValue() - v" + std::to_string(ErrorList::kMaxRecords + 9), 0),
              0u);
}

TEST_F(AccessTest, PathTypes) {
    fs::create_directories(dir_.Path("folder"));
    vl_test::WriteFile(dir_.Path("file"), "x");
    const std::pair<std::string, PathType> rows[] = {
        {"", PATH_MISSING},
        {dir_.Path("missing"), PATH_MISSING},
        {dir_.Path("folder"), PATH_FOLDER},
        {dir_.Path("file"), PATH_FILE},
    };
    for (const auto& [path, type] : rows) {
        EXPECT_EQ(GetPathType(path), type) << path;
    }
}

}  // namespace
