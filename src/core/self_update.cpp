// "selfUpdate": replace the launcher with a newer package of itself. The package comes from a
// local path, a download URL, or a web service that describes it. The daemon keeps copies of
// its companion executables, makes its own copy of the package that nobody else can write,
// checks it (a downloaded package also by its maker's signature), and starts the saved GUI
// executable in its "update" mode, which installs the package. The updater runs apart from the
// daemon (a transient system service where systemd runs the machine, else a detached process
// outside the daemon's groups), because the package it installs stops and replaces the daemon. The
// answer comes once the updater has started; its outcome goes to the update log.
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/folders.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "base/zorvid_request_info.h"
#include "core/functionnal_core.h"
#include "platform/command_line.h"
#include "platform/digest.h"
#include "platform/file_trust.h"
#include "platform/named_mutex.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/signature.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"
#include "session/operations_local.h"
#include "session/session_query.h"
#include "session/systray_coms.h"

namespace {

namespace fs = std::filesystem;
using RC = ReturnCode;

// kSystemdFolder exists where systemd runs the machine: the updater then runs as a
// transient system service, which outlives the daemon's own unit being restarted.
constexpr const char* kSystemdFolder = "/run/systemd/system";
// kStartWait bounds the wait for the updater's first sign of life.
constexpr auto kStartWait = std::chrono::seconds(15);
// kNoSpaceForPackage answers a download refused for lack of space; the return-code table has
// no label for it.
constexpr std::int32_t kNoSpaceForPackage = 209;
// kUpdateKeyName is the maker's public update key, beside the executable, installed by the
// launcher's package: a downloaded package is installed only with a signature by that key.
constexpr const char* kUpdateKeyName = "update-key.pem";
// kSignatureSuffix names a package's detached signature, served beside the package.
constexpr const char* kSignatureSuffix = ".sig";

struct Params {
    std::string ws, path, url, hash, size;
};

// Update carries one self-update from step to step.
struct Update {
    const ZorvidRequestInfo& request;
    std::string tag;
    Params p;
    std::string temp, install, package, log;
    // signature is the downloaded detached signature of a package fetched by URL.
    std::string signature;
};

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::int32_t Fail(const Update& u, const std::string& message, std::int32_t code) {
    Logger::Error(u.tag + message);
    return code;
}

void ReadParams(const JSON::JSONItem* from, Params& p) {
    JSON::GetStringField("ws", p.ws, from);
    JSON::GetStringField("path", p.path, from);
    JSON::GetStringField("url", p.url, from);
    JSON::GetStringField("hash", p.hash, from);
    JSON::GetStringField("size", p.size, from);
    // A size given as a number is as good as its decimal text.
    if (const JSON::JSONItem* size = from != nullptr ? from->Get("size") : nullptr;
        size != nullptr && size->IsNumber()) {
        p.size = std::to_string(size->GetInt64());
    }
}

// AskWebService replaces the parameters with the package that the web service describes.
std::int32_t AskWebService(Update& u) {
    std::string answer;
    if (Operations::AsUser::CallWebServiceAsUser(u.request, u.p.ws, "", answer) != 0) {
        return Fail(u, "Fail to access Webservice behind [" + u.p.ws + "] !",
                    RC::RC_MSI_INFO_CALL_FAILED);
    }
    JSON::JSONDocument document;
    if (document.Parse(answer) != 0 || document.Root() == nullptr || !document.Root()->IsObject()) {
        return Fail(u, "Invalid JSON Object was return by the webservice : \nresutl:" + answer,
                    RC::RC_MSI_INFO_INVALID);
    }
    const JSON::JSONItem* result = document.Root()->Get("result");
    if (result == nullptr || !result->IsArray()) {
        return Fail(u,
                    "Invalid JSON field 'result' (expecting JSONArray) was return by the "
                    "webservice : \nresutl:" +
                        answer,
                    RC::RC_MSI_INFO_INVALID);
    }
    const JSON::JSONItem* first = result->GetAt(0);
    if (first == nullptr || !first->IsObject()) {
        return Fail(u,
                    "Invalid JSON field inside the 'result' Array[0] was return by the "
                    "webservice : \nresutl:" +
                        answer,
                    RC::RC_MSI_INFO_INVALID);
    }
    u.p = Params{u.p.ws, {}, {}, {}, {}};
    ReadParams(first, u.p);
    return RC::RC_SUCCESS;
}

std::int32_t CheckParams(const Update& u) {
    if (u.p.url.empty() && u.p.path.empty()) {
        return Fail(u, "Invalid parameters ! the URL or the Path to the MSI must be present.",
                    RC::RC_UPDATE_INVALID_ARGUMENTS);
    }
    if (!u.p.path.empty() && !ToolBox::IsFile(u.p.path)) {
        return Fail(
            u,
            "Invalid parameters ! the MSI Path [" + u.p.path + "] does not denote a existing file.",
            RC::RC_UPDATE_INVALID_ARGUMENTS);
    }
    if (!u.p.url.empty() && (u.p.size.empty() || u.p.size.size() > 18 ||
                             u.p.size.find_first_not_of("0123456789") != std::string::npos)) {
        return Fail(u, "Invalid parameters ! the MSI size must be present.",
                    RC::RC_UPDATE_INVALID_ARGUMENTS);
    }
    if (!u.p.url.empty() && u.p.hash.empty()) {
        return Fail(u, "Invalid parameters ! the MSI hash must be present.",
                    RC::RC_UPDATE_INVALID_ARGUMENTS);
    }
    return RC::RC_SUCCESS;
}

// PackageName is the last component of the URL (without query), else a fixed name.
std::string PackageName(const std::string& url) {
    std::string name = url.substr(0, url.find_first_of("?#"));
    name = name.substr(name.find_last_of('/') + 1);
    return name.empty() || name == "." || name == ".." ? "launcher-package" : name;
}

// MakePrivateFolder makes a folder of the daemon's that nobody else may enter.
bool MakePrivateFolder(const std::string& path) {
    if (!Operations::Local::MakeFolder(path)) {
        return false;
    }
    std::error_code error;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, error);
    return !error;
}

// SignatureUrl is the package URL with the signature's suffix added to its path, so that a
// query or fragment stays where it was.
std::string SignatureUrl(const std::string& url) {
    const std::size_t end = url.find_first_of("?#");
    return end == std::string::npos ? url + kSignatureSuffix
                                    : url.substr(0, end) + kSignatureSuffix + url.substr(end);
}

// Fetched is one file that the user's worker downloads into the package folder.
struct Fetched {
    std::string name, url, hash;
    std::int64_t size = 0;
    std::string what;  // the file's name in log lines
};

// FetchAsUser has the user's worker download one file into folder; path is then its path.
std::int32_t FetchAsUser(const Update& u, const std::string& folder, const Fetched& f,
                         std::string& path) {
    std::error_code error;
    fs::remove(ToolBox::JoinPath(folder, f.name), error);
    JSON::ItemPtr media = JSON::CreateObject();
    media->AsObject()->Set("fileName", JSON::CreateString(f.name));
    media->AsObject()->Set("downloadLink", JSON::CreateString(f.url));
    media->AsObject()->Set("hash", JSON::CreateString(f.hash));
    media->AsObject()->Set("hashAlgorithmLabel", JSON::CreateString("MD5"));
    media->AsObject()->Set("size", JSON::CreateNumber(f.size));
    media->AsObject()->Set("exactSize", JSON::CreateBool(true));
    media->AsObject()->Set("type", JSON::CreateString("MSI"));
    path = folder;
    std::int32_t result = -1;
    const std::uint32_t status =
        Operations::AsUser::DownloadMediaAsUser(u.request, path, media->Print(), result);
    if (status != 0) {
        return Fail(
            u, "[AsUser]fail to download " + f.what + ". (status:" + std::to_string(status) + ")",
            RC::RC_MSI_DOWNLOAD_INTERNAL_ERROR);
    }
    if (result == WebOperationCodes::kDownloadNoSpace) {
        return Fail(u,
                    "fail to download " + f.what + ". There is not enough space in this folder: " +
                        folder + " (archive size : " + std::to_string(f.size) + ")",
                    kNoSpaceForPackage);
    }
    if (result != WebOperationCodes::kDownloadOk) {
        return Fail(u, "fail to download " + f.what + ".", RC::RC_MSI_DOWNLOAD_FAILED);
    }
    return RC::RC_SUCCESS;
}

// Download has the user's worker fetch the package, and its signature beside it, into
// TEMP/msiFolder/pkg. The user must be able to write there; the folder is sticky, so nobody
// replaces another's files, and the daemon uses only its own checked copies of what lands
// there.
std::int32_t Download(Update& u) {
    const std::string folder = ToolBox::JoinPath(ToolBox::JoinPath(u.temp, "msiFolder"), "pkg");
    std::error_code error;
    if (!Operations::Local::MakeFolder(folder)) {
        return Fail(u, "fail to create this folder : " + folder,
                    RC::RC_MSI_DOWNLOAD_INTERNAL_ERROR);
    }
    fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit, fs::perm_options::replace,
                    error);
    const std::string name = PackageName(u.p.url);
    const Fetched package{name, u.p.url, u.p.hash, std::stoll(u.p.size), "the launcher's MSI"};
    if (const std::int32_t rc = FetchAsUser(u, folder, package, u.package); rc != RC::RC_SUCCESS) {
        return rc;
    }
    const Fetched signature{name + kSignatureSuffix, SignatureUrl(u.p.url), "",
                            static_cast<std::int64_t>(platform::kSignatureSize),
                            "the launcher's MSI signature"};
    return FetchAsUser(u, folder, signature, u.signature);
}

// CopyToTrusted copies a file into the daemon's private folder; copy is then its path.
std::int32_t CopyToTrusted(const Update& u, const std::string& source, std::string& copy) {
    const std::string folder = ToolBox::JoinPath(ToolBox::JoinPath(u.temp, "msiFolder"), "trusted");
    if (!MakePrivateFolder(folder)) {
        return Fail(u, "fail to create this folder : " + folder, RC::RC_UPDATE_COPY_FAILED);
    }
    copy = ToolBox::JoinPath(folder, platform::PathText(platform::FsPath(source).filename()));
    std::error_code error;
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing, error);
    if (error) {
        return Fail(u, "]Fail to copy file from " + source + " to " + copy,
                    RC::RC_UPDATE_COPY_FAILED);
    }
    return RC::RC_SUCCESS;
}

// TakePackage copies the package into the daemon's private folder and checks that copy: the
// size and MD5 when given, and that no one but the administrator can change it. The
// original, which the user may have written, is never installed.
std::int32_t TakePackage(Update& u) {
    const std::int32_t failure =
        u.p.url.empty() ? RC::RC_UPDATE_INVALID_ARGUMENTS : RC::RC_MSI_DOWNLOAD_FAILED;
    std::string copy;
    if (const std::int32_t rc = CopyToTrusted(u, u.package, copy); rc != RC::RC_SUCCESS) {
        return rc;
    }
    std::string md5;
    std::int64_t size = -1;
    if (!platform::FileMd5(copy, md5, size)) {
        return Fail(u, "fail to read the package copy " + copy, RC::RC_UPDATE_COPY_FAILED);
    }
    if (!u.p.size.empty() && u.p.size != std::to_string(size)) {
        return Fail(u, "the package is " + std::to_string(size) + " bytes, not " + u.p.size,
                    failure);
    }
    if (!u.p.hash.empty() && Lower(u.p.hash) != md5) {
        return Fail(u, "the package's MD5 is " + md5 + ", not " + u.p.hash, failure);
    }
    if (platform::RunsAsAdministrator()) {
        const platform::FileTrust trust = platform::CheckAdministratorTrust(copy);
        if (!trust.trusted) {
            return Fail(u, "the package copy is not trusted : " + trust.reason,
                        RC::RC_UPDATE_COPY_FAILED);
        }
    }
    u.package = copy;
    return RC::RC_SUCCESS;
}

// LoadUpdateKey loads the maker's update key that the installed launcher ships. Without it,
// or with one that someone other than the administrator could have changed, no downloaded
// package can be told from one that anybody made, and the update is refused.
std::int32_t LoadUpdateKey(const Update& u, platform::SignatureKey& key) {
    const std::string path = ToolBox::JoinPath(u.install, kUpdateKeyName);
    if (!ToolBox::IsFile(path)) {
        return Fail(u,
                    "no update key is installed (" + path +
                        ") : a package by URL cannot be checked, the update is refused",
                    RC::RC_MSI_DOWNLOAD_FAILED);
    }
    std::string file = path;
    if (platform::RunsAsAdministrator()) {
        const platform::FileTrust trust = platform::CheckAdministratorTrust(path);
        if (!trust.trusted) {
            return Fail(u, "the update key is not trusted : " + trust.reason,
                        RC::RC_MSI_DOWNLOAD_FAILED);
        }
        file = trust.resolvedPath;
    }
    std::string why;
    if (!key.LoadFile(file, why)) {
        return Fail(u, "the update key " + file + " is unusable : " + why,
                    RC::RC_MSI_DOWNLOAD_FAILED);
    }
    return RC::RC_SUCCESS;
}

// CheckSignature verifies the downloaded signature over the daemon's own checked copy of the
// package, the one that is then installed; the signature is read from the daemon's copy too.
std::int32_t CheckSignature(const Update& u, const platform::SignatureKey& key) {
    std::string copy;
    if (const std::int32_t rc = CopyToTrusted(u, u.signature, copy); rc != RC::RC_SUCCESS) {
        return rc;
    }
    std::string why;
    if (!key.VerifyFile(u.package, copy, why)) {
        return Fail(u,
                    "the package " + u.package +
                        " is not signed by the update key, the update is refused : " + why,
                    RC::RC_MSI_DOWNLOAD_FAILED);
    }
    Logger::Info(u.tag + "the package " + u.package + " is signed by the update key");
    return RC::RC_SUCCESS;
}

// SaveExecutable copies one companion executable into the backup folder. A companion that
// this installation does not have is skipped.
std::int32_t SaveExecutable(const Update& u, const std::string& backup, const std::string& name) {
    const std::string source = ToolBox::JoinPath(u.install, name);
    const std::string target = ToolBox::JoinPath(backup, name);
    std::error_code error;
    fs::remove(target, error);
    if (!ToolBox::IsFile(source)) {
        Logger::Warn(u.tag + "no " + source + " to save");
        return RC::RC_SUCCESS;
    }
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
    if (error && !Config::IsActivated(ConfigId::KTV_MODE)) {
        return Fail(u, "]Fail to copy file from " + source + " to " + target,
                    RC::RC_UPDATE_COPY_FAILED);
    }
    return RC::RC_SUCCESS;
}

// SaveExecutables keeps copies of the GUI and tray executables (the updater runs the GUI
// copy, since the package replaces the installed one) and stops the tray in between.
std::int32_t SaveExecutables(const Update& u, std::string& guiCopy) {
    const std::string backup = ToolBox::JoinPath(u.temp, "exeBackup");
    if (!MakePrivateFolder(backup)) {
        return Fail(u, "fail to create this folder : " + backup, RC::RC_UPDATE_COPY_FAILED);
    }
    if (const std::int32_t rc = SaveExecutable(u, backup, Companions::GuiExecutableName());
        rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (!SystrayComs(u.request).ShutdownSystray()) {
        Logger::Debug(u.tag + "no tray program answered the close message");
    }
    guiCopy = ToolBox::JoinPath(backup, Companions::GuiExecutableName());
    return SaveExecutable(u, backup, Companions::TrayExecutableName());
}

std::int32_t PrepareLog(Update& u) {
    std::string folder;
    if (!FileAndFoldersManager::GetFolder(Folder::SELFUPDATE_LOGS, folder)) {
        return Fail(u, "Fail to retrieve base update log folder.", RC::RC_UPDATE_UNEXPECTED_ERROR);
    }
    if (!Operations::Local::MakeFolder(folder)) {
        return Fail(u, "fail to create this folder : " + folder,
                    RC::RC_MSI_DOWNLOAD_INTERNAL_ERROR);
    }
    u.log = ToolBox::JoinPath(
        folder, ToolBox::FormatTime(std::nullopt, false, false, "%Y_%m_%d-%H%M%S") + ".txt");
    return RC::RC_SUCCESS;
}

// Started tells whether the updater has shown its first sign of life: the update mutex, or
// the first line of its log (a quick updater may already be done with the mutex).
bool Started(const Update& u) {
    std::vector<std::string> lines;
    return platform::NamedMutexExists(Companions::kUpdateMutex) ||
           (ToolBox::File::ReadLines(u.log, lines) && !lines.empty());
}

// StartUpdater starts the update command apart from the daemon and waits for it to start.
bool StartUpdater(const Update& u, const std::vector<std::string>& items) {
    std::vector<std::string> argv = ToolBox::SplitCommandLine(ToolBox::Join(items, " "));
    platform::LaunchOptions options;
    platform::ProcessHandle process;
    if (ToolBox::IsFolder(kSystemdFolder)) {
        const std::string unit =
            "--unit=vantaro-launcher-update-" + platform::PathText(platform::FsPath(u.log).stem());
        argv.insert(argv.begin(), {"systemd-run", unit, "--collect", "--quiet", "--"});
        options.argv = argv;
        std::uint32_t code = 0;
        if (platform::LaunchAsSelf(options, nullptr, process) != 0 || !process.Wait(30000, code) ||
            code != 0) {
            return false;
        }
    } else {
        options.argv = argv;
        options.breakAwayFromJob = true;
        if (platform::LaunchAsSelf(options, nullptr, process) != 0) {
            return false;
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartWait;
    while (!Started(u)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::int32_t RunUpdater(Update& u, const std::string& guiCopy) {
    std::uint32_t session = 0;
    if (!ToolBox::GetActiveSessionId(session)) {
        return Fail(u, "fail to retrive current active session!", RC::RC_NO_SINGLE_ACTIVE_SESSION);
    }
    const std::vector<std::string> items =
        Companions::UpdateCommand(guiCopy, u.package, u.log, u.install, session);
    const std::string text = ToolBox::Join(items, " ");
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        Logger::Info(u.tag + "Successfully run command [" + text + "] : 0");
        return RC::RC_SUCCESS;
    }
    if (!StartUpdater(u, items)) {
        return Fail(u, "Fail to run command : " + text, RC::RC_UPDATE_START_FAILED);
    }
    Logger::Info(u.tag + "Successfully run command [" + text + "] : 0 (the outcome goes to " +
                 u.log + ")");
    return RC::RC_SUCCESS;
}

// ObtainSigned downloads the package and its signature and keeps the package only when the
// signature by the maker's update key matches the daemon's checked copy: the request, or the
// service it names, chose the URL and the MD5, so only the signature says who made it.
std::int32_t ObtainSigned(Update& u) {
    platform::SignatureKey key;
    if (const std::int32_t rc = LoadUpdateKey(u, key); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (const std::int32_t rc = Download(u); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (const std::int32_t rc = TakePackage(u); rc != RC::RC_SUCCESS) {
        return rc;
    }
    return CheckSignature(u, key);
}

std::int32_t Obtain(Update& u) {
    if (!u.p.ws.empty()) {
        if (const std::int32_t rc = AskWebService(u); rc != RC::RC_SUCCESS) {
            return rc;
        }
    }
    if (const std::int32_t rc = CheckParams(u); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (!FileAndFoldersManager::GetFolder(Folder::TEMP, u.temp, true)) {
        return Fail(u, "Fail to retrieve base temp folder.", RC::RC_UPDATE_UNEXPECTED_ERROR);
    }
    if (!FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, u.install)) {
        return Fail(u, "Fail to retrieve launcher base install folder.",
                    RC::RC_UPDATE_UNEXPECTED_ERROR);
    }
    u.package = u.p.path;
    // A package named by its path is one an administrator put there: a hash given with the
    // request proves nothing, since whoever sends the request chose both.
    if (u.p.url.empty() && platform::RunsAsAdministrator()) {
        const platform::FileTrust trust = platform::CheckAdministratorTrust(u.p.path);
        if (!trust.trusted) {
            return Fail(u,
                        "Invalid parameters ! the MSI Path [" + u.p.path +
                            "] is not the administrator's : " + trust.reason,
                        RC::RC_UPDATE_INVALID_ARGUMENTS);
        }
    }
    return u.p.url.empty() ? TakePackage(u) : ObtainSigned(u);
}

}  // namespace

std::int32_t FunctionnalCore::SelfUpdateInt2(const ZorvidRequestInfo& request,
                                             const JSON::JSONItem* params) {
    Update u{request, "[SelfUpdateInt2-(" + request.ToString() + ")]", {}, {}, {}, {}, {}, {}};
    if (params == nullptr || !params->IsObject()) {
        return Fail(u, "No argument JSON Object was given!", RC::RC_UPDATE_INVALID_ARGUMENTS);
    }
    ReadParams(params, u.p);
    Logger::Debug(u.tag + "Try to update local launcher with these parameters :" + "\n-[ws]: " +
                  u.p.ws + "\n-[path]: " + u.p.path + "\n-[url]: " + u.p.url +
                  "\n-[hash]: " + u.p.hash + "\n-[size]: " + u.p.size);
    if (const std::int32_t rc = Obtain(u); rc != RC::RC_SUCCESS) {
        return rc;
    }
    std::string guiCopy;
    if (const std::int32_t rc = SaveExecutables(u, guiCopy); rc != RC::RC_SUCCESS) {
        return rc;
    }
    if (const std::int32_t rc = PrepareLog(u); rc != RC::RC_SUCCESS) {
        return rc;
    }
    return RunUpdater(u, guiCopy);
}

std::int32_t FunctionnalCore::SelfUpdate(const ZorvidRequestInfo& request,
                                         const JSON::JSONItem& params, JSON::JSONDocument&) {
    return RunInFrame(SELF_UPDATE_FRAME, request, [&] { return SelfUpdateInt2(request, &params); });
}
