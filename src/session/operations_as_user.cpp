#include "session/operations_as_user.h"

#include <memory>

#include "base/logger.h"
#include "base/zorvid_request_info.h"
#include "session/companions.h"
#include "session/shared_data.h"
#include "session/user_extension.h"

namespace Operations::AsUser {

namespace {

constexpr const char* kEnvelopeTag = "[Operations::AsUser::RunOperationByUserExtension]";
constexpr const char* kBadStructure =
    "invalid data structure returned by the sub-process ! current structure : ";

JSON::ItemPtr Envelope(const ZorvidRequestInfo& request, const std::string& verb,
                       const JSON::JSONItem* args) {
    JSON::ItemPtr envelope = JSON::CreateObject();
    JSON::JSONObject* members = envelope->AsObject();
    members->Set("op", JSON::CreateString(verb));
    members->Set("cinfo", request.ToJSON());
    JSON::ItemPtr copy = args != nullptr ? args->Clone() : nullptr;
    members->Set("args", copy ? std::move(copy) : JSON::CreateNull());
    return envelope;
}

std::string TextOf(const JSON::JSONItem* item) {
    return item != nullptr ? item->Print() : std::string("NULL");
}

// BadContent logs a content of the wrong type under the operation's tag.
std::uint32_t BadContent(const std::string& tag, const JSON::JSONItem* content) {
    Logger::Error(tag + kBadStructure + TextOf(content));
    return kResultBadReply;
}

// Args starts the "args" object of a "run" request.
JSON::ItemPtr Args(const char* action) {
    JSON::ItemPtr args = JSON::CreateObject();
    args->AsObject()->Set("action", JSON::CreateString(action));
    return args;
}

// AskBool runs a "run" request whose content is a boolean.
std::uint32_t AskBool(const ZorvidRequestInfo& request, const std::string& tag,
                      const JSON::JSONItem& args, bool& answer) {
    JSON::ItemPtr content;
    const std::uint32_t result =
        RunOperationByUserExtension(request, Companions::kVerbRun, &args, content);
    if (result != kResultOk) {
        return result;
    }
    if (!content || !content->IsBool()) {
        return BadContent(tag, content.get());
    }
    answer = content->GetBool();
    if (answer) {
        Logger::Debug(tag + "Call success full !");
    }
    return kResultOk;
}

}  // namespace

std::uint32_t RunOperationOnExtension(UserExtension* extension, const ZorvidRequestInfo& request,
                                      const std::string& verb, const JSON::JSONItem* args,
                                      JSON::ItemPtr& content) {
    content.reset();
    Logger::Internal(std::string(kEnvelopeTag) + " try to execute opertions with args :\ncInfo=" +
                     request.ToString() + "\nop=" + verb +
                     "\nargs_o=" + (args != nullptr ? args->Print() : std::string("null")));
    const JSON::ItemPtr envelope = Envelope(request, verb, args);
    if (extension == nullptr) {
        Logger::Error(std::string(kEnvelopeTag) + "Fail to retrieve user Extension.");
        return kResultNoWorker;
    }
    JSON::ItemPtr reply;
    if (!extension->RunOperation(envelope.get(), reply, request.GetStopToken())) {
        Logger::Error(std::string(kEnvelopeTag) + "Fail to run the requested operation.");
        return kResultNoWorker;
    }
    if (!reply || !reply->IsObject()) {
        Logger::Error(std::string(kEnvelopeTag) + kBadStructure + TextOf(reply.get()));
        return kResultBadReply;
    }
    Logger::Internal(std::string(kEnvelopeTag) + "result object : " + reply->Print());
    const JSON::JSONItem* rc = reply->Get("rc");
    if (rc == nullptr || !rc->IsNumber()) {
        Logger::Error(std::string(kEnvelopeTag) + "JSON field [output] is missing !");
        return kResultBadReply;
    }
    const std::uint32_t code = static_cast<std::uint32_t>(rc->GetInt64());
    if (code != 0) {
        Logger::Error(std::string(kEnvelopeTag) +
                      "Execute fail ! sub-process return code : " + rc->GetString());
        return code;
    }
    const JSON::JSONItem* member = reply->Get("content");
    if (member == nullptr) {
        Logger::Error(std::string(kEnvelopeTag) + "JSON field [content] is missing !");
        return kResultBadReply;
    }
    content = member->Clone();
    return kResultOk;
}

std::uint32_t RunOperationByUserExtension(const ZorvidRequestInfo& request, const std::string& verb,
                                          const JSON::JSONItem* args, JSON::ItemPtr& content) {
    // Held for this exchange only.
    const std::shared_ptr<UserExtension> extension = SharedData::GetExtension(request);
    return RunOperationOnExtension(extension.get(), request, verb, args, content);
}

std::uint32_t MakeFolderAsUser(const ZorvidRequestInfo& request, const std::string& path,
                               bool& exists) {
    const std::string tag = "[Operations::AsUser::MakeFolderAsUser]";
    if (path.empty()) {
        Logger::Error(tag + "empty string was gave.");
        return kResultOk;
    }
    JSON::ItemPtr args = Args(Companions::kActionMakeFolder);
    args->AsObject()->Set("path", JSON::CreateString(path));
    return AskBool(request, tag, *args, exists);
}

std::uint32_t CheckFile(const ZorvidRequestInfo& request, const std::string& path,
                        std::int32_t kind, std::int32_t access, bool& result) {
    const std::string tag = "[Operations::AsUser::CheckFile]";
    Logger::Internal(tag + " try to check props (" + std::to_string(kind) + "/" +
                     std::to_string(access) + ") for this file: " + path);
    if (path.empty()) {
        Logger::Error(tag + "empty string was gave.");
        return kResultOk;
    }
    JSON::ItemPtr args = Args(Companions::kActionCheckFile);
    JSON::JSONObject* members = args->AsObject();
    members->Set("path", JSON::CreateString(path));
    members->Set("kind", JSON::CreateNumber(kind));
    members->Set("access", JSON::CreateNumber(access));
    return AskBool(request, tag, *args, result);
}

std::uint32_t ExecuteCommandAsUser(const ZorvidRequestInfo& request,
                                   const std::vector<std::string>& command, std::uint32_t& exitCode,
                                   std::int32_t timeoutMs, bool runas, bool handOver) {
    const std::string tag = "[Operations::AsUser::ExecuteCommandAsUser]";
    Logger::Internal(tag + "try to launch this command-line AsUser :\n" +
                     Companions::JoinItems(command));
    JSON::ItemPtr args = Args(Companions::kActionExecute);
    JSON::ItemPtr elements = JSON::CreateArray();
    for (const std::string& element : command) {
        elements->AsArray()->Add(JSON::CreateString(element));
    }
    JSON::JSONObject* members = args->AsObject();
    members->Set("cmd", std::move(elements));
    members->Set("runas", JSON::CreateBool(runas));
    members->Set("timeout", JSON::CreateNumber(timeoutMs));
    if (handOver) {
        members->Set("handOver", JSON::CreateBool(true));
    }
    JSON::ItemPtr content;
    const std::uint32_t result =
        RunOperationByUserExtension(request, Companions::kVerbRun, args.get(), content);
    if (result != kResultOk) {
        return result;
    }
    if (!content || !content->IsNumber()) {
        return BadContent(tag, content.get());
    }
    exitCode = static_cast<std::uint32_t>(content->GetInt64());
    return kResultOk;
}

std::uint32_t PostMessageToWindowAsUser(const ZorvidRequestInfo& request,
                                        const std::string& windowClass, std::uint32_t message,
                                        std::uint64_t wparam, std::int64_t lparam) {
    Logger::Debug(
        "[Operations::AsUser::PostMessageToWindowAsUser]try to post this message AsUser : "
        "windows:[" +
        windowClass + "]//label:[" + std::to_string(message) + "]//wparam:[" +
        std::to_string(wparam) + "]//lparam:[" + std::to_string(lparam) + "]");
    JSON::ItemPtr args = JSON::CreateObject();
    JSON::JSONObject* members = args->AsObject();
    members->Set("wnd", JSON::CreateString(windowClass));
    members->Set("label", JSON::CreateString(std::to_string(message)));
    members->Set("lparam", JSON::CreateString(std::to_string(lparam)));
    members->Set("wparam", JSON::CreateString(std::to_string(wparam)));
    JSON::ItemPtr content;
    return RunOperationByUserExtension(request, Companions::kVerbPostStatus, args.get(), content);
}

}  // namespace Operations::AsUser
