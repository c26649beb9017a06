// The Windows worker's shortcut: "mkshortcut", sent over the real worker's pipe, makes a shell
// link on the user's desktop that reads back with the command's program, arguments, folder
// and icon.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "base/json/json.h"
#include "base/toolbox.h"
#include "platform/known_folders.h"
#include "platform/message_pipe.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/shell_link.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"
#include "support/test_support.h"

namespace {

std::string JsonText(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    }
    return quoted + "\"";
}

class WorkerShortcutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(group_.Create(), 0u);
        pipe_ = "\\\\.\\pipe\\vl_shortcut_" +
                std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        const std::string worker =
            ToolBox::JoinPath(platform::ExecutableFolder(), Companions::GuiExecutableName());
        ASSERT_EQ(platform::LaunchAsSelf({worker, Companions::kRunMode, pipe_}, &group_, worker_),
                  0u);
    }

    void TearDown() override {
        platform::PipeConnection connection;
        std::size_t written = 0;
        if (platform::ConnectPipe(pipe_, platform::RuntimeOwner::Self(), connection) == 0) {
            connection.Write(Companions::kStopMessage, written);
        }
        std::uint32_t code = 0;
        worker_.Wait(30000, code);
    }

    // Ask sends one "run" request and gives the reply's "rc" and numeric "content".
    void Ask(const std::string& args, std::int32_t& rc, std::int32_t& content) {
        platform::PipeConnection connection;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (platform::ConnectPipe(pipe_, platform::RuntimeOwner::Self(), connection) != 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker serves no pipe";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::size_t written = 0;
        ASSERT_EQ(
            connection.Write("{\"op\": \"run\", \"cinfo\": null, \"args\": " + args + "}", written),
            0u);
        std::string reply;
        ASSERT_EQ(connection.ReadMessage(reply), 0u);
        JSON::JSONDocument document;
        ASSERT_EQ(document.Parse(reply), 0) << reply;
        ASSERT_TRUE(JSON::GetIntField("rc", rc, document.Root())) << reply;
        ASSERT_TRUE(JSON::GetIntField("content", content, document.Root())) << reply;
    }

    vl_test::TempDir dir_;
    platform::ProcessGroup group_;
    platform::ProcessHandle worker_;
    std::string pipe_;
};

TEST_F(WorkerShortcutTest, TheShortcutIsAShellLinkOnTheDesktopThatReadsBack) {
    const std::string bin = dir_.Path("L24 Design");
    const std::string tool = ToolBox::JoinPath(bin, "VRKSTART.exe");
    const std::string icon = ToolBox::JoinPath(bin, "designstudio.ico");
    ASSERT_TRUE(vl_test::WriteFile(tool, "") && vl_test::WriteFile(icon, ""));
    const std::string name = "Design Studio " + pipe_.substr(pipe_.rfind('_') + 1);
    const std::string command = "[" + JsonText(ToolBox::Quote(tool)) +
                                ", \"-run\", \"\\\"designstudio.exe\\\"\", \"-nowindow\"]";
    const struct {
        const char* what;
        std::string args;
        std::int32_t result;
    } cases[] = {
        {"made",
         "{\"action\": \"mkshortcut\", \"cmd\": " + command + ", \"scName\": " + JsonText(name) +
             ", \"scDesc\": \"L24.4\", \"iconPath\": " + JsonText(icon) + ", \"iconIndex\": 2}",
         WebOperationCodes::kShortcutOk},
        {"no name", "{\"action\": \"mkshortcut\", \"cmd\": " + command + "}",
         WebOperationCodes::kShortcutFailed},
        {"no program", "{\"action\": \"mkshortcut\", \"cmd\": [\"\"], \"scName\": \"x\"}",
         WebOperationCodes::kShortcutFailed},
    };
    for (const auto& c : cases) {
        std::int32_t rc = -1;
        std::int32_t result = -1;
        Ask(c.args, rc, result);
        EXPECT_EQ(rc, 0) << c.what;
        EXPECT_EQ(result, c.result) << c.what;
    }

    const std::string link = ToolBox::JoinPath(platform::UserDesktopFolder(), name + ".lnk");
    platform::ShellLink read;
    ASSERT_EQ(platform::LoadShellLink(link, read), 0u) << link;
    std::filesystem::remove(platform::FsPath(link));
    EXPECT_EQ(read.target, tool);
    EXPECT_EQ(read.arguments, "-run \"designstudio.exe\" -nowindow");
    EXPECT_EQ(read.workingFolder, bin);
    EXPECT_EQ(read.description, "L24.4");
    EXPECT_EQ(read.iconPath, icon);
    EXPECT_EQ(read.iconIndex, 2);
}

}  // namespace
