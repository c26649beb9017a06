// The rules that keep a page's texts from changing what a launch runs, and the path
// expansion.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/path_expansion.h"
#include "base/toolbox.h"
#include "core/launch_request.h"
#include "platform/command_line.h"
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

}  // namespace
