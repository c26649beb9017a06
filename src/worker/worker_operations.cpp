#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <system_error>

#include "base/folders.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/path_expansion.h"
#include "platform/file_access.h"
#include "platform/path.h"
#include "platform/sys_error.h"
#include "session/companions.h"
#include "session/operations_local.h"
#include "worker/ops/archive_extract.h"
#include "worker/ops/desktop_shortcut.h"
#include "worker/ops/media_download.h"
#include "worker/ops/url_validation_dialog.h"
#include "worker/ops/web_call.h"
#include "worker/worker.h"

namespace Worker {

namespace {

constexpr const char* kTag = "[Worker::HandleRequest]";

JSON::ItemPtr Reply(std::int32_t rc, JSON::ItemPtr content, const std::string& message = {}) {
    JSON::ItemPtr reply = JSON::CreateObject();
    JSON::JSONObject* members = reply->AsObject();
    members->Set("rc", JSON::CreateNumber(rc));
    members->Set("content", content ? std::move(content) : JSON::CreateNull());
    if (rc != 0) {
        members->Set("message", JSON::CreateString(message));
        Logger::Warn(std::string(kTag) + "answer rc " + std::to_string(rc) + " : " + message);
    }
    return reply;
}

JSON::ItemPtr BadRequest(const std::string& why) {
    return Reply(Companions::kReplyBadRequest, nullptr, why);
}

template <typename Number>
bool ParseNumber(const std::string& text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// ---- actions ------------------------------------------------------------------------------

JSON::ItemPtr Execute(const JSON::JSONItem& args) {
    const JSON::JSONItem* list = args.Get("cmd");
    if (list == nullptr || !list->IsArray() || list->Size() == 0) {
        return BadRequest("\"cmd\" must be a non-empty array");
    }
    std::vector<std::string> command;
    for (const JSON::ItemPtr& element : list->AsArray()->Items()) {
        if (!element->IsString() && !element->IsNull()) {
            return BadRequest("\"cmd\" elements must be strings");
        }
        command.push_back(element->GetString());  // an empty element travels as null
    }
    bool runas = false;
    JSON::GetBoolField("runas", runas, &args);
    std::int32_t timeoutMs = Operations::Local::kNoTimeLimit;
    if (const JSON::JSONItem* timeout = args.Get("timeout"); timeout != nullptr) {
        if (!timeout->IsNumber() || !ParseNumber(timeout->GetString(), timeoutMs)) {
            return BadRequest("\"timeout\" must be a whole number of milliseconds");
        }
    }
    // handOver: the command belongs to the user's session, like one nobody waits for, and
    // is still waited for within the time limit.
    bool handOver = false;
    JSON::GetBoolField("handOver", handOver, &args);
    if (handOver && runas) {
        return BadRequest("\"handOver\" cannot be elevated");
    }
    std::uint32_t exitCode = 0;
    bool ran = false;
    if (handOver) {
        ran = Operations::Local::ExecuteHandedOver(command, exitCode, timeoutMs);
    } else {
        ran = runas ? Operations::Local::ExecuteCmd(command, exitCode, timeoutMs)
                    : Operations::Local::ExecuteCmd(command, exitCode, false, timeoutMs);
    }
    if (!ran) {
        return Reply(Companions::kReplyFailed, nullptr,
                     "the command could not be run or did not end in time");
    }
    return Reply(0, JSON::CreateNumber(static_cast<std::int64_t>(exitCode)));
}

JSON::ItemPtr MakeFolder(const JSON::JSONItem& args) {
    std::string path;
    if (!JSON::GetStringField("path", path, &args)) {
        return BadRequest("\"path\" must be a string");
    }
    return Reply(0, JSON::CreateBool(Operations::Local::MakeFolder(path)));
}

bool HasKind(const std::string& path, std::int32_t kind) {
    std::error_code ec;
    const auto status = std::filesystem::status(platform::FsPath(path), ec);
    if (!std::filesystem::exists(status)) {
        return false;
    }
    switch (kind) {
        case Companions::kCheckKindFile:
            return !std::filesystem::is_directory(status);
        case Companions::kCheckKindFolder:
            return std::filesystem::is_directory(status);
        default:
            return true;
    }
}

JSON::ItemPtr CheckFile(const JSON::JSONItem& args) {
    std::string path;
    std::int32_t kind = 0;
    std::int32_t access = 0;
    if (!JSON::GetStringField("path", path, &args) || !JSON::GetIntField("kind", kind, &args) ||
        !JSON::GetIntField("access", access, &args)) {
        return BadRequest("\"path\", \"kind\" and \"access\" are required");
    }
    if (kind < Companions::kCheckKindAny || kind > Companions::kCheckKindFolder) {
        return BadRequest("unknown \"kind\" " + std::to_string(kind));
    }
    const std::uint32_t allowed = platform::CheckAccess(path, access);
    if (allowed == platform::SysError::INVALID_PARAMETER) {
        return BadRequest("unknown \"access\" " + std::to_string(access));
    }
    const bool answer = allowed == platform::SysError::SUCCESS && HasKind(path, kind);
    Logger::Internal(std::string(kTag) + "checkFile (" + std::to_string(kind) + "/" +
                     std::to_string(access) + ") " + path + " : " + (answer ? "true" : "false"));
    return Reply(0, JSON::CreateBool(answer));
}

// ExpandPath expands %NAME% with the worker's environment, which is the user's: what the
// user's programs see. The Windows folder variables fall back to their Linux places.
JSON::ItemPtr ExpandPath(const JSON::JSONItem& args) {
    std::string path;
    if (!JSON::GetStringField("path", path, &args)) {
        return BadRequest("\"path\" must be a string");
    }
    const ToolBox::VariableLookup environment =
        [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto lookup = [&environment](const std::string& name) {
        std::optional<std::string> value = environment(name);
        return value ? value : ToolBox::UserFolderVariable(name, environment);
    };
    return Reply(0, JSON::CreateString(ToolBox::ExpandPercentVariables(path, lookup), false));
}

JSON::ItemPtr PostToWindow(const JSON::JSONItem* args) {
    PostRequest request;
    if (!ReadPostRequest(args, request)) {
        return BadRequest("\"wnd\", \"label\", \"lparam\" and \"wparam\" are required");
    }
    const bool posted = Operations::Local::PostMessageToWindow(request.windowClass, request.message,
                                                               request.wparam, request.lparam);
    if (!posted) {
        return Reply(Companions::kReplyFailed, JSON::CreateFalse(),
                     "no window of class \"" + request.windowClass + "\" took the message");
    }
    return Reply(0, JSON::CreateTrue());
}

JSON::ItemPtr FromOp(WorkerOps::OpReply reply) {
    return Reply(reply.rc, std::move(reply.content), reply.message);
}

// Unzip unpacks into "output" when the daemon names the folder (the one it prepared for this
// user), else into the worker's own UNZIP folder.
JSON::ItemPtr Unzip(const JSON::JSONItem& args) {
    std::string folder;
    if (JSON::GetStringField("output", folder, &args) && !folder.empty()) {
        return FromOp(WorkerOps::ArchiveExtract::Run(args, folder));
    }
    if (!FileAndFoldersManager::GetFolder(Folder::UNZIP, folder, true)) {
        return Reply(Companions::kReplyFailed, nullptr, "the UNZIP folder cannot be resolved");
    }
    return FromOp(WorkerOps::ArchiveExtract::Run(args, folder));
}

JSON::ItemPtr Run(const JSON::JSONItem* args, const JSON::JSONItem* cinfo) {
    std::string action;
    if (args == nullptr || !JSON::GetStringField("action", action, args)) {
        return BadRequest("a \"run\" request needs an \"action\"");
    }
    using Handler = std::function<JSON::ItemPtr(const JSON::JSONItem&)>;
    static const std::map<std::string, Handler> handlers = {
        {Companions::kActionExecute, Execute},
        {Companions::kActionMakeFolder, MakeFolder},
        {Companions::kActionCheckFile, CheckFile},
        {Companions::kActionExpandPath, ExpandPath},
        {Companions::kActionDownloadMedia,
         [](const JSON::JSONItem& a) { return FromOp(WorkerOps::MediaDownload::Run(a)); }},
        {Companions::kActionUnzip, Unzip},
        {Companions::kActionMakeShortcut,
         [](const JSON::JSONItem& a) { return FromOp(WorkerOps::DesktopShortcut::Run(a)); }},
    };
    if (action == Companions::kActionCallWebService) {
        return FromOp(WorkerOps::WebCall::Run(*args, cinfo));
    }
    const auto handler = handlers.find(action);
    if (handler != handlers.end()) {
        return handler->second(*args);
    }
    return BadRequest("unknown action \"" + action + "\"");
}

}  // namespace

bool ReadPostRequest(const JSON::JSONItem* description, PostRequest& request) {
    std::string label;
    std::string lparam;
    std::string wparam;
    return description != nullptr &&
           JSON::GetStringField("wnd", request.windowClass, description) &&
           JSON::GetStringField("label", label, description) &&
           JSON::GetStringField("lparam", lparam, description) &&
           JSON::GetStringField("wparam", wparam, description) &&
           ParseNumber(label, request.message) && ParseNumber(lparam, request.lparam) &&
           ParseNumber(wparam, request.wparam);
}

JSON::ItemPtr HandleRequest(const std::string& message) {
    JSON::JSONDocument document;
    if (document.Parse(message) != 0 || document.Root() == nullptr ||
        !document.Root()->IsObject()) {
        return BadRequest("the request is not a JSON object");
    }
    const JSON::JSONItem* request = document.Root();
    std::string verb;
    JSON::GetStringField("op", verb, request);
    Logger::Internal(std::string(kTag) + "request : " + ToolBox::EnvelopeForLog(request));
    const JSON::JSONItem* args = request->Get("args");
    if (verb == Companions::kVerbRun) {
        return Run(args, request->Get("cinfo"));
    }
    if (verb == Companions::kVerbPostStatus) {
        return PostToWindow(args);
    }
    if (verb == Companions::kVerbUrl) {
        return FromOp(WorkerOps::UrlValidationDialog::Run(args));
    }
    return BadRequest("unknown request \"" + verb + "\"");
}

}  // namespace Worker
