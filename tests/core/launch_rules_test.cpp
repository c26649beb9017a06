// The rules that keep a page's texts from changing what a launch runs, the path expansion,
// and inline icons.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/path_expansion.h"
#include "base/toolbox.h"
#include "core/functionnal_core.h"
#include "core/launch_request.h"
#include "front/front_env.h"
#include "platform/command_line.h"
#include "platform/image_codec.h"
#include "platform/path.h"
#include "session/companions.h"

namespace {

using ToolBox::SplitCommandLine;

TEST(LaunchRulesTest, StartToolItemsNeverSplitOrMerge) {
    const struct {
        std::string argument;
        std::string quoted;  // the text after "-object"
    } cases[] = {
        {"a \"b\"", "\"a \\\"b\\\"\""},
        {"a\\\"", "\"a\\\\\\\"\""},
        {"x\\\\\" -run python.exe -object \"y", "\"x\\\\\\\\\\\" -run python.exe -object \\\"y\""},
        {"ends with\\", "\"ends with\\\\\""},
        {"plain", "\"plain\""},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> items =
            Companions::StartToolCommand("/i/VRKSTART", "app", "", "", c.argument);
        ASSERT_EQ(items.size(), 6u);
        EXPECT_EQ(items[4], c.quoted) << c.argument;
        const std::vector<std::string> argv = SplitCommandLine(Companions::JoinItems(items));
        EXPECT_EQ(argv, (std::vector<std::string>{"/i/VRKSTART", "-run", "app", "-object",
                                                  c.argument, "-nowindow"}))
            << c.argument;
    }
}

TEST(LaunchRulesTest, NamesAndValuesThatAreRefused) {
    for (const std::string name : {"python.exe", "Python.exe ", "PYTHON", " perl .exe", "vrkstart",
                                   "code/bin/VRKSTART.EXE", "chvrkenv.exe.", "PmxExecute"}) {
        EXPECT_TRUE(LaunchRequest::IsBlackListed(name)) << name;
    }
    for (const std::string name : {"pythonw.exe", "designstudio", "my python.exe"}) {
        EXPECT_FALSE(LaunchRequest::IsBlackListed(name)) << name;
    }
    for (const std::string name :
         {"", "/bin/sh", "\\x", "C:x", "../x", "a/../../x", "a/..", "a\nb"}) {
        EXPECT_FALSE(LaunchRequest::IsRelativeName(name)) << name;
    }
    for (const std::string name : {"app", "sub/app", "a..b", ".hidden"}) {
        EXPECT_TRUE(LaunchRequest::IsRelativeName(name)) << name;
    }
    const struct {
        std::string name;
        std::string value;
        bool refused;
    } variables[] = {
        {"PATH_X", "C:\\a b", false}, {"X", "", false},   {"", "v", true},
        {"A B", "v", true},           {"A=B", "v", true}, {"A\tB", "v", true},
        {"A", "v\nINJECTED=1", true}, {"A", "v\r", true},
    };
    for (const auto& v : variables) {
        EXPECT_EQ(!LaunchRequest::VariableRefusal(v.name, v.value).empty(), v.refused) << v.name;
    }
}

TEST(LaunchRulesTest, PercentVariablesExpandWithTheUsersEnvironment) {
    const std::map<std::string, std::string> env = {
        {"HOME", "/home/u"}, {"USER", "u"}, {"XDG_CONFIG_HOME", "/cfg"}, {"X", "1"}};
    const ToolBox::VariableLookup environment = [&env](const std::string& name) {
        const auto it = env.find(name);
        return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const auto lookup = [&environment](const std::string& name) {
        std::optional<std::string> value = environment(name);
        return value ? value : ToolBox::UserFolderVariable(name, environment);
    };
    // A folder below HOME is joined with the platform's separator.
    const std::string sep(1, platform::PathSeparator());
    const std::pair<std::string, std::string> cases[] = {
        {"%USERPROFILE%/x", "/home/u/x"},
        {"%APPDATA%/p", "/cfg/p"},
        {"%LOCALAPPDATA%", "/home/u" + sep + ".local" + sep + "share"},
        {"%USERNAME%-%X%", "u-1"},
        {"C:\\a%b", "C:\\a%b"},
        {"%NOPE%/%X%", "%NOPE%/1"},
        {"50%%", "50%%"},
    };
    for (const auto& [text, expanded] : cases) {
        EXPECT_EQ(ToolBox::ExpandPercentVariables(text, lookup), expanded) << text;
    }
}

// Base64 writes bytes in the standard alphabet with padding.
std::string Base64(const std::vector<std::uint8_t>& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 3; ++j) {
            group = group << 8 | (j < n ? bytes[i + j] : 0u);
        }
        for (std::size_t j = 0; j < 4; ++j) {
            text += j <= n ? kAlphabet[group >> (18 - 6 * j) & 63] : '=';
        }
    }
    return text;
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
        const std::string value = "data:image/png;base64," + Base64(png);
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
    for (const std::string value :
         {"data:image/png;base64,", "data:image/png;base64,QUJD",
          "data:image/png;base64,not base64!", "data:image/png;base64,QU\nJD"}) {
        std::string path;
        EXPECT_EQ(FunctionnalCore::processEncodedIcon(path, value, value.find(";base64,")), 139)
            << value;
    }
}

}  // namespace
