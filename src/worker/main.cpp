// The GUI executable's entry point, in the modes the daemon starts it with.
#include <exception>
#include <string>

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/file_access.h"
#include "platform/process.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"
#include "session/companions.h"
#include "worker/worker.h"

namespace {

// LogFolder is the shared log folder when this user may write there, else the user's own
// runtime folder.
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

// InitInfrastructure resolves the folders as the daemon does, in the user's context, so
// that both sides agree on every named folder.
void InitInfrastructure() {
    // Our standard output is the daemon's: keep it clean.
    Logger::SetStdoutCopy(false);
    FileAndFoldersManager::Init(FolderContext::USER);
    std::string mainData;
    if (FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData)) {
        Config::Init(ToolBox::JoinPath(mainData, "launcher.conf"));
    }
    Logger::Init("worker", LogFolder(), Companions::kGuiProgram);
}

int Dispatch(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == Companions::kRunMode && argc > 2) {
        return Worker::Serve(argv[2]);
    }
    if (mode == Companions::kPostStatusMode && argc > 2) {
        return Worker::PostStatus(argv[2]);
    }
    if (mode == Companions::kUpdateMode) {
        Logger::Error("[Main]the update mode is not available in this build");
        return Companions::kExitNotAvailable;
    }
    Logger::Error("[Main]usage: " + Companions::GuiExecutableName() +
                  " run <pipe name> | postStatus <json>");
    return Companions::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        // First, while this is the only thread: the session's display and bus, which the
        // daemon could only guess, come from the user's own service manager when there is
        // one. The commands this worker runs and its dialogs get them too.
        const bool adopted = platform::AdoptSessionEnvironment();
        InitInfrastructure();
        Logger::Internal(std::string("[Main]session environment : ") +
                         (adopted ? "the user's service manager" : "as started"));
        return Dispatch(argc, argv);
    } catch (const std::exception& e) {
        Logger::LogException(e, "[Main]", false);
        return Companions::kExitPipeFailed;
    }
}
