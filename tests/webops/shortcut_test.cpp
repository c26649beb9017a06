// Desktop entries: where they go, what they say, and that desktops may launch them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "session/operations_as_user_web.h"
#include "support/test_support.h"
#include "worker/ops/desktop_shortcut.h"

namespace {

using WorkerOps::DesktopShortcut;

TEST(DesktopShortcutTest, TheDesktopFolderFollowsTheUsersDirectories) {
    vl_test::TempDir home;
    vl_test::ScopedEnv homeEnv("HOME", home.Path());
    vl_test::ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(DesktopShortcut::DesktopFolder(), home.Path("Desktop"));
    vl_test::WriteFile(home.Path(".config/user-dirs.dirs"),
                       "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
    EXPECT_EQ(DesktopShortcut::DesktopFolder(), home.Path("Bureau"));
    vl_test::WriteFile(home.Path(".config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME/\"\n");
    EXPECT_EQ(DesktopShortcut::DesktopFolder(), home.Path("Desktop"));
}

TEST(DesktopShortcutTest, TheEntryRunsTheCommandItemsAsGiven) {
    DesktopShortcut::Shortcut shortcut;
    shortcut.command = {"\"/opt/My App/VRKSTART\"", "-run", "\"app.exe\"", "-object",
                        "\"a \\\"b\\\" 100%\""};
    shortcut.name = "My App";
    shortcut.description = "line1\nline2";
    shortcut.iconPath = "/opt/My App/icon.png";
    EXPECT_EQ(DesktopShortcut::EntryText(shortcut),
              "[Desktop Entry]\nVersion=1.0\nType=Application\nName=My App\n"
              "Comment=line1\\nline2\n"
              "Exec=\"/opt/My App/VRKSTART\" -run app.exe -object \"a \\\\\"b\\\\\" 100%%\"\n"
              "Icon=/opt/My App/icon.png\nTerminal=false\n");
}

TEST(DesktopShortcutTest, TheEntryIsExecutableAndNamedAfterTheShortcut) {
    vl_test::TempDir desktop;
    DesktopShortcut::Shortcut shortcut;
    shortcut.command = {"/bin/true"};
    shortcut.name = "a/b";
    std::string path;
    ASSERT_EQ(DesktopShortcut::Make(shortcut, desktop.Path("d"), path),
              WebOperationCodes::kShortcutOk);
    EXPECT_EQ(path, desktop.Path("d/a_b.desktop"));
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    shortcut.name.clear();
    EXPECT_EQ(DesktopShortcut::Make(shortcut, desktop.Path("d"), path),
              WebOperationCodes::kShortcutFailed);
}

}  // namespace
