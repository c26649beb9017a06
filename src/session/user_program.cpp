#include "session/user_program.h"

#include "base/config.h"
#include "base/folders.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/file_access.h"
#include "platform/runtime_folder.h"
#include "platform/sys_error.h"

namespace UserProgram {

namespace {

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

}  // namespace

void Init(const std::string& logName, const std::string& program) {
    Logger::SetStdoutCopy(false);
    FileAndFoldersManager::Init(FolderContext::USER);
    std::string mainData;
    if (FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, mainData)) {
        Config::Init(ToolBox::JoinPath(mainData, "launcher.conf"));
    }
    Logger::Init(logName, LogFolder(), program);
}

}  // namespace UserProgram
