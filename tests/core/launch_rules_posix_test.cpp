// The trust of the files a launch runs (POSIX owners and modes), and the icon files made from
// inline images (the Windows build has no image codec yet: its calls all fail).
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "base/toolbox.h"
#include "core/functionnal_core.h"
#include "front/front_env.h"
#include "platform/file_trust.h"
#include "platform/image_codec.h"

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

class EncodedIconTest : public FrontEnv {};

TEST_F(EncodedIconTest, ImagesBecomeIconFilesScaledByTheirLongerSide) {
    const struct {
        int width, height, iconWidth, iconHeight;
    } cases[] = {{32, 32, 32, 32},
                 {512, 128, 256, 64},
                 {100, 1024, 25, 256},
                 {256, 256, 256, 256},
                 {1, 600, 1, 256}};
    for (const auto& c : cases) {
        const platform::RgbaImage image{
            c.width, c.height,
            std::vector<std::uint8_t>(static_cast<std::size_t>(c.width * c.height * 4), 7)};
        std::vector<std::uint8_t> png;
        ASSERT_TRUE(platform::EncodePng(image, png));
        std::string text(4 * ((png.size() + 2) / 3) + 1, '\0');
        text.resize(static_cast<std::size_t>(
            ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), png.data(),
                              static_cast<int>(png.size()))));
        const std::string value = "data:image/png;base64," + text;
        std::string path;
        ASSERT_EQ(FunctionnalCore::processEncodedIcon(path, value, value.find(";base64,")), 0);
        const std::string ico = vl_test::ReadFile(path);
        const std::size_t maskRow = (static_cast<std::size_t>(c.iconWidth) + 31) / 32 * 4;
        ASSERT_EQ(ico.size(), 62 + static_cast<std::size_t>(c.iconWidth * c.iconHeight * 4) +
                                  maskRow * static_cast<std::size_t>(c.iconHeight));
        EXPECT_EQ(static_cast<unsigned char>(ico[6]), c.iconWidth & 0xff) << c.width;
        EXPECT_EQ(static_cast<unsigned char>(ico[7]), c.iconHeight & 0xff) << c.height;
        EXPECT_EQ(static_cast<unsigned char>(ico[30]), (2 * c.iconHeight) & 0xff);  // doubled
        EXPECT_TRUE(ToolBox::IsFile(path.substr(0, path.size() - 4) + ".png"));
    }
    for (const std::string value : {"data:image/png;base64,", "data:image/png;base64,QUJD",
                                    "data:image/png;base64,not base64!"}) {
        std::string path;
        EXPECT_EQ(FunctionnalCore::processEncodedIcon(path, value, value.find(";base64,")), 139)
            << value;
    }
}

}  // namespace
