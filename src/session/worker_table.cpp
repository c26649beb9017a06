#include "session/worker_table.h"

#include <map>
#include <mutex>
#include <vector>

#include "base/folders.h"
#include "base/logger.h"
#include "base/zorvid_request_info.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/session_query.h"
#include "session/user_extension.h"

namespace {

struct Table {
    std::mutex mutex;
    std::map<std::uint32_t, std::shared_ptr<UserExtension>> workers;
};

Table& State() {
    static Table table;
    return table;
}

// MakeFolderInSession is the folder table's way to create a folder as a session's user.
bool MakeFolderInSession(std::uint32_t sessionId, const std::string& path) {
    const std::shared_ptr<UserExtension> extension = WorkerTable::GetExtensionForSession(sessionId);
    // The daemon's own identity: no page asked for this folder.
    const ZorvidRequestInfo identity{std::string()};
    JSON::ItemPtr args = JSON::CreateObject();
    args->AsObject()->Set("action", JSON::CreateString(Companions::kActionMakeFolder));
    args->AsObject()->Set("path", JSON::CreateString(path));
    JSON::ItemPtr content;
    const std::uint32_t result = Operations::AsUser::RunOperationOnExtension(
        extension.get(), identity, Companions::kVerbRun, args.get(), content);
    return result == Operations::AsUser::kResultOk && content && content->IsBool() &&
           content->GetBool();
}

}  // namespace

std::shared_ptr<UserExtension> WorkerTable::GetExtension(const ZorvidRequestInfo& /*request*/) {
    std::uint32_t sessionId = 0;
    if (!ToolBox::GetActiveSessionId(sessionId)) {
        return nullptr;
    }
    return GetExtensionForSession(sessionId);
}

std::shared_ptr<UserExtension> WorkerTable::GetExtensionForSession(std::uint32_t sessionId) {
    Table& table = State();
    std::lock_guard lock(table.mutex);
    std::shared_ptr<UserExtension>& slot = table.workers[sessionId];
    if (!slot) {
        slot = std::make_shared<UserExtension>(sessionId);
    }
    return slot;
}

void WorkerTable::InstallFolderCreation() {
    FileAndFoldersManager::SetMakeFolderAsUser(&MakeFolderInSession);
}

void WorkerTable::StopAll() {
    std::map<std::uint32_t, std::shared_ptr<UserExtension>> workers;
    {
        Table& table = State();
        std::lock_guard lock(table.mutex);
        workers.swap(table.workers);
    }
    for (auto& [sessionId, extension] : workers) {
        if (extension->Stop()) {
            Logger::Internal("[WorkerTable::StopAll]worker of session [" +
                             std::to_string(sessionId) + "] stopped");
        }
    }
    // An instance still used by an operation ends with its last user.
}
