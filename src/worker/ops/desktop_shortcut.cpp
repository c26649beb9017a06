// The worker's "mkshortcut" request, the same on every platform: the arguments are read here
// and the platform's maker (desktop_shortcut_posix.cpp, desktop_shortcut_win32.cpp) writes the
// shortcut into the user's desktop folder.
#include "worker/ops/desktop_shortcut.h"

#include "platform/known_folders.h"

namespace WorkerOps {

std::string DesktopShortcut::DesktopFolder() {
    return platform::UserDesktopFolder();
}

OpReply DesktopShortcut::Run(const JSON::JSONItem& args) {
    Shortcut shortcut;
    if (const JSON::JSONItem* list = args.Get("cmd"); list != nullptr && list->IsArray()) {
        for (const JSON::ItemPtr& item : list->AsArray()->Items()) {
            shortcut.command.push_back(item->GetString());
        }
    }
    JSON::GetStringField("scName", shortcut.name, &args);
    JSON::GetStringField("scDesc", shortcut.description, &args);
    JSON::GetStringField("iconPath", shortcut.iconPath, &args);
    JSON::GetIntField("iconIndex", shortcut.iconIndex, &args);
    std::string path;
    const std::int32_t result = Make(shortcut, DesktopFolder(), path);
    return ReplyOk(JSON::CreateNumber(result));
}

}  // namespace WorkerOps
