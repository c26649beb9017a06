#include "base/toolbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/path.h"
#include "platform/sys_error.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

class ToolBoxTest : public ::testing::Test {
  protected:
    void SetUp() override { vl_test::ResetInfrastructure(); }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    // MakeFile creates a file whose last modification lies ageSeconds in the past.
    std::string MakeFile(const std::string& name, int ageSeconds) {
        const std::string path = dir_.Path(name);
        vl_test::WriteFile(path, name);
        fs::last_write_time(path,
                            fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
        return path;
    }
    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        ToolBox::File::List(dir_.Path(), names);
        std::sort(names.begin(), names.end());
        return names;
    }

    vl_test::TempDir dir_;
};

using Strings = std::vector<std::string>;

TEST_F(ToolBoxTest, JoinPathPutsExactlyOneSeparator) {
    // '|' stands for the platform's separator; a '/' inside the leaf is kept as it is.
    const struct {
        const char* base;
        const char* leaf;
        const char* joined;
    } cases[] = {
        {"/a", "b", "/a|b"}, {"/a/", "b", "/a|b"}, {"/a//", "/b", "/a|b"}, {"/", "b", "|b"},
        {"", "b", "b"},      {"/a", "", "/a"},     {"a", "b/c", "a|b/c"},
    };
    for (const auto& c : cases) {
        std::string joined = c.joined;
        std::replace(joined.begin(), joined.end(), '|', platform::PathSeparator());
        EXPECT_EQ(ToolBox::JoinPath(c.base, c.leaf), joined) << c.base << " + " << c.leaf;
    }
}

TEST_F(ToolBoxTest, PathTests) {
    vl_test::WriteFile(dir_.Path("f"), "x");
    EXPECT_TRUE(ToolBox::IsFile(dir_.Path("f")));
    EXPECT_FALSE(ToolBox::IsFolder(dir_.Path("f")));
    EXPECT_TRUE(ToolBox::IsFolder(dir_.Path()));
    EXPECT_FALSE(ToolBox::IsFile(dir_.Path()));
    EXPECT_FALSE(ToolBox::PathExists(dir_.Path("missing")));
    EXPECT_FALSE(ToolBox::PathExists(""));
    EXPECT_EQ(ToolBox::Quote("C:/a b"), "\"C:/a b\"");
}

TEST_F(ToolBoxTest, ListNamesEntriesAndRefusesMissingFolders) {
    vl_test::WriteFile(dir_.Path("a.txt"), "");
    fs::create_directory(dir_.Path("sub"));
    EXPECT_EQ(Listing(), (Strings{"a.txt", "sub"}));

    std::vector<std::string> names{"stale"};
    EXPECT_TRUE(ToolBox::File::List(dir_.Path("a.txt"), names));
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(ToolBox::File::List(dir_.Path("missing"), names));

    ToolBox::GlobalStopOrder() = true;
    EXPECT_FALSE(ToolBox::File::List(dir_.Path(), names));
}

TEST_F(ToolBoxTest, ReadAndWriteLines) {
    const std::string path = dir_.Path("lines.txt");
    vl_test::WriteFile(path, "one\r\ntwo\n\nfour");
    std::vector<std::string> lines;
    ASSERT_TRUE(ToolBox::File::ReadLines(path, lines));
    EXPECT_EQ(lines, (Strings{"one", "two", "", "four"}));
    EXPECT_FALSE(ToolBox::File::ReadLines(dir_.Path(), lines));
    EXPECT_FALSE(ToolBox::File::ReadLines(dir_.Path("missing"), lines));

    ASSERT_TRUE(ToolBox::File::WriteLines(path, {"a", "b"}, false));
    ASSERT_TRUE(ToolBox::File::WriteLines(path, {"c"}, true));
    EXPECT_EQ(vl_test::ReadFile(path), "a\nb\nc\n");
    EXPECT_FALSE(ToolBox::File::WriteLines(dir_.Path("no/such/folder/x"), {"a"}, false));
}

TEST_F(ToolBoxTest, WriteLinesAtomicReplacesWholeAndLeavesNoTemporary) {
    const std::string path = dir_.Path("state.save");
    vl_test::WriteFile(path, "old content that is longer than the new one\n");
    ASSERT_TRUE(ToolBox::File::WriteLinesAtomic(path, {"{\"a\":1}"}));
    EXPECT_EQ(vl_test::ReadFile(path), "{\"a\":1}\n");
    EXPECT_EQ(Listing(), (Strings{"state.save"}));
    EXPECT_FALSE(ToolBox::File::WriteLinesAtomic(dir_.Path("missing/state.save"), {"x"}));
    EXPECT_EQ(Listing(), (Strings{"state.save"}));
}

TEST_F(ToolBoxTest, CleanKeepsTheNewestByCountOrTheYoungByAge) {
    const struct {
        int keep;
        double maxAgeSeconds;
        std::vector<std::pair<const char*, int>> files;  // name, age in seconds
        Strings left;
    } cases[] = {
        {3,
         0.0,
         {{"f0", 1000}, {"f1", 2000}, {"f2", 3000}, {"f3", 4000}, {"f4", 5000}},
         {"f0", "f1", "f2"}},
        {0,
         86400.0,
         {{"young0", 0}, {"young1", 60}, {"young2", 120}, {"old1", 2 * 86400}, {"old2", 86410}},
         {"young0", "young1", "young2"}},
    };
    for (const auto& c : cases) {
        for (const auto& [name, age] : c.files) {
            MakeFile(name, age);
        }
        ToolBox::File::CleanOldFilesInFolder(dir_.Path(), c.keep, c.maxAgeSeconds);
        EXPECT_EQ(Listing(), c.left) << c.keep;
        for (const std::string& name : Listing()) {
            fs::remove(dir_.Path(name));
        }
    }
}

TEST_F(ToolBoxTest, CleanCountsFilesWithEqualStampsSeparately) {
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (int i = 0; i < 4; ++i) {
        const std::string path = dir_.Path("same" + std::to_string(i));
        vl_test::WriteFile(path, "x");
        fs::last_write_time(path, stamp);
    }
    ToolBox::File::CleanOldFilesInFolder(dir_.Path(), 2, 0.0);
    EXPECT_EQ(Listing().size(), 2u);
}

TEST_F(ToolBoxTest, CleanNeverRemovesFoldersAndDoesNothingWithoutLimits) {
    MakeFile("a", 5000);
    fs::create_directory(dir_.Path("sub"));
    // Windows' C runtime cannot date a folder: there the folder is young, and only counts.
    std::error_code ignored;
    fs::last_write_time(dir_.Path("sub"), fs::file_time_type::clock::now() - std::chrono::hours(9),
                        ignored);
    ToolBox::File::CleanOldFilesInFolder(dir_.Path(), 0, 0.0);
    EXPECT_EQ(Listing(), (Strings{"a", "sub"}));
    ToolBox::File::CleanOldFilesInFolder(dir_.Path(), 0, 1.0);
    EXPECT_EQ(Listing(), (Strings{"sub"}));
}

TEST_F(ToolBoxTest, HexToChar) {
    const struct {
        const char* text;
        unsigned char value;
    } cases[] = {
        {"41", 65},    {"ff", 255}, {"FF", 255},
        {"0x7e", 126}, {" 20", 32}, {"141", 65},  // only the low byte counts
        {"zz", 0},     {"00", 0},   {"", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToolBox::HexToChar(c.text), c.value) << "'" << c.text << "'";
    }
}

TEST_F(ToolBoxTest, SystemErrorTexts) {
    const std::string known = ToolBox::GetSystemErrorMessage(platform::SysError::ACCESS_DENIED);
    EXPECT_FALSE(known.empty());
    EXPECT_EQ(known.find_first_of("\r\n"), std::string::npos);
    // Before the failing lookup below, which leaves 317 as the thread's last error.
    errno = ENOENT;
    const std::string text = ToolBox::GetLastErrorText();
    EXPECT_EQ(text.rfind("( errno[" + std::to_string(ENOENT) + "] : ", 0), 0u) << text;

    EXPECT_EQ(ToolBox::GetSystemErrorMessage(4'000'000'000u)
                  .rfind("{[FormatMessageW] failed with this error code [317] with message :|", 0),
              0u);

    EXPECT_EQ(platform::ErrorFromErrno(EPIPE), platform::SysError::BROKEN_PIPE);
    EXPECT_EQ(platform::ErrorFromErrno(EEXIST), platform::SysError::ALREADY_EXISTS);
    EXPECT_EQ(platform::ErrorFromErrno(0), platform::SysError::SUCCESS);
}

}  // namespace
