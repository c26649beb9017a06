#include "session/shared_data.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "platform/message_pipe.h"
#include "platform/sessions.h"
#include "platform/shared_memory.h"
#include "platform/sys_error.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_as_user_web.h"
#include "session/operations_local.h"
#include "session/session_query.h"
#include "session/user_extension.h"

namespace {

using Extension = std::shared_ptr<UserExtension>;

// Tables are the three tables and what belongs with them; one lock guards them all.
struct Tables {
    std::recursive_mutex mutex;
    std::map<std::uint32_t, Extension> sessions;
    std::map<std::string, std::uint32_t> associations;
    std::map<std::string, std::string> urls;
    // The user of each session when it was last seen, so that a user may still close a
    // session the system has already forgotten.
    std::map<std::uint32_t, std::string> sessionUsers;
    std::string dataPath;
    bool loaded = false;
};

// Channel is the two threads and what they own.
struct Channel {
    std::mutex mutex;  // Start and Stop
    std::thread comThread;
    std::thread updateThread;
    std::atomic<bool> started{false};
    std::atomic<bool> pipeLoop{false};
    std::atomic<bool> updateRunning{false};
    std::atomic<std::uint64_t> served{0};
    bool updateStop = false;
    std::mutex updateMutex;  // updateStop
    std::condition_variable updateWake;
    platform::PipeListener listener;
    platform::SharedMemoryWriter block;
    std::mutex sourceMutex;
    SharedData::ServerInfoSource source;

    // A process that ends without Stop must not destroy running threads.
    ~Channel() {
        pipeLoop = false;
        listener.Interrupt();
        {
            std::lock_guard lock(updateMutex);
            updateStop = true;
        }
        updateWake.notify_all();
        for (std::thread* thread : {&comThread, &updateThread}) {
            if (thread->joinable()) {
                thread->join();
            }
        }
    }
};

Tables& TablesState() {
    static Tables tables;
    return tables;
}

Channel& ChannelState() {
    static Channel channel;
    return channel;
}

SharedData::ServerInfo CurrentServer() {
    Channel& channel = ChannelState();
    std::lock_guard lock(channel.sourceMutex);
    return channel.source ? channel.source() : SharedData::ServerInfo{};
}

std::string Text(std::uint32_t id) {
    return std::to_string(id);
}

// MakeFolderInSession is the folder table's way to create a folder as a session's user.
bool MakeFolderInSession(std::uint32_t sessionId, const std::string& path) {
    const Extension extension = SharedData::GetExtensionForSession(sessionId);
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

// ---- GetExtension steps -------------------------------------------------------------------

// ResolveAssociated looks the page id up: its own association, else the standby session.
bool ResolveAssociated(Tables& tables, const std::string& id, std::uint32_t& session,
                       bool& standby) {
    const std::string tag = "[SharedData::GetExtension]";
    standby = false;
    if (auto found = tables.associations.find(id); found != tables.associations.end()) {
        session = found->second;
        Logger::Internal(tag + "zorvidID already seen and associated with : " + Text(session));
        return true;
    }
    if (auto found = tables.associations.find(SharedData::kStandbyKey);
        found != tables.associations.end()) {
        session = found->second;
        standby = true;
        Logger::Internal(tag + "No session associted to this zorvidID '" + id +
                         "' found but existing session in standby on [" + Text(session) +
                         "] , use it.");
        return true;
    }
    return false;
}

// ChooseSession weighs the resolved session against the active one.
bool ChooseSession(bool resolved, std::uint32_t resolvedId, std::uint32_t& session) {
    const std::string tag = "[SharedData::GetExtension]";
    std::uint32_t active = 0;
    const bool hasActive = ToolBox::GetActiveSessionId(active);
    if (resolved && !hasActive) {
        Logger::Warn(tag + "we have found a resolved sessionID[" + Text(resolvedId) +
                     "] while no active session is being detected.");
        session = resolvedId;
        return true;
    }
    if (resolved && resolvedId != active) {
        Logger::Warn(tag + "the resolved sessionID[" + Text(resolvedId) +
                     "] does not match the current active one [" + Text(active) + "] !");
    }
    if (hasActive) {
        session = active;
        return true;
    }
    Logger::Error(tag + "{CRITICAL}Cannot found a valid session to start the user's extention.");
    return false;
}

// EntryFor is the session's worker in the table, made when absent or empty.
Extension EntryFor(Tables& tables, std::uint32_t session, const std::string& tag) {
    auto found = tables.sessions.find(session);
    if (found != tables.sessions.end() && found->second) {
        Logger::Internal(tag + "session already seen, retrieve current UserExtension object.");
        return found->second;
    }
    if (found != tables.sessions.end()) {
        Logger::Internal(tag +
                         "already seen session ID is associated to an invalid UserExtension, "
                         "cleaning up.");
        tables.sessions.erase(found);
    }
    Logger::Internal(tag + "No UserExtension object associted to this session '" + Text(session) +
                     "', creating new UserExtension ...");
    Extension extension = std::make_shared<UserExtension>(session);
    tables.sessions[session] = extension;
    return extension;
}

// RememberUser notes whose session this is, for the closing rule.
void RememberUser(Tables& tables, std::uint32_t session) {
    platform::SessionRecord record;
    if (platform::FindSession(session, record) && !record.user.empty()) {
        tables.sessionUsers[session] = record.user;
    }
}

// ---- tray messages ------------------------------------------------------------------------

enum class TrayOperation { Closing, Bind, SetPath, Init, Unknown };

struct TrayMessage {
    TrayOperation operation = TrayOperation::Unknown;
    std::uint32_t session = 0;
    std::string uuid;
    std::string targetItem;
};

bool NumberMember(const JSON::JSONItem& root, const char* key, std::uint32_t& value) {
    const JSON::JSONItem* item = root.Get(key);
    if (item == nullptr || !item->IsNumber() || item->GetInt64() < 0 ||
        item->GetInt64() > 0xFFFFFFFFll) {
        return false;
    }
    value = static_cast<std::uint32_t>(item->GetInt64());
    return true;
}

bool StringMember(const JSON::JSONItem& root, const char* key, std::string& value) {
    const JSON::JSONItem* item = root.Get(key);
    if (item == nullptr || !item->IsString()) {
        return false;
    }
    value = item->GetString();
    return true;
}

// Classify applies the first row of the message table whose members match.
TrayMessage Classify(const JSON::JSONItem& root) {
    TrayMessage message;
    std::string ignored;
    if (NumberMember(root, "closingSession", message.session)) {
        message.operation = TrayOperation::Closing;
    } else if (NumberMember(root, "sessionID", message.session) &&
               StringMember(root, "uuid", message.uuid)) {
        message.operation = TrayOperation::Bind;
    } else if (StringMember(root, "targetItem", message.targetItem) &&
               (StringMember(root, "path", ignored) || (StringMember(root, "refItem", ignored) &&
                                                        StringMember(root, "relPath", ignored)))) {
        message.operation = TrayOperation::SetPath;
    } else if (NumberMember(root, "sID", message.session)) {
        message.operation = TrayOperation::Init;
    }
    return message;
}

// Allowed is the access rule: root anything; others their own sessions, active ones except
// for closing, and never a folder change.
bool Allowed(const TrayMessage& message, const platform::PeerIdentity& peer, std::string& why) {
    if (peer.privileged) {
        return true;
    }
    if (message.operation == TrayOperation::SetPath) {
        why = "only the system account may move the daemon's folders";
        return false;
    }
    platform::SessionRecord record;
    if (platform::FindSession(message.session, record)) {
        if (record.user != peer.user) {
            why = "session " + Text(message.session) + " is not a session of this user";
            return false;
        }
        if (message.operation != TrayOperation::Closing &&
            record.state != platform::kSessionStateActive) {
            why = "session " + Text(message.session) + " is not active";
            return false;
        }
        return true;
    }
    if (message.operation == TrayOperation::Closing) {
        Tables& tables = TablesState();
        std::lock_guard lock(tables.mutex);
        auto seen = tables.sessionUsers.find(message.session);
        if (seen != tables.sessionUsers.end() && seen->second == peer.user) {
            return true;
        }
    }
    why = "no such session : " + Text(message.session);
    return false;
}

// ---- page-URL file ------------------------------------------------------------------------

std::string DataPath() {
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    if (tables.dataPath.empty()) {
        std::string folder;
        if (FileAndFoldersManager::GetFolder(Folder::MAIN_DATA, folder)) {
            tables.dataPath = ToolBox::JoinPath(folder, SharedData::kDataFileName);
        }
    }
    return tables.dataPath;
}

bool SaveUrls(const std::map<std::string, std::string>& urls, const std::string& path) {
    JSON::JSONDocument document;
    document.NewObject();
    for (const auto& [user, url] : urls) {
        document.Set(user, JSON::CreateString(url, false));
    }
    document.End();
    const std::string text = document.ToString();
    Logger::Debug("[SharedData::SaveZorvidUrl] try to save current data : '" + text + "'");
    // Replaced whole: a reader never sees half a file.
    if (!ToolBox::File::WriteLinesAtomic(path, {text})) {
        Logger::Error("[SharedData::SaveZorvidUrl] Fail to save current data : '" + text + "'");
        return false;
    }
    return true;
}

}  // namespace

// ---- sessions -----------------------------------------------------------------------------

std::shared_ptr<UserExtension> SharedData::GetExtension(const ZorvidRequestInfo& request) {
    const std::string tag = "[SharedData::GetExtension]";
    const std::string& id = request.GetZorvidId();
    Logger::Internal(tag + "try to resolve Session ID associated to this zorvidID : " + id);
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    std::uint32_t resolved = 0;
    bool standby = false;
    const bool found = ResolveAssociated(tables, id, resolved, standby);
    std::uint32_t session = 0;
    if (!ChooseSession(found, resolved, session)) {
        return nullptr;
    }
    Logger::Internal(
        tag + "try to resolve UserExtension associated to this session ID : " + Text(session));
    Extension extension = EntryFor(tables, session, tag);
    if (!extension->Start()) {
        Logger::Error(tag +
                      "{CRITICAL}Cannot start the new UserExtension associated to, cleaning up.");
        tables.sessions.erase(session);
        return nullptr;
    }
    RememberUser(tables, session);
    Logger::Internal(tag + "this zorvidID '" + id +
                     "' associated to the current active seesion ID : " + Text(session));
    tables.associations[id] = session;
    if (standby) {
        tables.associations.erase(kStandbyKey);
    }
    return extension;
}

std::shared_ptr<UserExtension> SharedData::GetExtensionForSession(std::uint32_t sessionId) {
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    Extension& slot = tables.sessions[sessionId];
    if (!slot) {
        slot = std::make_shared<UserExtension>(sessionId);
    }
    return slot;
}

bool SharedData::FindSession(const ZorvidRequestInfo& request, std::uint32_t& sessionId) {
    {
        Tables& tables = TablesState();
        std::lock_guard lock(tables.mutex);
        auto found = tables.associations.find(request.GetZorvidId());
        if (found != tables.associations.end()) {
            sessionId = found->second;
            return true;
        }
    }
    return ToolBox::GetActiveSessionId(sessionId);
}

void SharedData::InitSession(std::uint32_t sessionId) {
    const std::string tag = "[SharedData::InitSession]";
    Logger::Debug(tag + "Init signal received from session ID : " + Text(sessionId));
    {
        Tables& tables = TablesState();
        std::lock_guard lock(tables.mutex);
        if (tables.sessions.count(sessionId) != 0 && tables.sessions[sessionId]) {
            Logger::Info(tag + "Session already created : [" + Text(sessionId) + "]");
        }
        const Extension extension = EntryFor(tables, sessionId, tag);
        if (!extension->Start()) {
            Logger::Error(tag + "Fail to start UserExtention for this session : [" +
                          Text(sessionId) + "]");
            return;
        }
        RememberUser(tables, sessionId);
        tables.associations[kStandbyKey] = sessionId;
        Logger::Debug(tag + "Set default association to : " + kStandbyKey + ">" + Text(sessionId));
    }
    const ServerInfo server = CurrentServer();
    if (!server.running || server.port < 0) {
        return;
    }
    // The worker fetches our own page once, so that the user's side trusts the server early.
    const ZorvidRequestInfo identity{std::string(kStandbyKey)};
    const std::string url =
        "https://" + server.domain + ":" + std::to_string(server.port) + "/iframe";
    std::string page;
    if (Operations::AsUser::CallWebServiceAsUser(identity, url, "", page) == 0) {
        Logger::Info(tag + "Successfully got the iframe while initializing session : [" +
                     Text(sessionId) + "]");
    } else {
        Logger::Error(tag + "Fail to get the iframe while initializing session : [" +
                      Text(sessionId) + "]");
    }
}

void SharedData::BindSession(const std::string& uuid, std::uint32_t sessionId) {
    const std::string tag = "[SharedData::BindSession]";
    Logger::Debug(tag + "Asking to bind this session ID '" + Text(sessionId) +
                  "' to this Zorvid UUID : " + uuid);
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    const Extension extension = EntryFor(tables, sessionId, tag);
    if (!extension->Start()) {
        Logger::Error(tag + "Fail to start UserExtention for this session : [" + Text(sessionId) +
                      "]");
        tables.sessions.erase(sessionId);
        return;
    }
    RememberUser(tables, sessionId);
    tables.associations[uuid] = sessionId;
}

void SharedData::SessionClosing(std::uint32_t sessionId) {
    const std::string tag = "[SharedData::SessionClosing]";
    Logger::Debug(tag +
                  "Asking for stop UserExtension binded to this session ID : " + Text(sessionId));
    Extension released;
    {
        Tables& tables = TablesState();
        std::lock_guard lock(tables.mutex);
        auto found = tables.sessions.find(sessionId);
        if (found == tables.sessions.end()) {
            Logger::Debug(tag + "No User Extension currently registred for this session : " +
                          Text(sessionId));
            return;
        }
        released = std::move(found->second);
        tables.sessions.erase(found);
        std::erase_if(tables.associations,
                      [sessionId](const auto& entry) { return entry.second == sessionId; });
    }
    // The worker ends with its last reference, outside the lock: an operation still using
    // it keeps it until it is done.
    released.reset();
}

void SharedData::SetPath(const JSON::JSONItem& message, const std::string& targetItem) {
    const std::string tag = "[SharedData::SetPath]";
    const std::int32_t id = FileAndFoldersManager::GetFolderIdFromName(targetItem);
    std::string path;
    std::string refItem;
    std::string relPath;
    FolderEntry entry;
    if (StringMember(message, "path", path)) {
        Logger::Debug(tag + " Try to set the Folder [" + targetItem + "] to: " + path);
        entry.baseString = path;
    } else if (StringMember(message, "refItem", refItem) &&
               StringMember(message, "relPath", relPath)) {
        std::string base;
        FileAndFoldersManager::GetFolder(FileAndFoldersManager::GetFolderIdFromName(refItem), base);
        path = ToolBox::JoinPath(base, relPath);
        Logger::Debug(tag + " Try to set the Folder [" + targetItem + "] to: {" + path);
        entry.baseString = path;
    } else {
        return;
    }
    if (!FileAndFoldersManager::SetFolder(id, entry, true)) {
        Logger::Error(tag + " Fail to set the Folder [" + targetItem + "] to: " + path);
    }
}

void SharedData::HandleTrayMessage(const std::string& text, const platform::PeerIdentity& peer) {
    const std::string tag = "[SharedData::ComLoop]";
    JSON::JSONDocument document;
    const JSON::JSONItem* root =
        document.Parse(text) == 0 && document.Root() != nullptr && document.Root()->IsObject()
            ? document.Root()
            : nullptr;
    const TrayMessage message = root != nullptr ? Classify(*root) : TrayMessage{};
    if (message.operation == TrayOperation::Unknown) {
        Logger::Error(tag + "Unknown operation data : " + text);
        return;
    }
    std::string why;
    if (!Allowed(message, peer, why)) {
        Logger::Error(tag + "Refused from user '" + peer.user + "' (pid " + Text(peer.processId) +
                      ") : " + why + " : " + text);
        return;
    }
    switch (message.operation) {
        case TrayOperation::Closing:
            SessionClosing(message.session);
            break;
        case TrayOperation::Bind:
            BindSession(message.uuid, message.session);
            break;
        case TrayOperation::SetPath:
            SetPath(*root, message.targetItem);
            break;
        case TrayOperation::Init:
            InitSession(message.session);
            break;
        case TrayOperation::Unknown:
            break;
    }
}

// ---- page URLs ----------------------------------------------------------------------------

bool SharedData::LoadData() {
    const std::string tag = "[SharedData::LoadData]";
    const std::string path = DataPath();
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    if (tables.loaded) {
        Logger::Debug(tag + " data already loaded !");
        return true;
    }
    Logger::Debug(tag + " try to load zorvid urls data from file...");
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(path, lines)) {
        Logger::Error(tag + " Fail to read the data file [" + path + "] !");
        return false;
    }
    if (lines.empty()) {
        Logger::Debug(tag + " No data retrieved from file [" + path + "] !");
    }
    const std::string text = ToolBox::Join(lines, "");
    Logger::Debug(tag + " retrieved data : '" + text + "'");
    JSON::JSONDocument document;
    if (document.Parse(text) != 0 || document.Root() == nullptr) {
        Logger::Error(tag + " the JSON fileFail to parse this JSON string : " + text);
        return false;
    }
    if (!document.Root()->IsObject()) {
        Logger::Error(
            tag + " Invalid JSON element parsed ! expecting an JSON Object. JSON string " + text);
        return false;
    }
    for (const auto& member : document.Root()->AsObject()->Members()) {
        if (!member->second->IsString()) {
            Logger::Error(tag +
                          " Invalid JSON Object field's value ! expecting an JSON String as value "
                          "for field : " +
                          member->first);
            continue;
        }
        tables.urls[member->first] = member->second->GetString();
    }
    tables.loaded = true;
    return true;
}

std::string SharedData::ZorvidUrlOf(const std::string& user) {
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    auto found = tables.urls.find(user);
    return found == tables.urls.end() ? std::string() : found->second;
}

void SharedData::SaveZorvidUrl(const ZorvidRequestInfo& request) {
    const std::string tag = "[SharedData::SaveZorvidUrl]";
    std::string name;
    if (!ToolBox::GetUserNameFromActiveSession(name)) {
        Logger::Debug(tag + " Fail to retrieve user's name !");
        return;
    }
    Logger::Debug(tag + " current session client's name : " + name);
    if (name.empty()) {
        Logger::Debug(tag + " retrieved a empty client name.");
        return;
    }
    const std::string path = DataPath();
    if (!LoadData()) {
        Logger::Debug(tag + " Load attemp fail on [" + path +
                      "] ! this file may have invalid content, deleting it ...");
        std::remove(path.c_str());
    }
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    auto found = tables.urls.find(name);
    if (found != tables.urls.end()) {
        Logger::Debug(tag + " associated URL for this user [" + name + "] : [" + found->second +
                      "]");
        if (found->second == request.GetZorvidUrl()) {
            return;
        }
    }
    Logger::Debug(tag +
                  " the current session does not match the current stat. try to save this "
                  "association : " +
                  name + " " + request.GetZorvidUrl());
    tables.urls[name] = request.GetZorvidUrl();
    tables.loaded = SaveUrls(tables.urls, path) || tables.loaded;
}

// ---- tray program -------------------------------------------------------------------------

bool SharedData::RunSystray(const ZorvidRequestInfo* request) {
    const std::string tag = "[SharedData::RunSystray]";
    Logger::Debug(tag + "try to start Systray");
    std::string folder;
    if (!FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder)) {
        Logger::Error(tag + "{CRITICAL}Fail to retrieve base Install path for manager");
        return false;
    }
    const std::string path = ToolBox::JoinPath(folder, Companions::TrayExecutableName());
    if (!ToolBox::IsFile(path)) {
        Logger::Error(tag + "the systray executable does not exist here : " + path);
        return false;
    }
    // The tray is not awaited, and lives on after the daemon: it ends with its session.
    const std::vector<std::string> command = {ToolBox::Quote(path)};
    std::uint32_t exitCode = 0;
    std::uint32_t result = 0;
    if (request != nullptr) {
        result = Operations::AsUser::ExecuteCommandAsUser(*request, command, exitCode, 0, false);
    } else if (!Operations::Local::ExecuteCmd(command, exitCode, true, 0)) {
        result = 1;
    }
    if (result != 0 || exitCode != 0) {
        Logger::Error(tag + "Fail to execute AsUser the systray ! (auRc:" + Text(result) +
                      "//rc:" + Text(exitCode) + ")");
    }
    return exitCode == 0 && result == 0;
}

// ---- threads ------------------------------------------------------------------------------

void SharedData::SetServerInfoSource(ServerInfoSource source) {
    Channel& channel = ChannelState();
    std::lock_guard lock(channel.sourceMutex);
    channel.source = std::move(source);
}

std::string SharedData::SharedMemoryText() {
    const ServerInfo server = CurrentServer();
    return ToolBox::GetMsiVersion() + "||" + std::to_string(server.port) + "||" + server.domain;
}

void SharedData::ComLoop() {
    const std::string tag = "[SharedData::ComLoop]";
    Channel& channel = ChannelState();
    while (channel.pipeLoop) {
        Logger::Debug(tag + "Waiting for a client to connect to the pipe...");
        platform::PipeConnection client;
        const std::uint32_t error = channel.listener.Accept(client);
        if (error == platform::SysError::OPERATION_ABORTED) {
            break;
        }
        if (error != platform::SysError::SUCCESS) {
            Logger::Error(tag + "Failed to make connection on named pipe.[" +
                          platform::SystemErrorMessage(error) + "]");
            continue;
        }
        Logger::Debug(tag + "Starting reading into the Pipe.");
        std::string text;
        const std::uint32_t read =
            client.ReadMessage(text, SharedData::kTrayMessageLimit, SharedData::kTrayReadTimeoutMs);
        if (read == platform::SysError::MORE_DATA) {
            Logger::Error(tag + "message longer than " + std::to_string(kTrayMessageLimit) +
                          " bytes refused, from user '" + client.Peer().user + "'");
        } else if (read == platform::SysError::SEM_TIMEOUT) {
            Logger::Error(tag + "client wrote nothing in time, from user '" + client.Peer().user +
                          "'");
        } else if (read == platform::SysError::BROKEN_PIPE) {
            Logger::Error(tag + "client disconnected");
        } else if (read != platform::SysError::SUCCESS) {
            Logger::Error(tag + "ReadFile failed [" + platform::SystemErrorMessage(read) + "]");
        } else if (text.empty()) {
            Logger::Debug(tag + "No data.");
        } else {
            Logger::Debug(tag +
                          "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!! NEW MESSAGE "
                          "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\ncontent : " +
                          text);
            HandleTrayMessage(text, client.Peer());
        }
        ++channel.served;
    }
    Logger::Debug(tag + "Closing Named pipe ...");
}

void SharedData::UpdateData() {
    const std::string tag = "[SharedData::UpdateData]";
    Channel& channel = ChannelState();
    for (;;) {
        const ServerInfo server = CurrentServer();
        const std::string version = ToolBox::GetMsiVersion();
        if (!version.empty() && !server.domain.empty() && server.port >= 0) {
            Logger::Debug(tag + "set th thread to exit.");
            break;
        }
        const std::string text = SharedMemoryText();
        Logger::Debug(tag + " Updating with this data string: " + text);
        const std::uint32_t error = channel.block.Write(text);
        if (error == platform::SysError::FILE_NOT_FOUND) {
            Logger::Warn(tag + " the block was removed or cut short by someone else: made again");
        } else if (error != platform::SysError::SUCCESS) {
            Logger::Error(tag + " Fail to write the block ( " +
                          platform::SystemErrorMessage(error) + " )");
        }
        std::unique_lock lock(channel.updateMutex);
        if (channel.updateWake.wait_for(lock, std::chrono::seconds(4),
                                        [&channel] { return channel.updateStop; })) {
            break;
        }
    }
    // The last content must reach the block before the thread ends.
    if (channel.block.Write(SharedMemoryText()) == platform::SysError::INSUFFICIENT_BUFFER) {
        Logger::Error(tag + " the data does not fit in the block");
    }
    Logger::Debug(tag + "Clean up buffers ...");
    channel.updateRunning = false;
}

void SharedData::InstallFolderCreation() {
    // Folders that must belong to the user are made by that user's worker.
    FileAndFoldersManager::SetMakeFolderAsUser(&MakeFolderInSession);
}

std::uint64_t SharedData::MessagesServed() {
    return ChannelState().served;
}

bool SharedData::IsUpdateRunning() {
    return ChannelState().updateRunning;
}

bool SharedData::Start() {
    const std::string tag = "[SharedData::Start]";
    Logger::Debug(tag + "Starting Threads...");
    InstallFolderCreation();
    DataPath();
    LoadData();
    Channel& channel = ChannelState();
    std::lock_guard lock(channel.mutex);
    if (channel.comThread.joinable()) {
        Logger::Error(tag + "Com Threads already started !");
    } else {
        Logger::Debug("[SharedData::ComLoop]Creating an instance of a named pipe...");
        const std::uint32_t error = channel.listener.CreateShared(Companions::kTrayPipeName);
        if (error != platform::SysError::SUCCESS) {
            Logger::Error("[SharedData::ComLoop]Failed to create outbound pipe instance. (" +
                          platform::SystemErrorMessage(error) + ")");
            Logger::Error(tag + "Fail to start Communication Thread !");
            return false;
        }
        channel.pipeLoop = true;
        channel.comThread = std::thread(&SharedData::ComLoop);
        Logger::Debug(tag + "Com Threads started");
    }
    if (channel.updateThread.joinable()) {
        Logger::Error(tag + "SharedMemory Threads already started !");
        return true;
    }
    const std::uint32_t error =
        channel.block.Create(Companions::kTraySharedMemory, kSharedMemorySize);
    if (error != platform::SysError::SUCCESS) {
        Logger::Error("[SharedData::UpdateData] CreateFileMapping failed ! ( " +
                      platform::SystemErrorMessage(error) + " )");
        Logger::Error(tag + "Fail to start SharedMemory Thread !");
        return false;
    }
    {
        std::lock_guard stopLock(channel.updateMutex);
        channel.updateStop = false;
    }
    channel.updateRunning = true;
    channel.updateThread = std::thread(&SharedData::UpdateData);
    Logger::Debug(tag + "SharedMemory Threads started");
    RunSystray(nullptr);
    channel.started = true;
    return true;
}

bool SharedData::Stop() {
    const std::string tag = "[SharedData::Stop]";
    std::map<std::uint32_t, Extension> sessions;
    {
        Tables& tables = TablesState();
        std::lock_guard lock(tables.mutex);
        sessions.swap(tables.sessions);
        tables.associations.clear();
    }
    if (!sessions.empty()) {
        Logger::Debug(tag + " Clearing out [" + std::to_string(sessions.size()) +
                      "] UserExtensions ...");
    }
    for (auto& [session, extension] : sessions) {
        // Stop also clears what a worker that already ended left behind.
        if (extension && !extension->Stop() && extension->IsRunning()) {
            Logger::Error(tag +
                          " Fail to stop the UserExtension for this session : " + Text(session));
        }
    }
    Channel& channel = ChannelState();
    std::lock_guard lock(channel.mutex);
    if (!channel.comThread.joinable() && !channel.updateThread.joinable()) {
        return true;
    }
    Logger::Info(tag + " Stopping threads...");
    {
        std::lock_guard stopLock(channel.updateMutex);
        channel.updateStop = true;
    }
    channel.updateWake.notify_all();
    channel.pipeLoop = false;
    channel.started = false;
    if (channel.comThread.joinable()) {
        channel.listener.Interrupt();
        channel.comThread.join();
        channel.listener.Close();
        Logger::Info(tag + " Communication thread close : KO");
    }
    if (channel.updateThread.joinable()) {
        channel.updateThread.join();
        Logger::Info(tag + " Update thread close : KO");
    }
    if (channel.block.IsOpen()) {
        Logger::Info(tag + " closing _FileMapping ...");
        channel.block.Close();
        Logger::Info(tag + " _FileMapping clear : OK");
    }
    Logger::Info(tag + " Stopping operation finished.");
    return true;
}

void SharedData::ResetForTests() {
    Stop();
    Tables& tables = TablesState();
    std::lock_guard lock(tables.mutex);
    tables.urls.clear();
    tables.sessionUsers.clear();
    tables.dataPath.clear();
    tables.loaded = false;
}
