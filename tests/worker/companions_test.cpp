// The command lines of the companion programs and tools mean the same items once split.
#include "session/companions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json/json.h"
#include "platform/command_line.h"
#include "platform/process.h"
#include "worker_env.h"

namespace {

using ToolBox::SplitCommandLine;

TEST(CompanionsTest, WorkerCommandLineSplitsBackIntoItsParts) {
    const std::string pipe = Companions::WorkerPipeName(3, 1700000000);
    EXPECT_EQ(pipe, "\\\\.\\pipe\\userExt_3_1700000000");
    const std::string path = "C:\\Program Files\\Vantaro\\VantaroLauncherGUI.exe";
    EXPECT_EQ(SplitCommandLine(Companions::WorkerCommandLine(path, pipe)),
              (std::vector<std::string>{path, "run", pipe}));
}

// The stop command keeps the program path whole and its JSON text as one item.
TEST(CompanionsTest, PostStatusCommandCarriesItsJsonWhole) {
    const std::string text = Companions::StopWorkerText();
    EXPECT_EQ(text,
              "{\"wnd\": \"VantaroLauncher Backbone\", \"label\": \"1049\", \"lparam\": \"0\", "
              "\"wparam\": \"0\"}");
    const std::vector<std::string> items = Companions::PostStatusCommand("/opt/v l/gui", text);
    EXPECT_EQ(SplitCommandLine(Companions::JoinItems(items)),
              (std::vector<std::string>{"/opt/v l/gui", "postStatus", text}));
}

TEST(CompanionsTest, ToolCommandsQuoteWhatNeedsIt) {
    const struct {
        std::vector<std::string> items;
        std::vector<std::string> argv;
    } cases[] = {
        {Companions::EnvChangeCommand("C:\\r b\\chvrkenv.exe", "env.txt", "C:\\e", "PATH_X",
                                      "C:\\a b", true),
         {"C:\\r b\\chvrkenv.exe", "-e", "env.txt", "-d", "C:\\e", "-var", "PATH_X=C:\\a b",
          "-new"}},
        {Companions::EnvChangeCommand("t", "e", "d", "N", "v", false),
         {"t", "-e", "e", "-d", "d", "-var", "N=v"}},
        {Companions::EnvCreationCommand("t", "e.txt", "C:\\d", "C:\\root", ""),
         {"t", "-e", "e.txt", "-d", "C:\\d", "-p", "C:\\root", "-icon", "no", "-menu", "no"}},
        {Companions::StartToolCommand("C:\\i\\VRKSTART.exe", "app.exe", "", "C:\\d", ""),
         {"C:\\i\\VRKSTART.exe", "-run", "app.exe", "-direnv", "C:\\d", "-nowindow"}},
        {Companions::UninstallCommand("/opt/i b/Uninstall.sh"),
         {"/opt/i b/Uninstall.sh", "-quiet"}},
        {Companions::UpdateCommand("C:\\t b\\gui.exe", "C:\\m \"1\".msi", "C:\\l b.txt", "C:\\i\\",
                                   2),
         {"C:\\t b\\gui.exe", "update", "C:\\m \"1\".msi", "C:\\l b.txt", "C:\\i\\", "2"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitCommandLine(Companions::JoinItems(c.items)), c.argv)
            << Companions::JoinItems(c.items);
    }
    EXPECT_EQ(Companions::JoinItems(
                  Companions::EnvChangeCommand("t", "e", "d", "PATH_X", "C:\\a b", false)),
              "\"t\" -e e -d \"d\" -var \"PATH_X=C:\\a b\"");
}

// A program started as the daemon itself sees the extra environment entries, the one that
// replaces an inherited variable included.
TEST(CompanionsTest, ProgramsStartedAsSelfGetTheExtraEnvironment) {
    for (const std::string entry : {"VL_FAKE_CODE=42", "PATH=42"}) {
        platform::LaunchOptions options;
        options.argv = {worker_test::FakePath(), "env", entry.substr(0, entry.find('='))};
        options.extraEnvironment = {entry};
        platform::ProcessHandle process;
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, process), 0u) << entry;
        std::uint32_t code = 0;
        ASSERT_TRUE(process.Wait(30000, code)) << entry;
        EXPECT_EQ(code, 42u) << entry;
    }
}

}  // namespace
