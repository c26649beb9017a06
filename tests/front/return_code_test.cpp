#include "base/return_code.h"

#include <iterator>

#include "front/front_env.h"

namespace {

class ReturnCodeTest : public FrontEnv {};

std::string Build(std::int32_t code, const std::string& commentary = {},
                  JSON::ItemPtr content = nullptr) {
    std::string out;
    const std::string returned =
        ReturnCode::BuildJSONReponseObject(out, code, std::move(content), commentary);
    EXPECT_EQ(returned, out);
    return out;
}

TEST_F(ReturnCodeTest, SuccessAnswerHasTheTableTextAndNullContent) {
    const std::string text = Build(0);
    EXPECT_EQ(text, R"({"returnCode": 0, "commentary": "Success", "content": null})");
    EXPECT_TRUE(Logged("{DEBUG}:[ReturnCode::BuildJSONReponseObject]JSON Object built : " + text));
}

TEST_F(ReturnCodeTest, GivenCommentaryWinsOverTheTable) {
    Answer answer(Build(105, "x"));
    ASSERT_TRUE(answer.ok);
    EXPECT_EQ(answer.Code(), 105);
    EXPECT_EQ(answer.CommentaryText(), "x");
}

TEST_F(ReturnCodeTest, CodeWithoutRowGivesNullCommentaryAndLogsTheCode) {
    for (const std::int32_t code : {12, 1, -7}) {
        Answer answer(Build(code));
        ASSERT_TRUE(answer.ok);
        EXPECT_EQ(answer.Code(), code);
        EXPECT_TRUE(answer.Commentary()->IsNull()) << code;
        EXPECT_TRUE(Logged("{DEBUG}:[ReturnCode::GetReason]this retrun code label unknown: " +
                           std::to_string(code) + "\n"))
            << code;
    }
    std::string reason = "kept";
    EXPECT_FALSE(ReturnCode::GetReason(12, reason));
    EXPECT_EQ(reason, "kept");
}

struct Row {
    std::int32_t label;  // the constant
    std::int32_t code;   // the number that travels in answers
    const char* commentary;
};

// The whole table, as pages see it: every code with its constant and its exact text,
// spelling included. Code 12 has no row: its only user always gives its own commentary.
TEST_F(ReturnCodeTest, TableHoldsEveryRowWithItsExactText) {
    using RC = ReturnCode;
    const Row rows[] = {
        {RC::RC_SUCCESS, 0, "Success"},
        {RC::RC_UNEXPECTED_PARAMETER_TYPE, 2,
         "{CRITICAL} some parameter(s) has an unexpected type!"},
        {RC::RC_INVALID_COMMAND_LINE, 3, "{CRITICAL}daemon's command line invalid"},
        {RC::RC_UNKNOWN_COMMAND_LINE_ARGUMENT, 4,
         "{CRITICAL}daemon's command line contains unknown argument"},
        {RC::RC_USER_EXTENSION_FAILED, 5, "the try to run an operation by UserExtension fail!"},
        {RC::RC_SERVICE_THREAD_FAILURE, 6, "{CRITICAL}Launcher's service thread failure!"},
        {RC::RC_HTTP_SERVER_CRASHED, 7, "{CRITICAL}Daemon HTTP server crashed!"},
        {RC::RC_SYSTRAY_THREAD_FAILURE, 8, "the Systray handler thread "},
        {RC::RC_SERVICE_START_FAILED, 10, "{CRITICAL} Fail to start service object!"},
        {RC::RC_SERVICE_INIT_FAILED, 11, "{CRITICAL} Fail to init service object!"},
        {RC::RC_INTERNAL_EXCEPTION, 13, "{CRITICAL} an internal exception has been thrown!"},
        {RC::RC_REGISTRY_ACCESS_ERROR, 25, "Registry access error"},
        {RC::RC_UNKNOWN_MAIN_FUNCTION, 90, "Main function name unknown"},
        {RC::RC_NO_PROTOCOL_VERSION, 91, "No required Daemon's protocol version not set"},
        {RC::RC_ARGUMENTS_REQUIRED, 92, "the target main function require arguments"},
        {RC::RC_EMPTY_URL_PATH, 93,
         "Empty Url's path section, cannot determine the main fucntion to use"},
        {RC::RC_OPTION_STRING_PARSE_FAILED, 95, "Parsing Fail! Invalid option String."},
        {RC::RC_OPTION_OBJECT_TYPE_ERROR, 96,
         "Type error! the option object does not contains expected contents"},
        {RC::RC_UNKNOWN_OPERATION, 97, "unknown operation name!"},
        {RC::RC_DAEMON_BUSY, 100, "the daemon is busy!"},
        {RC::RC_INSTALL_ID_NOT_UNIQUE, 101,
         "{CRITCAL} Z5 install object does not have a unique ID."},
        {RC::RC_ARGUMENT_DECRYPTION_FAILED, 102, "Argument string decrypting failed!"},
        {RC::RC_DAEMON_LEVEL_UNSUPPORTED, 103, "given daemon level unsupported!"},
        {RC::RC_INVALID_DAEMON_LEVEL, 104, "Invalid Daemon level"},
        {RC::RC_INVALID_HTTP_VERB, 105, "Invalid Http verb used!"},
        {RC::RC_NO_SINGLE_ACTIVE_SESSION, 106,
         "There is no session active or more than one are active at the same time."},
        {RC::RC_ENCRYPTION_PARAMETERS_MISSING, 107, "Missing or incorrect encryption parameters!"},
        {RC::RC_PROTOCOL_MAJOR_NOT_MAPPED, 108,
         "{CRITICAL}internal error - protocol major index not mappsed!"},
        {RC::RC_CONFLICTING_OPERATION, 109, "Conflictual operation on an installation."},
        {RC::RC_NO_ZORVID_ID, 110, "No zorvid ID has been given!"},
        {RC::RC_NO_AUTHENTICATION_TOKEN, 111, "No authentification token has been given!"},
        {RC::RC_NO_VALID_INSTALLATION, 120, "no valid installation found!"},
        {RC::RC_MULTIPLE_VALID_INSTALLATIONS, 121, "multiple valid installlation found!"},
        {RC::RC_ENV_FILE_PARSE_FAILED, 122, "Fail to parse thr VRKenv file!"},
        {RC::RC_ENV_STRING_SYNTAX_ERROR, 123, "Invalid syntax! fail to parse envstring."},
        {RC::RC_NATIVE_LAUNCHER_UNSUPPORTED, 124, "Native Launche name unsupported!"},
        {RC::RC_TARGET_EXECUTABLE_NOT_FOUND, 125, "Targeted executable name not found!"},
        {RC::RC_VRKSTART_NOT_FOUND, 126, "VRKSTART executable file not found!"},
        {RC::RC_VRKSTART_FAILED, 127, "VRKSTART execution failed!"},
        {RC::RC_SHORTCUT_FAILED, 128, "Fail to create shortcut!"},
        {RC::RC_SETVRKENV_NOT_FOUND, 129, "SetVRKenv executable file not found!"},
        {RC::RC_SETVRKENV_FAILED, 130, "VRKSTART execution failed!"},
        {RC::RC_CHVRKENV_NOT_FOUND, 131, "ChVRKenv executable file not found!"},
        {RC::RC_CHVRKENV_FAILED, 132, "ChVRKenv execution failed!"},
        {RC::RC_EXECUTABLE_OUTSIDE_INSTALLATION, 133,
         "Executable Name does not belong to the targeted installation folder!"},
        {RC::RC_EXECUTABLE_NOT_ALLOWED, 134,
         "Executable Name not allowed to be executed by vrkstart!"},
        {RC::RC_CUSTOM_APPLICATION_FAILED, 135, "The execution of the custom application failed!"},
        {RC::RC_INVALID_FILE_ARGS, 136, "Invalid conent for FileArgs parameters!"},
        {RC::RC_FILE_ARG_ERROR, 137, "An error has occured while process FileArg argument!"},
        {RC::RC_INVALID_VRKENV_FILE, 141,
         "the configured VRKenv file is invalid! It does not exist or it is not accessible (ie it "
         "may be caused by the current permission setup on this file for the current user )."},
        {RC::RC_NOTHING_TO_INSTALL, 150, "Nothings to install!"},
        {RC::RC_MEDIA_INFO_FAILED, 151, "Cannot retrieve media's informations!"},
        {RC::RC_DATA_FOLDER_FAILED, 152, "Daemon's data folder creation failed!"},
        {RC::RC_INTERNAL_FOLDER_FAILED, 153, "Daemon's internal folder creation failed!"},
        {RC::RC_MEDIA_DOWNLOAD_FAILED, 154, "Fail to download Media!"},
        {RC::RC_MEDIA_UNZIP_FAILED, 156, "Fail to unzip the media's archive!"},
        {RC::RC_INSTALL_CANCELLED, 157, "Installation canncelled by the user!"},
        {RC::RC_INSTALL_FAILED, 158, "Installation failed!"},
        {RC::RC_UNKNOWN_INSTALL_ID, 159, "Unkown Z5 install ID!"},
        {RC::RC_DATASTORE_PATH_UNRESOLVED, 162,
         "Fail to resolve environment variables into the DataStore path."},
        {RC::RC_UPDATE_COPY_FAILED, 200,
         "Failed to copy internal executable to start the Update process"},
        {RC::RC_MSI_DOWNLOAD_INTERNAL_ERROR, 201,
         "An internal error has occurred while trying to download MSI"},
        {RC::RC_MSI_DOWNLOAD_FAILED, 202, "Failed to download MSI"},
        {RC::RC_UPDATE_INVALID_ARGUMENTS, 203, "Invalid arguments for update operation"},
        {RC::RC_UPDATE_UNEXPECTED_ERROR, 204,
         "An unexpected error has occurred during update process"},
        {RC::RC_MSI_INFO_INVALID, 205,
         "The MSI information returned by the remote webservice are invalid"},
        {RC::RC_MSI_INFO_CALL_FAILED, 206,
         "Failed to call remote webservice to get MSI information"},
        {RC::RC_UPDATE_START_FAILED, 207, "Failed to start update process"},
        {RC::RC_UPDATE_FAILED, 208, "Update process has failed"},
        {RC::RC_UPDATE_IN_PROGRESS, 210, "The Update is already in progress"},
        {RC::RC_UNINSTALL_INVALID_ARGUMENTS, 220, "incorrect Arguments type."},
        {RC::RC_UNINSTALL_REGISTRY_ERROR, 221, "Fail to access the registry information."},
        {RC::RC_UNINSTALL_TOO_MANY_FOUND, 222, "Too many installation found."},
        {RC::RC_UNINSTALL_NONE_FOUND, 223, "No installation found."},
        {RC::RC_UNINSTALL_LAUNCH_FAILED, 224, "Fail to launcher the uninstall process."},
        {RC::RC_UNINSTALL_FAILED, 225, "The uninstallation process has failed"},
        {RC::RC_UNINSTALL_BATCH_MISSING, 226, "The uninstall batch file does not exist"},
    };
    EXPECT_EQ(ReturnCode::RowCount(), std::size(rows));
    for (const Row& row : rows) {
        EXPECT_EQ(row.label, row.code) << row.commentary;
        std::string reason;
        EXPECT_TRUE(ReturnCode::GetReason(row.code, reason)) << row.code;
        EXPECT_EQ(reason, row.commentary) << row.code;
        Answer answer(Build(row.code));
        ASSERT_TRUE(answer.ok) << row.code;
        EXPECT_EQ(answer.Code(), row.code);
        EXPECT_EQ(answer.CommentaryText(), row.commentary) << row.code;
    }
    EXPECT_EQ(RC::RC_HTTPS_REQUIRED, 12);
}

TEST_F(ReturnCodeTest, DuplicatedRowKeepsTheFirstText) {
    ReturnCode::putRc(0, "changed");
    std::string reason;
    ASSERT_TRUE(ReturnCode::GetReason(0, reason));
    EXPECT_EQ(reason, "Success");
    EXPECT_TRUE(Logged("{DEBUG}:[ReturnCode::putRc]Duplicated Return code !"));
}

}  // namespace
