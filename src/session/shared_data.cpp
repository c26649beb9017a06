#include "session/shared_data.h"

#include "base/logger.h"
#include "base/zorvid_request_info.h"
#include "session/worker_table.h"

// Nothing is remembered until the session table exists; the session table fills this in.
void SharedData::SaveZorvidUrl(const ZorvidRequestInfo& /*request*/) {}

bool SharedData::Start() {
    // Folders that must belong to the user are made by that user's worker.
    WorkerTable::InstallFolderCreation();
    Logger::Info("[SharedData::Start]No tray channel in this build: nothing to start.");
    return true;
}

// Stop ends the session workers with the service; the worker table keeps them until the
// session table does.
bool SharedData::Stop() {
    WorkerTable::StopAll();
    return true;
}
