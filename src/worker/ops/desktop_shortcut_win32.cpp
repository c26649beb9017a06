// The Windows shortcut: a shell link (".lnk") named after the shortcut, that starts the
// command's program with the rest of the command as its arguments, in the program's folder,
// with the icon the daemon chose.
#include <filesystem>
#include <system_error>

#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/command_line.h"
#include "platform/shell_link.h"
#include "platform/sys_error.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"
#include "worker/ops/desktop_shortcut.h"
#include "worker/ops/path_text.h"

namespace WorkerOps {

namespace {

namespace Codes = WebOperationCodes;

constexpr const char* kTag = "[DesktopShortcut::Make]";

// LinkFileName keeps the shortcut's name readable but never a path nor a name that Windows
// refuses (reserved characters, a trailing dot or blank).
std::string LinkFileName(const std::string& name) {
    std::string file;
    for (const char c : name) {
        const bool reserved = std::string("\\/:*?\"<>|").find(c) != std::string::npos;
        file += reserved || static_cast<unsigned char>(c) < 0x20 ? '_' : c;
    }
    while (!file.empty() && (file.back() == '.' || file.back() == ' ')) {
        file.back() = '_';
    }
    return file + ".lnk";
}

// LinkOf splits the command: its first item is the program, the others its arguments as the
// command gives them (quoted items keep their quotes).
bool LinkOf(const DesktopShortcut::Shortcut& shortcut, platform::ShellLink& link) {
    const std::vector<std::string> program = ToolBox::SplitCommandLine(shortcut.command[0]);
    if (program.size() != 1 || program[0].empty()) {
        return false;
    }
    link.target = program[0];
    link.arguments = Companions::JoinItems(
        std::vector<std::string>(shortcut.command.begin() + 1, shortcut.command.end()));
    link.workingFolder = PathText(FsPath(link.target).parent_path());
    link.description = shortcut.description;
    link.iconPath = shortcut.iconPath;
    link.iconIndex = shortcut.iconIndex;
    return true;
}

}  // namespace

std::int32_t DesktopShortcut::Make(const Shortcut& shortcut, const std::string& folder,
                                   std::string& path) {
    platform::ShellLink link;
    if (shortcut.name.empty() || shortcut.command.empty() || folder.empty() ||
        !LinkOf(shortcut, link)) {
        Logger::Error(std::string(kTag) + "a shortcut needs a name, a program and a folder");
        return Codes::kShortcutFailed;
    }
    std::error_code error;
    std::filesystem::create_directories(FsPath(folder), error);
    path = ToolBox::JoinPath(folder, LinkFileName(shortcut.name));
    const std::uint32_t saved = platform::SaveShellLink(path, link);
    if (saved != platform::SysError::SUCCESS) {
        Logger::Error(std::string(kTag) + "cannot make " + path + " : " +
                      platform::SystemErrorMessage(saved));
        return Codes::kShortcutFailed;
    }
    Logger::Info(std::string(kTag) + "shortcut made : " + path);
    return Codes::kShortcutOk;
}

}  // namespace WorkerOps
