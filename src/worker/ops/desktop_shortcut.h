// DesktopShortcut is the worker's "mkshortcut": a desktop entry (freedesktop format) on the
// user's desktop folder, which is XDG_DESKTOP_DIR of the user's "user-dirs.dirs" or else
// ~/Desktop. The entry is executable and, where the desktop keeps file metadata, marked
// trusted, as desktop environments require before they launch it. The result is a number:
// WebOperationCodes::kShortcutOk or kShortcutFailed.
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
        std::int32_t iconIndex = 0;  // icon files hold one image here; kept for the caller
    };

    // DesktopFolder is the user's desktop folder; empty without a home folder.
    static std::string DesktopFolder();
    // EntryText is the desktop entry's text.
    static std::string EntryText(const Shortcut& shortcut);
    // Make writes the entry into folder; path is the entry file.
    static std::int32_t Make(const Shortcut& shortcut, const std::string& folder,
                             std::string& path);

    // Run answers a "mkshortcut" request: args {"cmd", "scName", "scDesc", "iconPath",
    // "iconIndex"}; content the result number.
    static OpReply Run(const JSON::JSONItem& args);
};

}  // namespace WorkerOps
