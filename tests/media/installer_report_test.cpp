// The setup program's report: which keys it may have recorded, and what is read from it.
#include "install/installer_report.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

TEST(InstallerReportTest, OnlyKeysBelowTheInstallationKeysMayBeRecorded) {
    const std::pair<const char*, bool> keys[] = {
        {"Software\\Quorvanti\\Z5\\L24\\DESIGN\\L24_9", true},
        {"Software\\Quorvanti\\Z5_Common\\TOOLS", true},
        {"Software\\Quorvanti\\Z5", false},
        {"Software\\Quorvanti\\Z5\\", false},
        {"Software\\Quorvanti\\Z5_Evil\\X", false},
        {"Software\\Quorvanti\\Z5\\..\\..\\Other", false},
        {"Software\\Other\\Z5\\X", false},
        {"software\\quorvanti\\z5\\X", false},
    };
    for (const auto& [key, allowed] : keys) {
        EXPECT_EQ(InstallerReport::IsInstallationKey(key), allowed) << key;
    }
    std::string why;
    EXPECT_FALSE(InstallerReport::Record({{"Software\\Other\\X", {{"Path", "/x"}}}}, why));
    EXPECT_NE(why.find("not an installation key"), std::string::npos);
}

TEST(InstallerReportTest, ReadsTheFirstMessageAndTheRecordsAndRefusesWhatIsNotXml) {
    vl_test::TempDir dir;
    const std::string path = dir.Path("report.xml");
    ASSERT_TRUE(vl_test::WriteFile(
        path,
        "<?xml version=\"1.0\"?><R><Registry key=\"K\"><Value name=\"Path\" data=\"/a &amp; b\"/>"
        "</Registry><Value name=\"stray\" data=\"x\"/><S code=\"3\" Message=\"first\"/>"
        "<S Message=\"second\"/></R>"));
    InstallerReport::Report report;
    std::string why;
    ASSERT_TRUE(InstallerReport::Read(path, report, why)) << why;
    ASSERT_TRUE(report.message.has_value());
    EXPECT_EQ(*report.message, (InstallerReport::Attributes{{"code", "3"}, {"Message", "first"}}));
    ASSERT_EQ(report.records.size(), 1u);
    EXPECT_EQ(report.records[0].key, "K");
    EXPECT_EQ(report.records[0].values, (InstallerReport::Attributes{{"Path", "/a & b"}}));

    ASSERT_TRUE(vl_test::WriteFile(path, "<R><unclosed></R>"));
    EXPECT_FALSE(InstallerReport::Read(path, report, why));
    EXPECT_FALSE(InstallerReport::Read(dir.Path("missing.xml"), report, why));
}

}  // namespace
