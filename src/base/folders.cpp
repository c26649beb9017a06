#include "base/folders.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <vector>

#include "base/json/json.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/known_folders.h"
#include "platform/path.h"

using ToolBox::Join;

namespace {

constexpr const char* kSaveFileName = "faf_manager.save";
constexpr const char* kUnresolved = ".ERROR.";

struct FolderName {
    std::int32_t id;
    const char* name;
};

constexpr std::array<FolderName, 15> kFolderNames = {{
    {Folder::PROGRAM_DATA, "PROGRAM_DATA"},
    {Folder::DAEMON_INSTALL_PATH, "DAEMON_INSTALL_PATH"},
    {Folder::MAIN_DATA, "MAIN_DATA"},
    {Folder::OPERATION, "OPERATION"},
    {Folder::DEFAULT_VRKENV, "DEFAULT_VRKENV"},
    {Folder::INTERNAL_DATA, "INTERNAL_DATA"},
    {Folder::TEMP, "TEMP"},
    {Folder::UNZIP, "UNZIP"},
    {Folder::USER_DATA, "USER_DATA"},
    {Folder::MEDIA_DDL, "MEDIA_DDL"},
    {Folder::DOV_DDL, "DOV_DDL"},
    {Folder::LOG, "LOG"},
    {Folder::INSTALLER_LOGS, "INSTALLER_LOGS"},
    {Folder::SELFUPDATE_LOGS, "SELFUPDATE_LOGS"},
    {Folder::ICON, "ICON"},
}};

struct FafState {
    // Recursive because SetFolder, Save and Load resolve folders through the public calls.
    std::recursive_mutex mutex;
    std::map<std::int32_t, FolderEntry> table;
    std::uint32_t context = 0;
    bool initialised = false;
    FileAndFoldersManager::MakeFolderAsUser makeFolderAsUser;
    std::vector<std::string> damage;
};

FafState& State() {
    static FafState state;
    return state;
}

// InstallFolder is the executable's folder, unless QVYLD_INSTALL_DIR names another one.
std::string InstallFolder() {
    const char* overridden = std::getenv("QVYLD_INSTALL_DIR");
    if (overridden != nullptr && *overridden != '\0') {
        return overridden;
    }
    return platform::ExecutableFolder();
}

// Resolve walks the base chain; depth stops a chain that loops back on itself.
std::string Resolve(const FafState& s, std::int32_t id, std::size_t depth = 0) {
    const auto it = s.table.find(id);
    if (it == s.table.end() || depth > s.table.size()) {
        return kUnresolved;
    }
    const FolderEntry& entry = it->second;
    std::string path =
        entry.baseItem != 0 ? Resolve(s, entry.baseItem, depth + 1) : entry.baseString;
    if (!entry.relative.empty()) {
        path = ToolBox::JoinPath(path, entry.relative);
    }
    return path;
}

// A base folder longer than this leaves no room for the folder tree below it within the
// path limit of Windows (260); no real data folder comes near it.
constexpr std::size_t kMaxBaseLength = 200;

// ReportDamage writes an ERROR about damaged state to the log and to the event log: it runs
// before the logger has a file, and the administrator must see it even if none ever comes.
void ReportDamage(const std::string& text) {
    Logger::ErrorDeferred(text);
    Logger::ThrowEvent(LogLevel::Error, text);
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.damage.push_back(text);
}

// BaseFolderProblem says what makes a base folder unusable, or "" when it is usable.
std::string BaseFolderProblem(const std::string& path) {
    if (path.size() > kMaxBaseLength) {
        return "it is " + std::to_string(path.size()) + " characters long (at most " +
               std::to_string(kMaxBaseLength) + ")";
    }
    for (const char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return "it holds a control character";
        }
    }
    if (!platform::FsPath(path).is_absolute()) {
        return "it is not an absolute path";
    }
    return {};
}

std::string ServicePointerBase(const std::string& installFolder) {
    Logger::DebugDeferred(
        "[FileAndFoldersManager::Init]try to read pointers file as we are in Service/admin "
        "context");
    const std::string pointerFile = ToolBox::JoinPath(installFolder, "pdata.ptr");
    if (!ToolBox::IsFile(pointerFile)) {
        return {};
    }
    Logger::DebugDeferred("[FileAndFoldersManager::Init]pointer file existe : " + pointerFile);
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(pointerFile, lines)) {
        Logger::ErrorDeferred("[FileAndFoldersManager::Init]Fail to open this file : " +
                              pointerFile);
    }
    if (lines.size() != 1) {
        Logger::DebugDeferred("[FileAndFoldersManager::Init]pointer file content : [" +
                              Join(lines, ", ") + "]");
        return {};
    }
    const std::string problem = BaseFolderProblem(lines.front());
    if (!problem.empty()) {
        // The line is not repeated: it is the damaged part, maybe kilobytes of it.
        ReportDamage("[FileAndFoldersManager::Init]Ignored the pointer file " + pointerFile +
                     " : " + problem + "; the common data folder is used instead");
        return {};
    }
    Logger::DebugDeferred("[FileAndFoldersManager::Init]pointer file content : [" + lines.front() +
                          "]");
    return lines.front();
}

std::string CommonDataBase() {
    Logger::DebugDeferred(
        "[FileAndFoldersManager::Init]try to retrive 'CSIDL_COMMON_APPDATA' CSIDL value as we "
        "are in USER context");
    const std::string base = platform::CommonAppDataFolder();
    if (base.empty()) {
        Logger::ErrorDeferred(
            "[FileAndFoldersManager::Init]Fail to get the common application data folder !");
    }
    return base;
}

std::string TestHarnessBase() {
    Logger::DebugDeferred(
        "[FileAndFoldersManager::Init]tinkerting with PMX_KTV_TMP as we are in KTV context");
    const char* tmp = std::getenv("PMX_KTV_TMP");
    if (tmp == nullptr || *tmp == '\0') {
        Logger::ErrorDeferred("[FileAndFoldersManager::Init]PMX_KTV_TMP is not set !");
        return {};
    }
    return ToolBox::JoinPath(tmp, "LauncherData");
}

bool ChooseProgramData(std::uint32_t context, const std::string& installFolder, std::string& base) {
    switch (context) {
        case FolderContext::SERVICE:
        case FolderContext::ADMIN:
            base = ServicePointerBase(installFolder);
            if (base.empty()) {
                base = CommonDataBase();
            }
            return true;
        case FolderContext::USER:
            base = CommonDataBase();
            return true;
        case FolderContext::TEST_HARNESS:
            base = TestHarnessBase();
            return true;
        default:
            Logger::ErrorDeferred("[FileAndFoldersManager::Init]Unknown context [" +
                                  std::to_string(context) + "] !");
            return false;
    }
}

void PutDefaults(const std::string& programData, const std::string& installFolder) {
    using Folder::Id;
    const std::string mainData = ToolBox::JoinPath("Quorvanti", "VantaroLauncher");
    const std::array<std::pair<Id, FolderEntry>, 15> defaults = {{
        {Folder::DAEMON_INSTALL_PATH, {0, installFolder, ""}},
        {Folder::PROGRAM_DATA, {0, programData, ""}},
        {Folder::MAIN_DATA, {Folder::PROGRAM_DATA, "", mainData}},
        {Folder::OPERATION, {Folder::MAIN_DATA, "", "OperationData"}},
        {Folder::DEFAULT_VRKENV, {Folder::OPERATION, "", "DefaultVrkEnvRep"}},
        {Folder::INTERNAL_DATA, {Folder::MAIN_DATA, "", "InternalData"}},
        {Folder::TEMP, {Folder::INTERNAL_DATA, "", "Temp"}},
        {Folder::UNZIP, {Folder::INTERNAL_DATA, "", "Unzip"}},
        {Folder::USER_DATA, {Folder::MAIN_DATA, "", "defaultDataStore"}},
        {Folder::MEDIA_DDL, {Folder::USER_DATA, "", "Media"}},
        {Folder::DOV_DDL, {Folder::USER_DATA, "", "Cafs"}},
        {Folder::LOG, {Folder::MAIN_DATA, "", "logs"}},
        {Folder::INSTALLER_LOGS, {Folder::LOG, "", "install_logs"}},
        {Folder::SELFUPDATE_LOGS, {Folder::LOG, "", "update_logs"}},
        {Folder::ICON, {Folder::INTERNAL_DATA, "", "Icon"}},
    }};
    for (const auto& [id, entry] : defaults) {
        FileAndFoldersManager::put(id, entry);
    }
}

JSON::ItemPtr EntryToJson(const FolderEntry& entry) {
    auto object = JSON::CreateObject();
    auto* members = object->AsObject();
    members->Set("baseItem",
                 JSON::CreateString(FileAndFoldersManager::GetNameForFolderId(entry.baseItem)));
    members->Set("baseString", JSON::CreateString(entry.baseString));
    members->Set("relative", JSON::CreateString(entry.relative));
    return object;
}

// StringMember reads a member that is a string or null (absent counts as null); false for
// any other type.
bool StringMember(const JSON::JSONItem* item, const char* name, std::string& value) {
    const JSON::JSONItem* member = item->Get(name);
    value.clear();
    if (member == nullptr || member->IsNull()) {
        return true;
    }
    if (!member->IsString()) {
        return false;
    }
    value = member->GetString();
    return true;
}

// EntryFromJson rebuilds a saved entry; on a damaged one it returns false with the reason.
bool EntryFromJson(const JSON::JSONItem* item, FolderEntry& entry, std::string& problem) {
    std::string base;
    if (item == nullptr || !item->IsObject() || !StringMember(item, "baseItem", base) ||
        !StringMember(item, "baseString", entry.baseString) ||
        !StringMember(item, "relative", entry.relative)) {
        problem = "not an object of text members";
        return false;
    }
    if (!base.empty()) {
        entry.baseItem = FileAndFoldersManager::GetFolderIdFromName(base);
        if (entry.baseItem == Folder::NONE) {
            problem = "unknown base folder '" + base + "'";
            return false;
        }
        return true;
    }
    problem = BaseFolderProblem(entry.baseString);
    return problem.empty();
}

// TableProblem says which folder the table cannot resolve (a loop of bases), or "".
std::string TableProblem(const FafState& s) {
    for (const auto& [id, entry] : s.table) {
        if (Resolve(s, id).find(kUnresolved) != std::string::npos) {
            return "the base of " + FileAndFoldersManager::GetNameForFolderId(id) +
                   " leads back to itself";
        }
    }
    return {};
}

// ReadSaveFile parses the save file into doc; false when it is missing, unreadable or not
// one JSON object.
bool ReadSaveFile(const std::string& path, JSON::JSONDocument& doc) {
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(path, lines)) {
        return false;
    }
    return doc.Parse(Join(lines, "\n")) == 0 && doc.Root() != nullptr && doc.Root()->IsObject();
}

bool CreateFolder(const std::string& path, std::optional<std::uint32_t> userSession,
                  const FileAndFoldersManager::MakeFolderAsUser& asUser) {
    if (userSession.has_value()) {
        if (!asUser) {
            Logger::ErrorDeferred(
                "[FileAndFoldersManager::GetFolder] No way to create a folder as the user of "
                "session [" +
                std::to_string(*userSession) + "] : " + path);
            return false;
        }
        if (!asUser(*userSession, path)) {
            Logger::WarnDeferred("[FileAndFoldersManager::GetFolder] Fail to create as user [" +
                                 std::to_string(*userSession) + "] this folder : " + path);
            return false;
        }
        return true;
    }
    std::error_code ec;
    std::filesystem::create_directories(platform::FsPath(path), ec);
    if (ec) {
        Logger::WarnDeferred("[FileAndFoldersManager::GetFolder] Fail to create this folder : " +
                             path + " (" + ec.message() + ")");
        return false;
    }
    return true;
}

// LoadEntry puts one saved entry, unless it is damaged or closes a loop of bases: then the
// folder keeps what it had, and the skip is reported.
void LoadEntry(FafState& s, std::int32_t id, const JSON::JSONItem* item, const std::string& path) {
    FolderEntry entry;
    std::string problem;
    if (EntryFromJson(item, entry, problem)) {
        const FolderEntry previous = s.table[id];
        FileAndFoldersManager::put(id, entry);
        problem = TableProblem(s);
        if (!problem.empty()) {
            s.table[id] = previous;
        }
    }
    if (!problem.empty()) {
        ReportDamage("[FileAndFoldersManager::Load] Skipped the entry of " +
                     FileAndFoldersManager::GetNameForFolderId(id) + " in " + path + " : " +
                     problem + "; the folder keeps its default");
    }
}

}  // namespace

bool FileAndFoldersManager::Init(std::uint32_t context) {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    if (s.initialised) {
        return true;
    }
    Logger::DebugDeferred("[FileAndFoldersManager::Init]Initializing FaF[" +
                          std::to_string(context) + "] ... ");
    s.context = context;
    Logger::InternalDeferred(
        "[FileAndFoldersManager::Init]deternimning std path depending on Context");
    const std::string installFolder = InstallFolder();
    std::string programData;
    if (!ChooseProgramData(context, installFolder, programData)) {
        return false;
    }
    if (programData.empty()) {
        Logger::ErrorDeferred("[FileAndFoldersManager::Init]No base path for the program data !");
        return false;
    }
    Logger::DebugDeferred("[FileAndFoldersManager::Init]filling datas ...");
    PutDefaults(programData, installFolder);
    Load();
    s.initialised = true;
    return true;
}

bool FileAndFoldersManager::GetFolder(std::int32_t id, std::string& path, bool create,
                                      std::optional<std::uint32_t> userSession) {
    auto& s = State();
    MakeFolderAsUser asUser;
    {
        std::lock_guard lock(s.mutex);
        if (!s.initialised) {
            Logger::DebugDeferred("[FileAndFoldersManager::GetFolder] FaF not initalized !");
            return false;
        }
        if (s.table.count(id) == 0) {
            Logger::WarnDeferred("[FileAndFoldersManager::GetFolder] Unknown folder Id [" +
                                 std::to_string(id) + "]!");
            return false;
        }
        path = Resolve(s, id);
        asUser = s.makeFolderAsUser;
    }
    if (path.find(kUnresolved) != std::string::npos) {
        Logger::WarnDeferred("[FileAndFoldersManager::GetFolder] Folder [" +
                             GetNameForFolderId(id) + "] has no valid base : " + path);
        return false;
    }
    if (!create || ToolBox::IsFolder(path)) {
        return true;
    }
    // The folder is created outside the lock: creating as a user goes through a worker.
    return CreateFolder(path, userSession, asUser);
}

bool FileAndFoldersManager::SetFolder(std::int32_t id, const FolderEntry& entry, bool create,
                                      std::optional<std::uint32_t> userSession) {
    if (GetNameForFolderId(id).empty()) {
        Logger::WarnDeferred("[FileAndFoldersManager::SetFolder] Unknown folder Id [" +
                             std::to_string(id) + "]!");
        return false;
    }
    {
        auto& s = State();
        std::lock_guard lock(s.mutex);
        if (!s.initialised) {
            Logger::DebugDeferred("[FileAndFoldersManager::SetFolder] FaF not initalized !");
            return false;
        }
        put(id, entry);
    }
    std::string path;
    const bool ready = GetFolder(id, path, create, userSession);
    const bool saved = Save(id, entry);
    return ready && saved;
}

std::int32_t FileAndFoldersManager::GetFolderIdFromName(const std::string& name) {
    for (const auto& folder : kFolderNames) {
        if (name == folder.name) {
            return folder.id;
        }
    }
    return Folder::NONE;
}

std::string FileAndFoldersManager::GetNameForFolderId(std::int32_t id) {
    for (const auto& folder : kFolderNames) {
        if (id == folder.id) {
            return folder.name;
        }
    }
    return {};
}

void FileAndFoldersManager::put(std::int32_t id, const FolderEntry& entry) {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    const std::string base =
        entry.baseItem != 0 ? GetNameForFolderId(entry.baseItem) : entry.baseString;
    Logger::InternalDeferred("[FileAndFoldersManager::put] Setting [" + GetNameForFolderId(id) +
                             "] to [(" + base + ")+(" + entry.relative + ")]");
    s.table[id] = entry;
}

bool FileAndFoldersManager::Save(std::int32_t id, const FolderEntry& entry) {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    const std::string internal = Resolve(s, Folder::INTERNAL_DATA);
    if (internal.find(kUnresolved) != std::string::npos) {
        Logger::WarnDeferred(
            "[FileAndFoldersManager::Save] Cannot resolve the internal data path!");
        return false;
    }
    std::error_code ec;
    std::filesystem::create_directories(platform::FsPath(internal), ec);
    const std::string path = ToolBox::JoinPath(internal, kSaveFileName);

    JSON::JSONDocument doc;
    if (!ToolBox::IsFile(path) || !ReadSaveFile(path, doc)) {
        // A missing or damaged file starts over with this entry alone.
        doc.SetRoot(JSON::CreateObject());
    }
    doc.Root()->AsObject()->Set(GetNameForFolderId(id), EntryToJson(entry));
    return ToolBox::File::WriteLinesAtomic(path, {doc.ToString()});
}

bool FileAndFoldersManager::Load() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    const std::string internal = Resolve(s, Folder::INTERNAL_DATA);
    if (internal.find(kUnresolved) != std::string::npos) {
        Logger::WarnDeferred(
            "[FileAndFoldersManager::Load] Cannot resolve the internal data path!");
        return false;
    }
    const std::string path = ToolBox::JoinPath(internal, kSaveFileName);
    if (!ToolBox::IsFile(path)) {
        return true;
    }
    JSON::JSONDocument doc;
    if (!ReadSaveFile(path, doc)) {
        ReportDamage("[FileAndFoldersManager::Load] Fail to parse the content of this file: " +
                     path + " ; every folder keeps its default");
        return false;
    }
    for (const auto& member : doc.Root()->AsObject()->Members()) {
        const std::string& name = member->first;
        const std::int32_t id = GetFolderIdFromName(name);
        if (id == Folder::NONE) {
            Logger::WarnDeferred("[FileAndFoldersManager::Load] Unknown folder id: [" + name + "]");
            continue;
        }
        LoadEntry(s, id, member->second.get(), path);
    }
    return true;
}

std::uint32_t FileAndFoldersManager::Context() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    return s.context;
}

std::vector<std::string> FileAndFoldersManager::DamageReports() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    return s.damage;
}

void FileAndFoldersManager::SetMakeFolderAsUser(MakeFolderAsUser fn) {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.makeFolderAsUser = std::move(fn);
}

void FileAndFoldersManager::ResetForTests() {
    auto& s = State();
    std::lock_guard lock(s.mutex);
    s.table.clear();
    s.context = 0;
    s.initialised = false;
    s.makeFolderAsUser = nullptr;
    s.damage.clear();
}
