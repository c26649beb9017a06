#include "worker/ops/url_validation_dialog.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/logger.h"
#include "platform/process.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"
#include "worker/ops/path_text.h"

namespace WorkerOps {

namespace {

constexpr const char* kTag = "[UrlValidationDialog::Ask]";
constexpr const char* kTitle = "Vantaro Launcher";
constexpr const char* kAlways = "Always allow";
constexpr const char* kOnce = "Allow once";
constexpr const char* kRefuse = "Refuse";

// zenity tells its extra button apart only on its standard output; a small shell turns the
// three outcomes into exit codes (43, 42, 40; 2 for anything else).
constexpr const char* kZenityScript =
    "choice=$(\"$@\"); rc=$?; "
    "[ $rc -eq 0 ] && exit 43; "
    "[ $rc -eq 1 ] && { [ \"$choice\" = \"Allow once\" ] && exit 42; exit 40; }; "
    "exit 2";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string FindInPath(const std::string& program) {
    std::string path = Env("PATH");
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::string folder = path.substr(start, end - start);
        std::error_code error;
        const std::filesystem::path candidate = FsPath(folder) / program;
        if (!folder.empty() && std::filesystem::is_regular_file(candidate, error)) {
            return PathText(candidate);
        }
        start = end + 1;
    }
    return {};
}

// Markup escapes the texts zenity reads as markup.
std::string Markup(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string Question(const std::string& url) {
    return "A web page asks to use this web service on your behalf:\n\n" + url +
           "\n\nDo you trust it?";
}

std::vector<std::string> ZenityCommand(const std::string& program, const std::string& url) {
    return {"/bin/sh",
            "-c",
            kZenityScript,
            "vl-dialog",
            program,
            "--question",
            "--no-wrap",
            std::string("--title=") + kTitle,
            "--text=" + Markup(Question(url)),
            std::string("--ok-label=") + kAlways,
            std::string("--cancel-label=") + kRefuse,
            std::string("--extra-button=") + kOnce};
}

std::vector<std::string> KdialogCommand(const std::string& program, const std::string& url) {
    return {program, "--title",        kTitle,  "--yes-label",   kAlways,      "--no-label",
            kOnce,   "--cancel-label", kRefuse, "--yesnocancel", Question(url)};
}

// Run starts the dialog and waits for its exit code; false when it could not run or the
// user did not answer in time.
bool RunDialog(const std::vector<std::string>& argv, std::uint32_t& exitCode) {
    platform::ProcessHandle process;
    const std::uint32_t error = platform::LaunchAsSelf(argv, nullptr, process);
    if (error != 0) {
        Logger::Error(std::string(kTag) + "cannot start " + argv[0] + " (error " +
                      std::to_string(error) + ")");
        return false;
    }
    if (!process.Wait(UrlValidationDialog::kWaitMs, exitCode)) {
        Logger::Error(std::string(kTag) + "no answer in time");
        process.Terminate(0);
        return false;
    }
    return true;
}

}  // namespace

std::int32_t UrlValidationDialog::Ask(const std::string& url) {
    namespace Codes = WebOperationCodes;
    if (Env("DISPLAY").empty() && Env("WAYLAND_DISPLAY").empty()) {
        Logger::Error(std::string(kTag) + "the session has no display to ask about " + url);
        return Codes::kDialogFailed;
    }
    std::string program = Env("QVYLD_DIALOG_PROGRAM");
    bool zenityLike = true;
    if (program.empty()) {
        program = FindInPath("zenity");
    }
    if (program.empty()) {
        program = FindInPath("kdialog");
        zenityLike = false;
    }
    if (program.empty()) {
        Logger::Error(std::string(kTag) + "no dialog program (zenity, kdialog) to ask about " +
                      url);
        return Codes::kDialogFailed;
    }
    std::uint32_t exitCode = 0;
    if (!RunDialog(zenityLike ? ZenityCommand(program, url) : KdialogCommand(program, url),
                   exitCode)) {
        return Codes::kDialogFailed;
    }
    std::int32_t answer = Codes::kDialogFailed;
    if (zenityLike) {
        if (exitCode == Companions::kUrlAcceptedAlways ||
            exitCode == Companions::kUrlAcceptedOnce || exitCode == Companions::kUrlRefused) {
            answer = static_cast<std::int32_t>(exitCode);
        }
    } else if (exitCode <= 2) {
        const std::int32_t answers[] = {Companions::kUrlAcceptedAlways,
                                        Companions::kUrlAcceptedOnce, Companions::kUrlRefused};
        answer = answers[exitCode];
    }
    Logger::Info(std::string(kTag) + "answer for " + url + " : " + std::to_string(answer));
    return answer;
}

OpReply UrlValidationDialog::Run(const JSON::JSONItem* args) {
    if (args == nullptr || !args->IsString() || args->GetString().empty()) {
        return ReplyFailed(Companions::kReplyBadRequest, "a \"url\" request needs the address");
    }
    const std::int32_t answer = Ask(args->GetString());
    if (answer == WebOperationCodes::kDialogFailed) {
        return ReplyFailed(Companions::kReplyFailed, "the validation dialog failed",
                           JSON::CreateNumber(answer));
    }
    return ReplyOk(JSON::CreateNumber(answer));
}

}  // namespace WorkerOps
