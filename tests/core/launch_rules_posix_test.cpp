// The trust of the files a launch runs (POSIX owners and modes).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/file_trust.h"
#include "support/test_support.h"

namespace {

TEST(LaunchRulesTest, OnlyFilesThatRootAloneControlsAreTrusted) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root";
    }
    vl_test::TempDir dir;
    const std::string tool = dir.Path("tool");
    ASSERT_TRUE(vl_test::WriteFile(tool, "#!/bin/sh\n"));
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(tool.c_str(), 0755);
    EXPECT_TRUE(platform::CheckAdministratorTrust(tool).trusted)
        << platform::CheckAdministratorTrust(tool).reason;
    ::symlink(tool.c_str(), dir.Path("link").c_str());
    EXPECT_EQ(platform::CheckAdministratorTrust(dir.Path("link")).resolvedPath, tool);

    const struct {
        std::function<void()> change;
        const char* why;
    } cases[] = {
        {[&] { ::chmod(tool.c_str(), 0775); }, "group-writable file"},
        {[&] { ::chown(tool.c_str(), 1, 1); }, "file of another user"},
        {[&] { ::chmod(dir.Path().c_str(), 0777); }, "folder writable by all, not sticky"},
        {[&] { ::chown(dir.Path().c_str(), 1, 1); }, "folder of another user"},
    };
    for (const auto& c : cases) {
        c.change();
        EXPECT_FALSE(platform::CheckAdministratorTrust(tool).trusted) << c.why;
        ::chmod(tool.c_str(), 0755);
        ::chown(tool.c_str(), 0, 0);
        ::chmod(dir.Path().c_str(), 0755);
        ::chown(dir.Path().c_str(), 0, 0);
    }
    EXPECT_FALSE(platform::CheckAdministratorTrust(dir.Path("missing")).trusted);
}

}  // namespace
