// The toolbox cases that only POSIX can run: time zones chosen through TZ, symbolic links,
// Windows error numbers derived from errno, and the Linux folder name.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include "base/config.h"
#include "base/toolbox.h"
#include "platform/local_time.h"
#include "support/test_support.h"

namespace {

class ZoneTest : public ::testing::Test {
  protected:
    void Use(const char* zone) {
        tz_.emplace("TZ", zone);
        platform::ReloadTimeZone();
    }
    void TearDown() override {
        tz_.reset();
        platform::ReloadTimeZone();
    }
    std::optional<vl_test::ScopedEnv> tz_;
};

constexpr std::int64_t kTicks = 10'000'000;
constexpr std::int64_t kWinter = 1705314612LL;  // 2024-01-15 10:30:12 UTC
constexpr std::int64_t kSummer = 1720089012LL;  // 2024-07-04 10:30:12 UTC

// The local time of the log lines and the zone text of the header, in the zone TZ names;
// the zone text keeps the standard offset and marks daylight saving time.
TEST_F(ZoneTest, LocalTimeAndZoneTextFollowTheZone) {
    const struct {
        const char* zone;
        std::int64_t seconds;
        const char* time;  // null: not checked
        const char* zoneText;
    } cases[] = {
        {"UTC", kWinter, "2024_01_15-103012.345", "+0000i"},
        {"Europe/Paris", kWinter, "2024_01_15-113012.345", "+0100s"},
        {"Europe/Paris", kSummer, "2024_07_04-123012.345", "+0100d"},
        {"America/New_York", kWinter, nullptr, "-0500s"},
        {"America/New_York", kSummer, nullptr, "-0500d"},
        {"Asia/Kolkata", kSummer, nullptr, "+0530i"},
        {"Australia/Sydney", kWinter, nullptr, "+1000d"},
    };
    for (const auto& c : cases) {
        Use(c.zone);
        if (c.time != nullptr) {
            EXPECT_EQ(
                ToolBox::FormatTime(c.seconds * kTicks + 3'456'789, true, false, "%Y_%m_%d-%H%M%S"),
                c.time)
                << c.zone;
        }
        EXPECT_EQ(platform::ZoneText(c.seconds), c.zoneText) << c.zone;
    }
    EXPECT_EQ(ToolBox::FormatTime(kWinter * kTicks, false, false, "%Y"), "2024");
    EXPECT_EQ(ToolBox::FormatTime(kWinter * kTicks, true, false, ""), ".000");
}

TEST(ToolBoxPosixTest, WriteLinesAtomicWritesThroughALink) {
    // A link (even a dangling one) is written through to its target and stays a link.
    vl_test::TempDir dir;
    std::filesystem::create_symlink("state.list", dir.Path("link.list"));
    ASSERT_TRUE(ToolBox::File::WriteLinesAtomic(dir.Path("link.list"), {"x"}));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link.list")));
    EXPECT_EQ(vl_test::ReadFile(dir.Path("state.list")), "x\n");
}

TEST(ToolBoxPosixTest, ErrnoGivesTheWindowsErrorAndTheFolderName) {
    errno = ENOENT;
    const std::string text = ToolBox::GetLastErrorText();
    EXPECT_NE(text.find(" // winerr[2] : "), std::string::npos) << text;
    EXPECT_EQ(ToolBox::GetOsDirName(), "linux_a64");
}

}  // namespace
