// Companions gathers, in one place, what the daemon and the programs it starts agree on:
// the launcher's own companion programs (the GUI executable in its worker, post and update
// modes; the tray executable and its spinner), and the tools of a product installation.
// Program names, command lines, pipe names, window classes, message numbers, request verbs
// and exit codes are defined here and nowhere else.
//
// Command lines keep their Windows form: items joined by single blanks, a quoted item
// carrying its double quotes. Whoever runs one splits it with ToolBox::SplitCommandLine, so
// a command-line text means the same program and arguments on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Companions {

// ---- programs -----------------------------------------------------------------------------

inline constexpr const char* kGuiProgram = "VantaroLauncherGUI";
inline constexpr const char* kTrayProgram = "VantaroLauncherSysTray";

// ExecutableName is a program name with the platform's executable suffix (".exe" on
// Windows, none elsewhere).
std::string ExecutableName(const std::string& program);
std::string GuiExecutableName();
std::string TrayExecutableName();

// Modes of the GUI executable, its first argument.
inline constexpr const char* kRunMode = "run";
inline constexpr const char* kPostStatusMode = "postStatus";
inline constexpr const char* kUpdateMode = "update";
// Mode of the tray executable.
inline constexpr const char* kSpinnerMode = "--spinner";

// ---- worker pipe --------------------------------------------------------------------------

inline constexpr const char* kWorkerPipePrefix = "\\\\.\\pipe\\userExt_";
// kStopMessage is the one message besides requests that the daemon writes to a worker.
inline constexpr const char* kStopMessage = "STOP";

// WorkerPipeName is "\\.\pipe\userExt_" + session id + "_" + seconds since 1970.
std::string WorkerPipeName(std::uint32_t sessionId, std::int64_t secondsSince1970);

// The worker runs up to kWorkerOperationsAtOnce operations at once, each on its own
// connection; up to kWorkerOperationsWaiting more wait their turn, and past that a request
// is answered kReplyBusy at once.
inline constexpr std::size_t kWorkerOperationsAtOnce = 8;
inline constexpr std::size_t kWorkerOperationsWaiting = 32;

// WorkerCommandLine is the double-quoted executable path, "run" and the pipe name.
std::string WorkerCommandLine(const std::string& executablePath, const std::string& pipeName);

// Request verbs ("op") and actions ("action" of the "run" verb) of the worker protocol.
inline constexpr const char* kVerbRun = "run";
inline constexpr const char* kVerbPostStatus = "postStatus";
inline constexpr const char* kVerbUrl = "url";
inline constexpr const char* kActionCallWebService = "CallWS";
inline constexpr const char* kActionDownloadMedia = "DownloadMedia";
inline constexpr const char* kActionUnzip = "Unzip";
inline constexpr const char* kActionMakeFolder = "mkdir";
inline constexpr const char* kActionCheckFile = "checkFile";
inline constexpr const char* kActionExecute = "Execute";
inline constexpr const char* kActionMakeShortcut = "mkshortcut";
// kActionExpandPath expands %NAME% variables in "path" with the worker's environment (the
// user's); the content is the expanded text.
inline constexpr const char* kActionExpandPath = "expandPath";

// Kinds of path that the "checkFile" action checks for.
inline constexpr std::int32_t kCheckKindAny = 0;
inline constexpr std::int32_t kCheckKindFile = 1;
inline constexpr std::int32_t kCheckKindFolder = 2;

// Worker reply codes ("rc") other than 0. They stay clear of 2 and 3, which the daemon
// uses for a failed exchange and a malformed reply.
inline constexpr std::int32_t kReplyBadRequest = 10;    // not a request the worker can read
inline constexpr std::int32_t kReplyNotAvailable = 11;  // an operation this worker lacks
inline constexpr std::int32_t kReplyFailed = 12;        // the operation ran and failed
inline constexpr std::int32_t kReplyBusy = 13;          // too many operations at once

// Answers of the page-validation dialog ("url" verb).
inline constexpr std::int32_t kUrlRefused = 40;
inline constexpr std::int32_t kUrlAcceptedOnce = 42;
inline constexpr std::int32_t kUrlAcceptedAlways = 43;

// Exit codes of the GUI executable.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;         // unknown mode or missing argument
inline constexpr int kExitPostFailed = 3;    // postStatus: bad message text or nobody to post to
inline constexpr int kExitPipeFailed = 4;    // run: the pipe could not be created or served
inline constexpr int kExitNotAvailable = 5;  // a mode this build does not have

// ---- windows and messages -----------------------------------------------------------------

inline constexpr const char* kWorkerWindowClass = "VantaroLauncher Backbone";
inline constexpr const char* kTrayWindowClass = "QVLauncherTray";
inline constexpr const char* kSpinnerWindowClass = "QVLauncherSpinner";

inline constexpr std::uint32_t kUserMessageBase = 1024;
// kWorkerQuitMessage ends the worker (both parameters 0).
inline constexpr std::uint32_t kWorkerQuitMessage = kUserMessageBase + 25;  // 1049
// kCloseMessage ends the spinner.
inline constexpr std::uint32_t kCloseMessage = 16;
inline constexpr std::uint32_t kTrayMessageA = kUserMessageBase + 11;  // 1035
inline constexpr std::uint32_t kTrayMessageB = kUserMessageBase + 12;  // 1036

// PostStatusText is the JSON text that "postStatus" takes:
// {"wnd":class,"label":number,"lparam":lparam,"wparam":wparam}, every member a string.
std::string PostStatusText(const std::string& windowClass, std::uint32_t message,
                           std::int64_t lparam, std::uint64_t wparam);
// EscapeQuotes puts a backslash before every double quote.
std::string EscapeQuotes(const std::string& text);
// PostStatusCommand is the list [quoted executable path, "postStatus", quoted escaped JSON
// text]; the path is quoted so that a folder with blanks stays one program path.
std::vector<std::string> PostStatusCommand(const std::string& executablePath,
                                           const std::string& postStatusText);
// StopWorkerText is the postStatus text that ends a worker.
std::string StopWorkerText();

// UpdateCommand is the list [quoted executable copy, "update", quoted MSI path, quoted log
// path, quoted install folder, session id]; every path is quoted with QuoteItem, so that
// blanks or quotes in it cannot split it.
std::vector<std::string> UpdateCommand(const std::string& executableCopy, const std::string& msi,
                                       const std::string& log, const std::string& installFolder,
                                       std::uint32_t sessionId);
// kUpdateMutex is owned by the update mode while it runs.
inline constexpr const char* kUpdateMutex = "VantaroLauncher_UPDATE_MUTEX";

// ---- tray channel -------------------------------------------------------------------------

inline constexpr const char* kTrayPipeName = "\\\\.\\pipe\\qvy_launcher_pipe";
inline constexpr const char* kTraySharedMemory = "Global\\QVLauncherSharedMemory";

// ---- product installation tools -----------------------------------------------------------

// ProductToolNames names the programs that a product installation or a media brings: the
// start tool and the environment tools in the runtime's "code/bin" folder, the uninstall
// script at the installation root, and the setup programs in sub-folder "1" of a media.
struct ProductToolNames {
    const char* startTool;
    const char* envCreationTool;
    const char* envChangeTool;
    const char* envCreationTestTool;  // the test harness's tools, in $PMX_KTV_IN
    const char* envChangeTestTool;
    const char* uninstallScript;
    const char* setupPrograms[4];
};

inline constexpr ProductToolNames kWindowsToolNames = {
    "VRKSTART.exe",
    "setvrkenv.exe",
    "chvrkenv.exe",
    "setvrkenv_ktv.exe",
    "chvrkenv_ktv.exe",
    "Uninstall.bat",
    {"setup.exe", "setup_noUAC.exe", "StartTUI.exe", "setupKTV.exe"}};
// Linux products name the same programs without the ".exe" suffix; the uninstall script is
// a shell script.
inline constexpr ProductToolNames kLinuxToolNames = {
    "VRKSTART",
    "setvrkenv",
    "chvrkenv",
    "setvrkenv_ktv",
    "chvrkenv_ktv",
    "Uninstall.sh",
    {"setup", "setup_noUAC", "StartTUI", "setupKTV"}};

// ToolNames is the table of the platform the daemon runs on.
const ProductToolNames& ToolNames();

inline constexpr const char* kUninstallVariable = "QVYInsUninstallArguments";
// kToolTimeoutMs limits the environment tools (none in the test harness).
inline constexpr std::int32_t kToolTimeoutMs = 5000;

// Exit codes of a media setup program.
inline constexpr int kSetupSucceeded = 0;
inline constexpr int kSetupCancelled = 5;

// QuoteItem wraps an argument in double quotes so that SplitCommandLine gives it back
// unchanged, whatever quotes, backslashes or blanks it holds.
std::string QuoteItem(const std::string& item);

// StartToolCommand launches an application: the quoted tool path, "-run" and the quoted
// executable name, "-env" and the quoted file name when given, "-direnv" and the
// quoted folder when given, "-object" and the quoted argument text when given, "-nowindow".
// Every item after the tool is quoted with QuoteItem, so no text can become another item.
std::vector<std::string> StartToolCommand(const std::string& toolPath, const std::string& exeName,
                                          const std::string& envName, const std::string& envDir,
                                          const std::string& argument);

// EnvCreationCommand: quoted tool, "-e" quoted name, "-d" quoted folder, "-p" quoted root,
// "-cf" quoted reference when one is given, "-icon" "no" "-menu" "no".
std::vector<std::string> EnvCreationCommand(const std::string& toolPath, const std::string& envName,
                                            const std::string& envDir,
                                            const std::string& installRoot,
                                            const std::string& reference);

// EnvChangeCommand: quoted tool, "-e" name (not quoted), "-d" quoted folder, "-var" quoted
// name=value, "-new" for a new variable.
std::vector<std::string> EnvChangeCommand(const std::string& toolPath, const std::string& envName,
                                          const std::string& envDir, const std::string& name,
                                          const std::string& value, bool isNew);

// UninstallCommand: the script path quoted with QuoteItem, and "-quiet".
std::vector<std::string> UninstallCommand(const std::string& scriptPath);

// JoinItems joins command items with single blanks, adding no quotes.
std::string JoinItems(const std::vector<std::string>& items, const std::string& separator = " ");

}  // namespace Companions
