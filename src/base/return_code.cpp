#include "base/return_code.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "base/logger.h"

namespace {

using RC = ReturnCode;

struct Row {
    std::int32_t code;
    std::string_view commentary;
};

// The rows in the order the table is filled. The texts travel to the pages as they are,
// spelling included, because pages and their tests compare them.
constexpr Row kRows[] = {
    {RC::RC_SUCCESS, "Success"},
    {RC::RC_UNEXPECTED_PARAMETER_TYPE, "{CRITICAL} some parameter(s) has an unexpected type!"},
    {RC::RC_INVALID_COMMAND_LINE, "{CRITICAL}daemon's command line invalid"},
    {RC::RC_UNKNOWN_COMMAND_LINE_ARGUMENT,
     "{CRITICAL}daemon's command line contains unknown argument"},
    {RC::RC_USER_EXTENSION_FAILED, "the try to run an operation by UserExtension fail!"},
    {RC::RC_SERVICE_THREAD_FAILURE, "{CRITICAL}Launcher's service thread failure!"},
    {RC::RC_HTTP_SERVER_CRASHED, "{CRITICAL}Daemon HTTP server crashed!"},
    {RC::RC_SYSTRAY_THREAD_FAILURE, "the Systray handler thread "},
    {RC::RC_SERVICE_START_FAILED, "{CRITICAL} Fail to start service object!"},
    {RC::RC_SERVICE_INIT_FAILED, "{CRITICAL} Fail to init service object!"},
    {RC::RC_INTERNAL_EXCEPTION, "{CRITICAL} an internal exception has been thrown!"},
    {RC::RC_REGISTRY_ACCESS_ERROR, "Registry access error"},
    {RC::RC_UNKNOWN_MAIN_FUNCTION, "Main function name unknown"},
    {RC::RC_NO_PROTOCOL_VERSION, "No required Daemon's protocol version not set"},
    {RC::RC_ARGUMENTS_REQUIRED, "the target main function require arguments"},
    {RC::RC_EMPTY_URL_PATH, "Empty Url's path section, cannot determine the main fucntion to use"},
    {RC::RC_OPTION_STRING_PARSE_FAILED, "Parsing Fail! Invalid option String."},
    {RC::RC_OPTION_OBJECT_TYPE_ERROR,
     "Type error! the option object does not contains expected contents"},
    {RC::RC_UNKNOWN_OPERATION, "unknown operation name!"},
    {RC::RC_DAEMON_BUSY, "the daemon is busy!"},
    {RC::RC_INSTALL_ID_NOT_UNIQUE, "{CRITCAL} Z5 install object does not have a unique ID."},
    {RC::RC_ARGUMENT_DECRYPTION_FAILED, "Argument string decrypting failed!"},
    {RC::RC_DAEMON_LEVEL_UNSUPPORTED, "given daemon level unsupported!"},
    {RC::RC_INVALID_DAEMON_LEVEL, "Invalid Daemon level"},
    {RC::RC_INVALID_HTTP_VERB, "Invalid Http verb used!"},
    {RC::RC_NO_SINGLE_ACTIVE_SESSION,
     "There is no session active or more than one are active at the same time."},
    {RC::RC_ENCRYPTION_PARAMETERS_MISSING, "Missing or incorrect encryption parameters!"},
    {RC::RC_PROTOCOL_MAJOR_NOT_MAPPED,
     "{CRITICAL}internal error - protocol major index not mappsed!"},
    {RC::RC_CONFLICTING_OPERATION, "Conflictual operation on an installation."},
    {RC::RC_NO_ZORVID_ID, "No zorvid ID has been given!"},
    {RC::RC_NO_AUTHENTICATION_TOKEN, "No authentification token has been given!"},
    {RC::RC_NO_VALID_INSTALLATION, "no valid installation found!"},
    {RC::RC_MULTIPLE_VALID_INSTALLATIONS, "multiple valid installlation found!"},
    {RC::RC_ENV_FILE_PARSE_FAILED, "Fail to parse thr VRKenv file!"},
    {RC::RC_ENV_STRING_SYNTAX_ERROR, "Invalid syntax! fail to parse envstring."},
    {RC::RC_NATIVE_LAUNCHER_UNSUPPORTED, "Native Launche name unsupported!"},
    {RC::RC_TARGET_EXECUTABLE_NOT_FOUND, "Targeted executable name not found!"},
    {RC::RC_VRKSTART_NOT_FOUND, "VRKSTART executable file not found!"},
    {RC::RC_VRKSTART_FAILED, "VRKSTART execution failed!"},
    {RC::RC_SHORTCUT_FAILED, "Fail to create shortcut!"},
    {RC::RC_SETVRKENV_NOT_FOUND, "SetVRKenv executable file not found!"},
    {RC::RC_SETVRKENV_FAILED, "VRKSTART execution failed!"},
    {RC::RC_CHVRKENV_NOT_FOUND, "ChVRKenv executable file not found!"},
    {RC::RC_CHVRKENV_FAILED, "ChVRKenv execution failed!"},
    {RC::RC_EXECUTABLE_OUTSIDE_INSTALLATION,
     "Executable Name does not belong to the targeted installation folder!"},
    {RC::RC_EXECUTABLE_NOT_ALLOWED, "Executable Name not allowed to be executed by vrkstart!"},
    {RC::RC_CUSTOM_APPLICATION_FAILED, "The execution of the custom application failed!"},
    {RC::RC_INVALID_FILE_ARGS, "Invalid conent for FileArgs parameters!"},
    {RC::RC_FILE_ARG_ERROR, "An error has occured while process FileArg argument!"},
    {RC::RC_INVALID_VRKENV_FILE,
     "the configured VRKenv file is invalid! It does not exist or it is not accessible (ie it "
     "may be caused by the current permission setup on this file for the current user )."},
    {RC::RC_NOTHING_TO_INSTALL, "Nothings to install!"},
    {RC::RC_MEDIA_INFO_FAILED, "Cannot retrieve media's informations!"},
    {RC::RC_DATA_FOLDER_FAILED, "Daemon's data folder creation failed!"},
    {RC::RC_INTERNAL_FOLDER_FAILED, "Daemon's internal folder creation failed!"},
    {RC::RC_MEDIA_DOWNLOAD_FAILED, "Fail to download Media!"},
    {RC::RC_MEDIA_UNZIP_FAILED, "Fail to unzip the media's archive!"},
    {RC::RC_INSTALL_CANCELLED, "Installation canncelled by the user!"},
    {RC::RC_INSTALL_FAILED, "Installation failed!"},
    {RC::RC_UNKNOWN_INSTALL_ID, "Unkown Z5 install ID!"},
    {RC::RC_DATASTORE_PATH_UNRESOLVED,
     "Fail to resolve environment variables into the DataStore path."},
    {RC::RC_UPDATE_COPY_FAILED, "Failed to copy internal executable to start the Update process"},
    {RC::RC_MSI_DOWNLOAD_INTERNAL_ERROR,
     "An internal error has occurred while trying to download MSI"},
    {RC::RC_MSI_DOWNLOAD_FAILED, "Failed to download MSI"},
    {RC::RC_UPDATE_INVALID_ARGUMENTS, "Invalid arguments for update operation"},
    {RC::RC_UPDATE_UNEXPECTED_ERROR, "An unexpected error has occurred during update process"},
    {RC::RC_MSI_INFO_INVALID, "The MSI information returned by the remote webservice are invalid"},
    {RC::RC_MSI_INFO_CALL_FAILED, "Failed to call remote webservice to get MSI information"},
    {RC::RC_UPDATE_START_FAILED, "Failed to start update process"},
    {RC::RC_UPDATE_FAILED, "Update process has failed"},
    {RC::RC_UPDATE_IN_PROGRESS, "The Update is already in progress"},
    {RC::RC_UNINSTALL_INVALID_ARGUMENTS, "incorrect Arguments type."},
    {RC::RC_UNINSTALL_REGISTRY_ERROR, "Fail to access the registry information."},
    {RC::RC_UNINSTALL_TOO_MANY_FOUND, "Too many installation found."},
    {RC::RC_UNINSTALL_NONE_FOUND, "No installation found."},
    {RC::RC_UNINSTALL_LAUNCH_FAILED, "Fail to launcher the uninstall process."},
    {RC::RC_UNINSTALL_FAILED, "The uninstallation process has failed"},
    {RC::RC_UNINSTALL_BATCH_MISSING, "The uninstall batch file does not exist"},
};

struct Table {
    std::atomic<bool> built{false};
    std::mutex mutex;
    std::map<std::int32_t, std::string> rows;
};

Table& TheTable() {
    static Table table;
    return table;
}

// Insert adds a row unless the code has one; the caller holds the table mutex.
void Insert(Table& table, std::int32_t code, const std::string& commentary) {
    if (table.rows.contains(code)) {
        Logger::Debug("[ReturnCode::putRc]Duplicated Return code !");
        return;
    }
    table.rows.emplace(code, commentary);
}

// EnsureBuilt fills the table once. The flag is tested before and after taking the mutex so
// that readers never lock once the table exists.
Table& EnsureBuilt() {
    Table& table = TheTable();
    if (table.built.load(std::memory_order_acquire)) {
        return table;
    }
    std::lock_guard lock(table.mutex);
    if (!table.built.load(std::memory_order_relaxed)) {
        for (const Row& row : kRows) {
            Insert(table, row.code, std::string(row.commentary));
        }
        table.built.store(true, std::memory_order_release);
    }
    return table;
}

}  // namespace

bool ReturnCode::GetReason(std::int32_t code, std::string& reason) {
    const Table& table = EnsureBuilt();
    auto it = table.rows.find(code);
    if (it == table.rows.end()) {
        Logger::Debug("[ReturnCode::GetReason]this retrun code label unknown: " +
                      std::to_string(code));
        return false;
    }
    reason = it->second;
    return true;
}

void ReturnCode::putRc(std::int32_t code, const std::string& commentary) {
    Table& table = EnsureBuilt();
    std::lock_guard lock(table.mutex);
    Insert(table, code, commentary);
}

std::size_t ReturnCode::RowCount() {
    return EnsureBuilt().rows.size();
}

std::string ReturnCode::BuildJSONReponseObject(std::string& out, std::int32_t code,
                                               JSON::ItemPtr content,
                                               const std::string& commentary) {
    JSON::ItemPtr root = JSON::CreateObject();
    JSON::JSONObject* answer = root->AsObject();
    answer->Set("returnCode", JSON::CreateNumber(code));
    std::string text = commentary;
    if (text.empty()) {
        GetReason(code, text);
    }
    answer->Set("commentary", JSON::CreateString(std::move(text)));
    answer->Set("content", content ? std::move(content) : JSON::CreateNull());
    out.clear();
    root->Print(out);
    Logger::Debug("[ReturnCode::BuildJSONReponseObject]JSON Object built : " + out);
    return out;
}
