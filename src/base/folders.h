// FileAndFoldersManager is the table of the daemon's named folders. Every folder is an
// absolute path or a path relative to another folder of the table, so moving one base
// folder moves everything below it. Changed entries persist in "faf_manager.save".
//
// DAEMON_INSTALL_PATH is the executable's folder (where "pdata.ptr" is looked for), unless
// the environment variable QVYLD_INSTALL_DIR names another folder: tests and development
// runs use it to point the daemon at a folder of their own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Folder {
enum Id : std::int32_t {
    NONE = 0,
    PROGRAM_DATA = 1,
    DAEMON_INSTALL_PATH = 2,
    FOLDER_DATA_PATH = 3,  // MAIN_DATA
    MAIN_DATA = 3,
    OPERATION = 4,
    DEFAULT_VRKENV = 5,
    INTERNAL_DATA = 6,
    TEMP = 7,
    UNZIP = 8,
    USER_DATA = 9,
    MEDIA_DDL = 10,
    DOV_DDL = 11,
    FOLDER_MAIN_LOG_PATH = 12,  // LOG
    LOG = 12,
    INSTALLER_LOGS = 13,
    SELFUPDATE_LOGS = 14,
    ICON = 15,
};
}  // namespace Folder

// Run contexts of FileAndFoldersManager::Init.
namespace FolderContext {
inline constexpr std::uint32_t SERVICE = 0;
inline constexpr std::uint32_t USER = 1;
inline constexpr std::uint32_t ADMIN = 2;
inline constexpr std::uint32_t TEST_HARNESS = 3;
}  // namespace FolderContext

struct FolderEntry {
    std::int32_t baseItem = 0;  // id of the base folder, 0 for none
    std::string baseString;     // absolute path, used when baseItem is 0
    std::string relative;       // joined below the base; may be empty
};

class FileAndFoldersManager {
  public:
    // MakeFolderAsUser creates a folder as the user of a session (through that session's
    // worker); the session bridge installs it.
    using MakeFolderAsUser = std::function<bool(std::uint32_t sessionId, const std::string&)>;

    static bool Init(std::uint32_t context);
    static bool GetFolder(std::int32_t id, std::string& path, bool create = false,
                          std::optional<std::uint32_t> userSession = std::nullopt);
    static bool SetFolder(std::int32_t id, const FolderEntry& entry, bool create = false,
                          std::optional<std::uint32_t> userSession = std::nullopt);
    static std::int32_t GetFolderIdFromName(const std::string& name);
    static std::string GetNameForFolderId(std::int32_t id);
    static void put(std::int32_t id, const FolderEntry& entry);
    static bool Save(std::int32_t id, const FolderEntry& entry);
    static bool Load();
    static std::uint32_t Context();
    // DamageReports lists the damaged state that Init worked around (an unusable pointer
    // file, skipped saved entries), each as the ERROR text already sent to the event log: the
    // service logs them again once its log file is ready.
    static std::vector<std::string> DamageReports();

    static void SetMakeFolderAsUser(MakeFolderAsUser fn);
    // ResetForTests forgets the table, the context and the installed MakeFolderAsUser.
    static void ResetForTests();
};
