// DesktopShortcut is the worker's "mkshortcut": a shortcut in the user's desktop folder
// (platform::UserDesktopFolder) that runs the command. The result is a number:
// WebOperationCodes::kShortcutOk or kShortcutFailed.
//
// Linux: a desktop entry (freedesktop format), executable and, where the desktop keeps file
// metadata, marked trusted, as desktop environments require before they launch it; a PNG
// beside an ".ico" icon is preferred. Windows: a shell link (".lnk") whose target is the
// command's program, its arguments the other items, its working folder the program's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json/json.h"
#include "worker/ops/op_reply.h"

namespace WorkerOps {

class DesktopShortcut {
  public:
    struct Shortcut {
        std::vector<std::string> command;  // command-line items, quoted items with quotes
        std::string name;
        std::string description;
        std::string iconPath;
        std::int32_t iconIndex = 0;  // the image in the icon file (Linux icon files hold one)
    };

    // DesktopFolder is the user's desktop folder; empty when the system cannot tell.
    static std::string DesktopFolder();
    // EntryText is the desktop entry's text (Linux).
    static std::string EntryText(const Shortcut& shortcut);
    // Make writes the shortcut into folder; path is its file.
    static std::int32_t Make(const Shortcut& shortcut, const std::string& folder,
                             std::string& path);

    // Run answers a "mkshortcut" request: args {"cmd", "scName", "scDesc", "iconPath",
    // "iconIndex"}; content the result number.
    static OpReply Run(const JSON::JSONItem& args);
};

}  // namespace WorkerOps
