// The tray executable's entry point: the tray program, or the spinner with "--spinner".
#include <exception>
#include <string>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/file_access.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"
#include "session/companions.h"
#include "tray/tray.h"

namespace {

// LogFolder is where the user's own worker logs: the shared log folder when this user may
// write there, else the user's own runtime folder. The menu opens it.
std::string LogFolder() {
    std::string folder;
    if (FileAndFoldersManager::GetFolder(Folder::LOG, folder) &&
        platform::CheckAccess(folder, platform::kAccessWrite) == platform::SysError::SUCCESS) {
        return folder;
    }
    folder.clear();
    platform::RuntimeFolderPath(platform::RuntimeOwner::Self(), folder);
    return folder;
}

void InitInfrastructure() {
    Logger::SetStdoutCopy(false);
    FileAndFoldersManager::Init(FolderContext::USER);
    std::string mainData;
    if (FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData)) {
        Config::Init(ToolBox::JoinPath(mainData, "launcher.conf"));
    }
    Logger::Init("tray", LogFolder(), Companions::kTrayProgram);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        InitInfrastructure();
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == Companions::kSpinnerMode) {
            return Tray::RunSpinner();
        }
        if (!mode.empty()) {
            Logger::Error("[Main]usage: " + Companions::TrayExecutableName() + " [--spinner]");
            return Companions::kExitUsage;
        }
        return Tray::RunTray();
    } catch (const std::exception& e) {
        Logger::LogException(e, "[Main]", false);
        return Companions::kExitPipeFailed;
    }
}
