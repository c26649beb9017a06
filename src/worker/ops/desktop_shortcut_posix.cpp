#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/command_line.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"
#include "worker/ops/desktop_shortcut.h"
#include "worker/ops/path_text.h"

namespace WorkerOps {

namespace {

namespace Codes = WebOperationCodes;
namespace fs = std::filesystem;

constexpr const char* kTag = "[DesktopShortcut::Make]";
constexpr std::uint32_t kMetadataWaitMs = 5000;

// ExecArgument quotes one argument for the Exec key: reserved characters force double
// quotes, inside which ", `, $ and \ take a backslash.
std::string ExecArgument(const std::string& item) {
    std::string text;
    for (const char c : item) {
        text += c == '%' ? std::string("%%") : std::string(1, c);
    }
    if (!text.empty() && text.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// EntryValue escapes a value of the entry's string type (backslash and line breaks).
std::string EntryValue(const std::string& value) {
    std::string text;
    for (const char c : value) {
        switch (c) {
            case '\\':
                text += "\\\\";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            case '\t':
                text += "\\t";
                break;
            default:
                text += c;
        }
    }
    return text;
}

// FileName keeps the shortcut's name readable but never a path.
std::string FileName(const std::string& name) {
    std::string file;
    for (const char c : name) {
        file += (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
    }
    return file == "." || file == ".." ? "_" : file;
}

// MarkTrusted asks the desktop's metadata store to trust the entry; where there is none
// the executable bit is all the desktop gets.
void MarkTrusted(const std::string& path) {
    platform::ProcessHandle process;
    if (platform::LaunchAsSelf({"gio", "set", "-t", "string", path, "metadata::trusted", "true"},
                               nullptr, process) != 0) {
        Logger::Debug(std::string(kTag) + "no metadata store to mark " + path + " trusted");
        return;
    }
    std::uint32_t exitCode = 0;
    if (!process.Wait(kMetadataWaitMs, exitCode)) {
        process.Terminate(0);
    } else if (exitCode != 0) {
        Logger::Debug(std::string(kTag) + "the metadata store did not mark " + path + " trusted");
    }
}

// PngBeside is the ".png" file beside an ".ico" file, when there is one.
std::string PngBeside(const std::string& iconPath) {
    const std::string suffix = ".ico";
    if (iconPath.size() <= suffix.size() ||
        iconPath.compare(iconPath.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return {};
    }
    const std::string png = iconPath.substr(0, iconPath.size() - suffix.size()) + ".png";
    return ToolBox::IsFile(png) ? png : std::string();
}

}  // namespace

std::string DesktopShortcut::EntryText(const Shortcut& shortcut) {
    std::string exec;
    for (const std::string& item :
         ToolBox::SplitCommandLine(Companions::JoinItems(shortcut.command))) {
        if (!exec.empty()) {
            exec += ' ';
        }
        exec += ExecArgument(item);
    }
    std::string text = "[Desktop Entry]\nVersion=1.0\nType=Application\n";
    const auto line = [&text](const char* key, const std::string& value) {
        text.append(key).append("=").append(EntryValue(value)).append("\n");
    };
    line("Name", shortcut.name);
    if (!shortcut.description.empty()) {
        line("Comment", shortcut.description);
    }
    line("Exec", exec);
    if (!shortcut.iconPath.empty()) {
        line("Icon", shortcut.iconPath);
    }
    text += "Terminal=false\n";
    return text;
}

std::int32_t DesktopShortcut::Make(const Shortcut& given, const std::string& folder,
                                   std::string& path) {
    // Not every desktop reads icon files: a PNG of the same image beside one is preferred.
    Shortcut shortcut = given;
    if (const std::string png = PngBeside(shortcut.iconPath); !png.empty()) {
        shortcut.iconPath = png;
    }
    if (shortcut.name.empty() || shortcut.command.empty() || shortcut.command[0].empty() ||
        folder.empty()) {
        Logger::Error(std::string(kTag) + "a shortcut needs a name, a command and a folder");
        return Codes::kShortcutFailed;
    }
    std::error_code error;
    fs::create_directories(FsPath(folder), error);
    path = ToolBox::JoinPath(folder, FileName(shortcut.name) + ".desktop");
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(FsPath(temporary), std::ios::binary | std::ios::trunc);
        out << EntryText(shortcut);
        if (!out.flush()) {
            Logger::Error(std::string(kTag) + "cannot write " + temporary);
            fs::remove(FsPath(temporary), error);
            return Codes::kShortcutFailed;
        }
    }
    fs::permissions(FsPath(temporary),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    error);
    if (!error) {
        fs::rename(FsPath(temporary), FsPath(path), error);
    }
    if (error) {
        Logger::Error(std::string(kTag) + "cannot make " + path + " : " + error.message());
        fs::remove(FsPath(temporary), error);
        return Codes::kShortcutFailed;
    }
    MarkTrusted(path);
    Logger::Info(std::string(kTag) + "shortcut made : " + path);
    return Codes::kShortcutOk;
}

}  // namespace WorkerOps
