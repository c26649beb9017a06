// One media of an "installMedia" request: download and unpack as the user, choose the setup
// program, write its variable and environment lists, run it, and read its outcome.
//
// Commands run without a shell: where the setup command would go through the command
// interpreter, the setup program is started directly with the same items.
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/json/json.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "core/functionnal_core.h"
#include "core/media_installation.h"
#include "install/installer_report.h"
#include "install/media_info.h"
#include "platform/path.h"
#include "session/companions.h"
#include "session/operations_as_user.h"
#include "session/operations_as_user_web.h"
#include "session/operations_local.h"
#include "session/session_query.h"
#include "session/systray_coms.h"

namespace media_install {

namespace {

namespace fs = std::filesystem;
namespace Codes = WebOperationCodes;
using RC = ReturnCode;

// Setup is what one media's setup run needs.
struct Setup {
    std::string subFolder;  // the media's one folder in the unzip folder
    std::string mediaRoot;  // unzip folder + sub-folder
    std::string program;
    bool noElevation = false;
    std::string report;      // where the setup program writes its report (the user's)
    std::string reportCopy;  // the copy kept in the installer log folder
    std::vector<std::string> command;
};

std::int32_t Download(MediaInstallation& run, const MediaEntry& media, std::string& archive) {
    bool exists = false;
    if (Operations::AsUser::MakeFolderAsUser(run.request, run.mediaFolder, exists) != 0 ||
        !exists) {
        Logger::Error(
            run.tag +
            "fail to download the media's archive. Cannot create this folder : " + run.mediaFolder);
        return RC::RC_INTERNAL_FOLDER_FAILED;
    }
    run.Log("daemon-media_to_download_name", media.info.GetFileName());
    run.LogNow("daemon-media_download_start_time");
    archive = run.mediaFolder;
    std::int32_t downloaded = Codes::kDownloadFileError;
    // The catalogue's sizes are whole megabytes: they size the free-space check only.
    JSON::ItemPtr description = media.info.ToJSON();
    description->AsObject()->Set("exactSize", JSON::CreateFalse());
    const std::uint32_t status = Operations::AsUser::DownloadMediaAsUser(
        run.request, archive, description->Print(), downloaded);
    run.LogNow("daemon-media_download_end_time");
    if (status != 0) {
        Logger::Error(run.tag + "[AsUser]fail to download the media's archive. (status:" +
                      std::to_string(status) + ")");
        return RC::RC_USER_EXTENSION_FAILED;
    }
    if (downloaded == Codes::kDownloadNoSpace) {
        Logger::Error(
            run.tag +
            "fail to download the media's archive. There is not enough space in this folder: " +
            run.mediaFolder + " (archive size : " + std::to_string(media.info.GetSize()));
        return RC::RC_NOT_ENOUGH_SPACE;
    }
    if (downloaded != Codes::kDownloadOk) {
        Logger::Error(run.tag + "fail to download the media's archive. (rc:" +
                      std::to_string(downloaded) + ")");
        return RC::RC_MEDIA_DOWNLOAD_FAILED;
    }
    Logger::Info(run.tag + "media downloaded and verified : " + archive);
    return RC::RC_SUCCESS;
}

// Unpack unzips the archive and finds the media's one sub-folder: 0, 5, 156 or 161.
std::int32_t Unpack(MediaInstallation& run, const std::string& archive, Setup& setup) {
    std::string output = run.unzipFolder;
    std::int32_t unzipped = Codes::kUnzipUnreadable;
    if (Operations::AsUser::UnzipAsUser(run.request, archive, output, unzipped) != 0) {
        Logger::Error(run.tag + "[AsUser]fail to unzip the media's archive.");
        return RC::RC_USER_EXTENSION_FAILED;
    }
    if (unzipped != Codes::kUnzipOk) {
        Logger::Error(run.tag +
                      "fail to unzip the media's archive. (rc:" + std::to_string(unzipped) + ")");
        return unzipped == Codes::kUnzipNoSpace ? RC::RC_NOT_ENOUGH_SPACE
                                                : RC::RC_MEDIA_UNZIP_FAILED;
    }
    std::vector<std::string> names;
    if (!ToolBox::File::List(run.unzipFolder, names)) {
        Logger::Error(run.tag + "Fail to list the content of this folder: " + run.unzipFolder);
        return RC::RC_MEDIA_UNZIP_FAILED;
    }
    // The archive may be kept in the unzip folder; only folders count.
    std::vector<std::string> folders;
    for (const std::string& name : names) {
        std::error_code error;
        if (fs::is_directory(fs::symlink_status(
                platform::FsPath(ToolBox::JoinPath(run.unzipFolder, name)), error))) {
            folders.push_back(name);
        }
    }
    if (folders.size() != 1) {
        Logger::Error(run.tag + "Fail to find media's sub-folder within the zip directory: '" +
                      run.unzipFolder + "'");
        return RC::RC_MEDIA_UNZIP_FAILED;
    }
    setup.subFolder = folders.front();
    setup.mediaRoot = ToolBox::JoinPath(run.unzipFolder, setup.subFolder);
    Logger::Info(run.tag + "media unpacked : " + setup.mediaRoot);
    return RC::RC_SUCCESS;
}

void ChooseProgram(const MediaInstallation& run, Setup& setup) {
    const Companions::ProductToolNames& names = Companions::ToolNames();
    const std::string one = ToolBox::JoinPath(setup.mediaRoot, "1");
    const char* program = names.setupPrograms[0];
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        program = names.setupPrograms[3];
    } else if (ToolBox::PathExists(ToolBox::JoinPath(one, "media.db")) && !run.params.silent &&
               !run.params.requireUAC) {
        program = names.setupPrograms[1];
        setup.noElevation = true;
    } else if (run.params.silent) {
        program = names.setupPrograms[2];
    }
    setup.program = ToolBox::JoinPath(one, program);
    ToolBox::File::CleanOldFilesInFolder(run.installerLogs, 20, 0);
    static std::atomic<unsigned> sequence{0};
    const std::string name = setup.subFolder + "_" + run.params.osds + "_install_xml_report_" +
                             ToolBox::FormatTime(std::nullopt, false, false, "%Y_%m_%d-%H%M%S") +
                             (sequence++ > 0 ? "_" + std::to_string(sequence.load()) : "") + ".xml";
    setup.report = ToolBox::JoinPath(run.mediaFolder, name);
    setup.reportCopy = ToolBox::JoinPath(run.installerLogs, name);
}

std::vector<std::string> EnvironmentLines(const MediaInstallation& run, const Setup& setup,
                                          const MediaEntry& media) {
    std::vector<std::string> lines;
    if (run.params.silent) {
        lines.push_back("QVYAdmTUINoStdIn=1");
    } else {
        lines.push_back("QVY_Online_Installation_DownloadPlatform=" + media.info.GetDownloadLink());
        lines.push_back("QVY_Online_Installation_Dov_Repositiory=" +
                        ToolBox::JoinPath(run.dovFolder, setup.subFolder));
    }
    std::string user;
    if (!ToolBox::GetUserNameFromActiveSession(user)) {
        Logger::Warn(run.tag + "Fail to retrieve current active session username");
    }
    lines.push_back("QVY_Online_Installation_User=" + user);
    lines.push_back("QVYAdmInstAllowNonCommittedInstall=1");
    if (run.sink && run.sink->IsOpened()) {
        lines.push_back("QVY_Online_Installation_External_Logging_Install_ID=" +
                        run.sink->GetInstallId());
        lines.push_back("QVY_Online_Installation_External_Logging_Ws_Url=" + run.sink->GetUrl());
    }
    return lines;
}

void AppendSelection(const MediaInstallation& run, const std::string& hash, const MediaEntry& media,
                     const Setup& setup, std::vector<std::string>& lines) {
    MediaContent content(setup.mediaRoot);
    if (!content.Parse()) {
        Logger::Error(run.tag + "Cafs.data parsing fail !");
        return;
    }
    const std::vector<std::string>& products = content.GetTopProductList();
    if (products.empty()) {
        return;
    }
    Logger::Debug(run.tag + "Try to lock the selectProduct to install wished product");
    if (media.processes.empty()) {
        Logger::Error(run.tag + "No list of processes to select for this hash [" + hash + "] !");
    }
    std::vector<std::string> selection;
    bool any = false;
    for (const std::string& product : products) {
        bool selected = false;
        for (const std::string& process : media.processes) {
            const std::string prefix =
                run.params.codeType + "\\" + run.params.osds + "\\" + process + ".";
            selected = selected || product.rfind(prefix, 0) == 0;
        }
        any = any || selected;
        selection.push_back("SelectProduct?" + product + "=" + (selected ? "true" : "false"));
    }
    if (!any) {
        Logger::Warn(run.tag + "no product selected, do not lock the selectProduct !");
        return;
    }
    lines.insert(lines.end(), selection.begin(), selection.end());
    Logger::Debug(run.tag + "current lock list : " + ToolBox::Join(selection, ", "));
    lines.push_back("SelectProduct=");
}

std::vector<std::string> VariableLines(const MediaInstallation& run, const std::string& hash,
                                       const MediaEntry& media, const Setup& setup) {
    std::vector<std::string> lines;
    if (!run.params.defaultTargetPath.empty()) {
        lines.push_back("TARGET_PATH=" + run.params.defaultTargetPath);
    }
    AppendSelection(run, hash, media, setup, lines);
    lines.push_back("SelectExtraProduct?*=true");
    lines.push_back("SelectExtraProduct=");
    if (run.params.instVarData != nullptr) {
        for (const auto& member : run.params.instVarData->AsObject()->Members()) {
            const JSON::JSONItem* value = member->second.get();
            lines.push_back(member->first + "=" +
                            (value->IsString() ? value->GetString() : value->Print()));
        }
    }
    return lines;
}

// AppendList adds the lines as repeated options, or writes them to a list file named by one
// option.
void AppendList(const MediaInstallation& run, std::vector<std::string>& command,
                const std::vector<std::string>& lines, bool inline_, const char* each,
                const char* listOption, const char* fileName) {
    if (inline_) {
        for (const std::string& line : lines) {
            command.push_back(each);
            command.push_back(Companions::QuoteItem(line));
        }
        return;
    }
    const std::string path = ToolBox::JoinPath(run.operationFolder, fileName);
    if (!ToolBox::File::WriteLinesAtomic(path, lines)) {
        Logger::Error(run.tag + "Fail to write this file '" + path + "' with this content :\n" +
                      ToolBox::Join(lines, "\n"));
    }
    command.push_back(listOption);
    command.push_back(Companions::QuoteItem(path));
}

void BuildCommand(const MediaInstallation& run, const std::string& hash, const MediaEntry& media,
                  Setup& setup) {
    std::vector<std::string>& command = setup.command;
    command.push_back(Companions::QuoteItem(setup.program));
    if (run.params.silent) {
        command.push_back("--silentMode");
    }
    AppendList(run, command, VariableLines(run, hash, media, setup),
               Config::IsActivated(ConfigId::DO_NOT_USE_VARLIST), "--var", "--varlist",
               "varList.txt");
    AppendList(run, command, EnvironmentLines(run, setup, media),
               Config::IsActivated(ConfigId::DO_NOT_USE_ENVLIST), "-env", "--envlist",
               "envList.txt");
    if (Config::IsActivated(ConfigId::KTV_MODE)) {
        const char* dir = std::getenv("KTV_LAUNCHER_FAKEINST_TARGET_DIR");
        const char* id = std::getenv("KTV_LAUNCHER_FAKEINST_REG_ID");
        command.insert(command.end(), {"--ktvInstDir", Companions::QuoteItem(dir ? dir : ""),
                                       "--ktvRegId", Companions::QuoteItem(id ? id : "")});
    }
    command.push_back("--xmlreport");
    command.push_back(Companions::QuoteItem(setup.report));
    command.push_back("-wait");
}

// RunSetup runs the command the chosen way: false when it could not run.
bool RunSetup(MediaInstallation& run, const Setup& setup, std::uint32_t& exitCode,
              std::uint32_t& status) {
    if (setup.noElevation) {
        status = static_cast<std::uint32_t>(FunctionnalCore::runInstallWithoutAdmin(
            run.request, setup.mediaRoot, setup.command, exitCode));
        return status == 0;
    }
    if (run.params.silent) {
        // Nothing of a silent installation shows but the spinner, for as long as it runs.
        const SystrayComs coms(run.request);
        Spinner spinner(coms, true);
        // The unpacked media belong to the user: the daemon runs them as that user.
        const bool ran = Operations::Local::ExecuteCmd(
            setup.command, exitCode, true, Operations::Local::kNoTimeLimit, run.sessionId);
        status = ran ? 0 : 2;
        return ran;
    }
    status = Operations::AsUser::ExecuteCommandAsUser(run.request, setup.command, exitCode,
                                                      Operations::Local::kNoTimeLimit, false);
    return status == 0;
}

// ReadReport keeps a copy of the user's report in the installer log folder and reads it;
// a report that is not a plain file is not followed.
bool ReadReport(const MediaInstallation& run, const Setup& setup, InstallerReport::Report& report,
                std::string& why) {
    std::error_code error;
    const fs::file_status status = fs::symlink_status(platform::FsPath(setup.report), error);
    if (error || !fs::is_regular_file(status)) {
        why = "no report file " + setup.report;
        return false;
    }
    fs::copy_file(platform::FsPath(setup.report), platform::FsPath(setup.reportCopy),
                  fs::copy_options::overwrite_existing, error);
    if (error) {
        Logger::Warn(run.tag + "Fail to keep the installer report in " + setup.reportCopy);
    }
    return InstallerReport::Read(error ? setup.report : setup.reportCopy, report, why);
}

std::int32_t Failure(MediaInstallation& run, const Setup& setup, std::uint32_t exitCode) {
    run.Log("daemon-installer_end_status", "FAIL#" + std::to_string(exitCode));
    JSON::ItemPtr last = JSON::CreateObject();
    InstallerReport::Report report;
    std::string why;
    if (!ReadReport(run, setup, report, why)) {
        last->AsObject()->Set("error", JSON::CreateString("N/A"));
    } else if (!report.message) {
        last->AsObject()->Set("error", JSON::CreateString("Nothings"));
    } else {
        JSON::ItemPtr content = JSON::CreateObject();
        for (const auto& [name, value] : *report.message) {
            content->AsObject()->Set(name, JSON::CreateString(value));
        }
        last->AsObject()->Set("error", JSON::CreateString("Success"));
        last->AsObject()->Set("content", std::move(content));
    }
    Logger::Error(run.tag + "the installer failed with rc [" + std::to_string(exitCode) +
                  "] : " + last->Print());
    if (run.sink && run.sink->IsOpened()) {
        run.sink->LogData("daemon-installer_last_error", "string",
                          JSON::CreateString(last->Print()));
    }
    return RC::RC_INSTALL_FAILED;
}

// Success records what the setup program reports having installed.
std::int32_t Success(MediaInstallation& run, const Setup& setup) {
    InstallerReport::Report report;
    std::string why;
    if (!ReadReport(run, setup, report, why)) {
        Logger::Warn(run.tag + "the installer wrote no report : " + why);
    } else if (!InstallerReport::Record(report.records, why)) {
        Logger::Error(run.tag + "Fail to record the installation : " + why);
        run.Log("daemon-installer_end_status", "FAIL#RECORD");
        return RC::RC_INSTALL_FAILED;
    }
    run.Log("daemon-installer_end_status", "SUCCESS");
    return RC::RC_SUCCESS;
}

std::int32_t Outcome(MediaInstallation& run, const Setup& setup, bool ran, std::uint32_t status,
                     std::uint32_t exitCode) {
    if (!ran) {
        Logger::Error(run.tag +
                      "Installation launch as user fail, status code : " + std::to_string(status));
        run.Log("daemon-installer_end_status", "FAIL");
        return RC::RC_USER_EXTENSION_FAILED;
    }
    if (exitCode == static_cast<std::uint32_t>(Companions::kSetupSucceeded)) {
        return Success(run, setup);
    }
    if (exitCode == static_cast<std::uint32_t>(Companions::kSetupCancelled)) {
        Logger::Info(run.tag + "return code : [" + std::to_string(exitCode) + "]");
        run.Log("daemon-installer_end_status", "CANCELED");
        return RC::RC_INSTALL_CANCELLED;
    }
    return Failure(run, setup, exitCode);
}

}  // namespace

std::int32_t InstallOneMedia(MediaInstallation& run, const std::string& hash,
                             const MediaEntry& media) {
    Logger::Info(run.tag + "installing the media belonging to this archive : " +
                 media.info.GetFileName() + ".zip");
    std::string archive;
    Setup setup;
    std::int32_t result = Download(run, media, archive);
    if (result != RC::RC_SUCCESS || (result = Unpack(run, archive, setup)) != RC::RC_SUCCESS) {
        return result;
    }
    ChooseProgram(run, setup);
    BuildCommand(run, hash, media, setup);
    Logger::Info(run.tag + "Launching process '" + Companions::JoinItems(setup.command) + "'");
    run.LogNow("daemon-installer_time_start");
    std::uint32_t exitCode = 0;
    std::uint32_t status = 0;
    const bool ran = RunSetup(run, setup, exitCode, status);
    run.LogNow("daemon-installer_time_end");
    Logger::Info(run.tag + "installer ended (status " + std::to_string(status) + ", rc " +
                 std::to_string(exitCode) + ")");
    return Outcome(run, setup, ran, status, exitCode);
}

}  // namespace media_install
