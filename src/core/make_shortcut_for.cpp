// The shortcut mode of a launch request: find the icon, then ask the worker for the
// shortcut.
#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "core/functionnal_core.h"
#include "core/launch_request.h"
#include "session/operations_as_user.h"

namespace {

// kNoUsableIcon has no row of its own in the return-code table.
constexpr std::int32_t kNoUsableIcon = 138;
constexpr const char* kDataUriStart = "data:image/";
constexpr const char* kBase64Marker = ";base64,";

struct Icon {
    std::string path;
    std::int32_t index = 0;
};

// Native turns the backslashes of a page's relative path into the platform's separator.
std::string Native(std::string path) {
    if (ToolBox::PathSeparator() != '\\') {
        std::replace(path.begin(), path.end(), '\\', ToolBox::PathSeparator());
    }
    return path;
}

bool EndsWithIco(const std::string& path) {
    return path.size() >= 4 && path.compare(path.size() - 4, 4, ".ico") == 0;
}

std::optional<Icon> SearchIconFolders(const std::string& tag, const LaunchRequest& p,
                                      const std::string& runtime) {
    const std::string relative = Native(p.iconRelPath) + (EndsWithIco(p.iconRelPath) ? "" : ".ico");
    const std::string descriptions =
        ToolBox::JoinPath(ToolBox::JoinPath(runtime, "resources"), "AppDescription");
    for (const std::string& folder : {ToolBox::JoinPath(descriptions, "AllIcons"), descriptions}) {
        const std::string candidate = ToolBox::JoinPath(folder, relative);
        if (ToolBox::PathExists(candidate)) {
            Logger::Debug(tag + "The icon found in the default folder: " + candidate);
            return Icon{candidate, 0};
        }
    }
    Logger::Debug(tag +
                  "File not found as direct .ico path! Try to determine if it's a relative "
                  "path...");
    const std::size_t comma = p.iconRelPath.find(',');
    Icon icon;
    const std::string part = Native(p.iconRelPath.substr(0, comma));
    if (comma != std::string::npos) {
        const std::string index = p.iconRelPath.substr(comma + 1);
        std::from_chars(index.data(), index.data() + index.size(), icon.index);
    }
    if (part.empty()) {
        return std::nullopt;
    }
    for (const std::string& candidate : {ToolBox::JoinPath(p.installPath, part), part}) {
        if (ToolBox::PathExists(candidate)) {
            icon.path = candidate;
            return icon;
        }
        Logger::Debug(tag + "File not found: " + candidate);
    }
    return std::nullopt;
}

std::int32_t FindIcon(const std::string& tag, const LaunchRequest& p, const std::string& runtime,
                      Icon& icon) {
    if (p.iconRelPath.empty()) {
        icon.path = ToolBox::JoinPath(ToolBox::JoinPath(ToolBox::JoinPath(runtime, "code"), "bin"),
                                      p.exeName);
        Logger::Info(tag +
                     "No Icon relative path was given. Automatically use that of the targeted "
                     "exe. iconPath: " +
                     icon.path);
    } else if (const std::size_t marker = p.iconRelPath.find(kBase64Marker);
               p.iconRelPath.rfind(kDataUriStart, 0) == 0 && marker != std::string::npos) {
        if (FunctionnalCore::processEncodedIcon(icon.path, p.iconRelPath, marker) != 0) {
            Logger::Error(tag + "Cannot decode icon behide data: " + p.iconRelPath);
            return kNoUsableIcon;
        }
    } else if (std::optional<Icon> found = SearchIconFolders(tag, p, runtime)) {
        icon = *found;
    } else {
        Logger::Error(tag + "No valid Icon path was found with the given parameters!");
        return kNoUsableIcon;
    }
    if (!ToolBox::IsFile(icon.path)) {
        Logger::Error(tag + "The resolved path [" + icon.path + "] does not exist!");
        return kNoUsableIcon;
    }
    return ReturnCode::RC_SUCCESS;
}

}  // namespace

std::int32_t MakeShortcutFor(const ZorvidRequestInfo& request, const std::string& tag,
                             const LaunchRequest& params, const std::string& runtime,
                             const std::vector<std::string>& command) {
    Icon icon;
    if (const std::int32_t rc = FindIcon(tag, params, runtime, icon); rc != 0) {
        return rc;
    }
    Logger::Info(tag + "This file exists: '" + icon.path +
                 "'. Take it as the icon file for the shortcut.");
    std::int32_t status = -1;
    const std::uint32_t result = FunctionnalCore::MakeShortcut(
        request, status, command, params.scName, params.scDesc, icon.path, icon.index);
    if (result == Operations::AsUser::kResultOk && status >= 0) {
        Logger::Debug(tag + "Shortcut successfully created");
        return ReturnCode::RC_SUCCESS;
    }
    Logger::Error(tag + "Shortcut creation failed. (aurc:" + std::to_string(status) +
                  "//rc:" + std::to_string(result) + ")");
    return ReturnCode::RC_SHORTCUT_FAILED;
}
