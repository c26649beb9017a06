// FunctionnalCore holds the main functions that web pages call, and what keeps conflicting
// ones apart: a process-wide list of named locks and the frame that every main function runs
// in (start and end banners, refusal of conflicting work, locks, tray start, level check).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ZorvidRequestInfo;
namespace JSON {
class JSONItem;
class JSONDocument;
}  // namespace JSON

class FunctionnalCore {
  public:
    // Fixed lock ids; an installation id is a lock id too.
    static constexpr const char* INSTALL_LOCK = "INSTALL_LOCK";
    static constexpr const char* SELF_UPDATE_LOCK = "SELF_UPDATE_LOCK";
    static constexpr const char* UNINSTALL_LOCK_ID = "UNINSTALL_LOCK_ID";
    // UPDATE_MUTEX_NAME is the system-wide mutex that the update process owns while it runs.
    static constexpr const char* UPDATE_MUTEX_NAME = "VantaroLauncher_UPDATE_MUTEX";

    // LAUNCH_BLACK_LIST holds the executable names (lower case) that the start tool of an
    // installation must never be asked to run.
    static constexpr std::array<std::string_view, 7> LAUNCH_BLACK_LIST = {
        "vrkstart.exe", "chvrkenv.exe", "setvrkenv.exe", "xolhttpprobe.exe",
        "python.exe",   "perl.exe",     "pmxexecute.exe"};

    // When a main function refuses to start, answering "the daemon is busy".
    enum class Refusal {
        WhenSelfUpdateRunning,            // SELF_UPDATE_LOCK is held
        WhenBlockingRunning,              // IsBlockingOperationsAreRunning()
        WhenBlockingAndUninstallRunning,  // both of the above and UNINSTALL_LOCK_ID held
        WhenAnyLockHeld,                  // the lock list is not empty
        WhenUninstallRunning,             // UNINSTALL_LOCK_ID is held
    };

    // The lowest protocol level a main function accepts: each index must be at least its
    // bound (a bound of -1 accepts an unset index).
    struct LevelRequirement {
        std::int32_t minMajor = 0;
        std::int32_t minMinor = -1;
    };

    // Frame describes how one main function runs.
    struct Frame {
        std::string bannerWord;
        Refusal refusal = Refusal::WhenSelfUpdateRunning;
        bool checkUpdateMutex = false;   // refused with 210 while an update process runs
        std::vector<std::string> locks;  // taken in order, released in the same order
        bool startTray = false;
        LevelRequirement level;
    };

    // The frames of the main functions, one per entry point.
    static const Frame CREATE_SHORTCUT_FRAME;
    static const Frame CREATE_SHORTCUT_Z5INSTALL_FRAME;
    static const Frame LAUNCH_Z5INSTALL_FRAME;
    static const Frame DISCOVER_ALL_INSTALL_FRAME;
    static const Frame INSTALL_FRAME;
    static const Frame REINSTALL_FRAME;
    static const Frame SELF_UPDATE_FRAME;
    static const Frame UNINSTALL_FRAME;

    using Operation = std::function<std::int32_t()>;
    // TrayStarter starts the tray program in the requesting user's session.
    using TrayStarter = std::function<bool(const ZorvidRequestInfo&)>;

    FunctionnalCore() = delete;

    // Lock adds the id to the lock list; false for an empty id or one already held.
    static bool Lock(const std::string& id);
    // IsLocked tells whether the id is held (exact comparison); false for an empty id.
    static bool IsLocked(const std::string& id);
    // Release removes the id, keeping the order of the others; false for an empty id or one
    // that is not held.
    static bool Release(const std::string& id);
    // IsBlockingOperationsAreRunning tells whether a media installation or a self-update
    // is under way: what "isDaemonBusy" reports.
    static bool IsBlockingOperationsAreRunning();

    // Init reads the executable white list once ("whiteList_exe" beside the service).
    static void Init();

    // RunInFrame runs the operation inside the frame and returns its code, or 100 when the
    // frame refuses, 210 while an update process runs, 104 when the request's level is too
    // low for the frame.
    static std::int32_t RunInFrame(const Frame& frame, const ZorvidRequestInfo& request,
                                   const Operation& operation);

    // SetTrayStarter installs what starts the tray program; none is installed until the
    // tray module exists, and the frames then start nothing.
    static void SetTrayStarter(TrayStarter starter);

    // DiscoverAllInstallations answers "discoverAllInstall": the registered installations that
    // match the filter of params ("level", "instType", "installPath", "instID"), as a JSON
    // array in result.
    static std::int32_t DiscoverAllInstallations(const ZorvidRequestInfo& request,
                                                 const JSON::JSONItem& params,
                                                 JSON::JSONDocument& result);
    // DiscoverAllInstall is the operation inside that frame: 0, or 25 when the registry
    // cannot be read.
    static std::int32_t DiscoverAllInstall(const ZorvidRequestInfo& request,
                                           const JSON::JSONItem* params,
                                           JSON::JSONDocument& result);

    // LaunchZ5Install answers "startZ5" and "startZ5install"; CreateShortcut and
    // CreateShortcutFromZ5Install answer the two shortcut functions. Each runs
    // ExecInternalInt in its frame; the dispatcher has set "createShortcut" in params.
    static std::int32_t LaunchZ5Install(const ZorvidRequestInfo& request,
                                        const JSON::JSONItem& params, JSON::JSONDocument& result);
    static std::int32_t CreateShortcut(const ZorvidRequestInfo& request,
                                       const JSON::JSONItem& params, JSON::JSONDocument& result);
    static std::int32_t CreateShortcutFromZ5Install(const ZorvidRequestInfo& request,
                                                    const JSON::JSONItem& params,
                                                    JSON::JSONDocument& result);
    // ExecInternalInt starts an application of an installation in the user's session through
    // its start tool, or makes a desktop shortcut that would: 0 or the return code of the
    // first refusal (92, 2, 120, 121, 109, 141, 130 and the environment tools' codes, 122,
    // 136, 137, 124, 125, 133, 134, 126, 127, 128, 138).
    static std::int32_t ExecInternalInt(const ZorvidRequestInfo& request,
                                        const JSON::JSONItem* params);

    // SelfUpdate answers "selfUpdate": SelfUpdateInt2 in its frame.
    static std::int32_t SelfUpdate(const ZorvidRequestInfo& request, const JSON::JSONItem& params,
                                   JSON::JSONDocument& result);
    // SelfUpdateInt2 obtains the launcher's package (params "path", or "url" with "hash" and
    // "size", or "ws" describing them), keeps copies of the companion executables and starts
    // the saved GUI executable's "update" mode apart from the daemon: 0 once it has started
    // (its outcome goes to the update log), 106, 200 to 207, 209.
    static std::int32_t SelfUpdateInt2(const ZorvidRequestInfo& request,
                                       const JSON::JSONItem* params);
    // Install answers "installMedia" and ReinstallMedia "reinstallMedia", each in its frame.
    static std::int32_t Install(const ZorvidRequestInfo& request, const JSON::JSONItem& params,
                                JSON::JSONDocument& result);
    static std::int32_t ReinstallMedia(const ZorvidRequestInfo& request,
                                       const JSON::JSONItem& params, JSON::JSONDocument& result);
    // InstallMediaInt finds the media of the requested offerings in the media catalogue,
    // downloads and unpacks them as the user and runs each one's setup program: 0, or 92,
    // 101, 109, 159, 150, 151, 152, 153, 154, 156, 157, 158, 161, 162, 5.
    static std::int32_t InstallMediaInt(const ZorvidRequestInfo& request,
                                        const JSON::JSONItem* params);
    // runInstallWithoutAdmin runs the setup command as the session's user beside the
    // installer's server in the daemon's account, joined by a pipe; exitCode is the
    // command's. 0 when it ran, 2 when it could not.
    static std::int32_t runInstallWithoutAdmin(const ZorvidRequestInfo& request,
                                               const std::string& mediaFolder,
                                               const std::vector<std::string>& command,
                                               std::uint32_t& exitCode);
    // Reinstall uninstalls an installation and installs media into its folder: 0, 230, or
    // the code of the uninstallation or the installation.
    static std::int32_t Reinstall(const ZorvidRequestInfo& request, const JSON::JSONItem* params);
    // Uninstall answers "uninstall": UninstallInt2 in its frame.
    static std::int32_t Uninstall(const ZorvidRequestInfo& request, const JSON::JSONItem& params,
                                  JSON::JSONDocument& result);
    // UninstallInt2 removes one installation, found by "installId" or, when that is empty,
    // by "installTargetPath", by running its uninstall script (Companions::ToolNames()) with
    // the variables of "uninstVarData": 0, 109 (the installation is in use), 220 (no
    // parameters), 221, 222, 223 (lookup), 224 (the script could not run), 225 (it failed)
    // or 226 (no script). The installation is locked while the script runs.
    static std::int32_t UninstallInt2(const ZorvidRequestInfo& request,
                                      const JSON::JSONItem* params);
    // resolveInstallIdFromTargetPath finds the id of the one installation whose root folder
    // is rootFolder: 0, 221 (the registry cannot be read), 222 (several) or 223 (none).
    static std::int32_t resolveInstallIdFromTargetPath(const std::string& rootFolder,
                                                       std::string& installId);

    // createVrkEnv makes the environment file envDir/envName with the installation's tool,
    // from reference when that file exists: 0, 129 (no tool) or 130 (the tool failed, or
    // may not run with the daemon's rights).
    static std::int32_t createVrkEnv(const std::string& installRoot, const std::string& osds,
                                     const std::string& envDir, const std::string& envName,
                                     const std::string& reference);
    // ChangeVRKEnv sets name=value in that file: 0, 131 (no tool) or 132 (failed or refused).
    static std::int32_t ChangeVRKEnv(const std::string& name, const std::string& value,
                                     const std::string& runtime, const std::string& envDir,
                                     const std::string& envName, bool isNew);

    // processEncodedIcon writes the image of a "data:image/...;base64," value as an icon file
    // in the ICON folder (and a PNG of it beside, for desktops that do not read icon files):
    // 0 with iconPath set, 138 when a file cannot be written, 139 when the data is empty,
    // not Base64, not an image, or beyond the size limits.
    static std::int32_t processEncodedIcon(std::string& iconPath, const std::string& value,
                                           std::size_t markerPosition);
    // resolveEnvVarInPath expands %NAME% in path with the environment of the user's
    // programs (asked of the request's worker); result is unchanged on failure.
    static bool resolveEnvVarInPath(const ZorvidRequestInfo& request, const std::string& path,
                                    std::string& result);

    // MakeShortcut asks the request's worker for a desktop shortcut that runs the command;
    // shortcutResult is the worker's HRESULT-like number (0x80004005 when it sent none).
    // The operation result code of Operations::AsUser.
    static std::uint32_t MakeShortcut(const ZorvidRequestInfo& request,
                                      std::int32_t& shortcutResult,
                                      const std::vector<std::string>& command,
                                      const std::string& name, const std::string& description,
                                      const std::string& iconPath, std::int32_t iconIndex);

    // ExeWhiteList is the list read by Init.
    static std::vector<std::string> ExeWhiteList();

    // ResetForTests empties the lock list and the white list and forgets Init.
    static void ResetForTests();
};
