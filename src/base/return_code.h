// ReturnCode owns the table of return codes and their standard commentaries, and builds the
// answer object {"returnCode", "commentary", "content"} that every request gets back.
// Operations report a plain integer code; only the request front turns it into an answer.
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"

class ReturnCode {
  public:
    static constexpr std::int32_t RC_SUCCESS = 0;
    static constexpr std::int32_t RC_UNEXPECTED_PARAMETER_TYPE = 2;
    static constexpr std::int32_t RC_INVALID_COMMAND_LINE = 3;
    static constexpr std::int32_t RC_UNKNOWN_COMMAND_LINE_ARGUMENT = 4;
    static constexpr std::int32_t RC_USER_EXTENSION_FAILED = 5;
    static constexpr std::int32_t RC_SERVICE_THREAD_FAILURE = 6;
    static constexpr std::int32_t RC_HTTP_SERVER_CRASHED = 7;
    static constexpr std::int32_t RC_SYSTRAY_THREAD_FAILURE = 8;
    static constexpr std::int32_t RC_SERVICE_START_FAILED = 10;
    static constexpr std::int32_t RC_SERVICE_INIT_FAILED = 11;
    // RC_HTTPS_REQUIRED has no row: its only user always gives its own commentary.
    static constexpr std::int32_t RC_HTTPS_REQUIRED = 12;
    static constexpr std::int32_t RC_INTERNAL_EXCEPTION = 13;
    static constexpr std::int32_t RC_REGISTRY_ACCESS_ERROR = 25;
    static constexpr std::int32_t RC_UNKNOWN_MAIN_FUNCTION = 90;
    static constexpr std::int32_t RC_NO_PROTOCOL_VERSION = 91;
    static constexpr std::int32_t RC_ARGUMENTS_REQUIRED = 92;
    static constexpr std::int32_t RC_EMPTY_URL_PATH = 93;
    static constexpr std::int32_t RC_OPTION_STRING_PARSE_FAILED = 95;
    static constexpr std::int32_t RC_OPTION_OBJECT_TYPE_ERROR = 96;
    static constexpr std::int32_t RC_UNKNOWN_OPERATION = 97;
    static constexpr std::int32_t RC_DAEMON_BUSY = 100;
    static constexpr std::int32_t RC_INSTALL_ID_NOT_UNIQUE = 101;
    static constexpr std::int32_t RC_ARGUMENT_DECRYPTION_FAILED = 102;
    static constexpr std::int32_t RC_DAEMON_LEVEL_UNSUPPORTED = 103;
    static constexpr std::int32_t RC_INVALID_DAEMON_LEVEL = 104;
    static constexpr std::int32_t RC_INVALID_HTTP_VERB = 105;
    static constexpr std::int32_t RC_NO_SINGLE_ACTIVE_SESSION = 106;
    static constexpr std::int32_t RC_ENCRYPTION_PARAMETERS_MISSING = 107;
    static constexpr std::int32_t RC_PROTOCOL_MAJOR_NOT_MAPPED = 108;
    static constexpr std::int32_t RC_CONFLICTING_OPERATION = 109;
    static constexpr std::int32_t RC_NO_ZORVID_ID = 110;
    static constexpr std::int32_t RC_NO_AUTHENTICATION_TOKEN = 111;
    static constexpr std::int32_t RC_NO_VALID_INSTALLATION = 120;
    static constexpr std::int32_t RC_MULTIPLE_VALID_INSTALLATIONS = 121;
    static constexpr std::int32_t RC_ENV_FILE_PARSE_FAILED = 122;
    static constexpr std::int32_t RC_ENV_STRING_SYNTAX_ERROR = 123;
    static constexpr std::int32_t RC_NATIVE_LAUNCHER_UNSUPPORTED = 124;
    static constexpr std::int32_t RC_TARGET_EXECUTABLE_NOT_FOUND = 125;
    static constexpr std::int32_t RC_VRKSTART_NOT_FOUND = 126;
    static constexpr std::int32_t RC_VRKSTART_FAILED = 127;
    static constexpr std::int32_t RC_SHORTCUT_FAILED = 128;
    static constexpr std::int32_t RC_SETVRKENV_NOT_FOUND = 129;
    static constexpr std::int32_t RC_SETVRKENV_FAILED = 130;
    static constexpr std::int32_t RC_CHVRKENV_NOT_FOUND = 131;
    static constexpr std::int32_t RC_CHVRKENV_FAILED = 132;
    static constexpr std::int32_t RC_EXECUTABLE_OUTSIDE_INSTALLATION = 133;
    static constexpr std::int32_t RC_EXECUTABLE_NOT_ALLOWED = 134;
    static constexpr std::int32_t RC_CUSTOM_APPLICATION_FAILED = 135;
    static constexpr std::int32_t RC_INVALID_FILE_ARGS = 136;
    static constexpr std::int32_t RC_FILE_ARG_ERROR = 137;
    static constexpr std::int32_t RC_INVALID_VRKENV_FILE = 141;
    static constexpr std::int32_t RC_NOTHING_TO_INSTALL = 150;
    static constexpr std::int32_t RC_MEDIA_INFO_FAILED = 151;
    static constexpr std::int32_t RC_DATA_FOLDER_FAILED = 152;
    static constexpr std::int32_t RC_INTERNAL_FOLDER_FAILED = 153;
    static constexpr std::int32_t RC_MEDIA_DOWNLOAD_FAILED = 154;
    static constexpr std::int32_t RC_MEDIA_UNZIP_FAILED = 156;
    static constexpr std::int32_t RC_INSTALL_CANCELLED = 157;
    static constexpr std::int32_t RC_INSTALL_FAILED = 158;
    static constexpr std::int32_t RC_UNKNOWN_INSTALL_ID = 159;
    static constexpr std::int32_t RC_NOT_ENOUGH_SPACE = 161;  // no table entry: no commentary
    static constexpr std::int32_t RC_DATASTORE_PATH_UNRESOLVED = 162;
    static constexpr std::int32_t RC_UPDATE_COPY_FAILED = 200;
    static constexpr std::int32_t RC_MSI_DOWNLOAD_INTERNAL_ERROR = 201;
    static constexpr std::int32_t RC_MSI_DOWNLOAD_FAILED = 202;
    static constexpr std::int32_t RC_UPDATE_INVALID_ARGUMENTS = 203;
    static constexpr std::int32_t RC_UPDATE_UNEXPECTED_ERROR = 204;
    static constexpr std::int32_t RC_MSI_INFO_INVALID = 205;
    static constexpr std::int32_t RC_MSI_INFO_CALL_FAILED = 206;
    static constexpr std::int32_t RC_UPDATE_START_FAILED = 207;
    static constexpr std::int32_t RC_UPDATE_FAILED = 208;
    static constexpr std::int32_t RC_UPDATE_IN_PROGRESS = 210;
    static constexpr std::int32_t RC_UNINSTALL_INVALID_ARGUMENTS = 220;
    static constexpr std::int32_t RC_UNINSTALL_REGISTRY_ERROR = 221;
    static constexpr std::int32_t RC_UNINSTALL_TOO_MANY_FOUND = 222;
    static constexpr std::int32_t RC_UNINSTALL_NONE_FOUND = 223;
    static constexpr std::int32_t RC_UNINSTALL_LAUNCH_FAILED = 224;
    static constexpr std::int32_t RC_UNINSTALL_FAILED = 225;
    static constexpr std::int32_t RC_UNINSTALL_BATCH_MISSING = 226;
    static constexpr std::int32_t RC_REINSTALL_NO_TARGET = 230;  // no table entry

    ReturnCode() = delete;

    // BuildJSONReponseObject writes the compact answer text into out and returns it. The
    // commentary is the given one, else the table's text for the code, else null; the content
    // is the given item (the answer takes it), else null.
    static std::string BuildJSONReponseObject(std::string& out, std::int32_t code,
                                              JSON::ItemPtr content, const std::string& commentary);

    // GetReason writes the table's commentary for the code and returns true; for a code
    // without a row it logs the code and returns false, leaving reason unchanged.
    static bool GetReason(std::int32_t code, std::string& reason);

    // putRc adds one row; a code that already has a row keeps it. The table is read without
    // a lock once built, so rows belong to the table builder: adding one while requests are
    // served races with them.
    static void putRc(std::int32_t code, const std::string& commentary);

    // RowCount is the number of rows of the table (built on first use).
    static std::size_t RowCount();
};
