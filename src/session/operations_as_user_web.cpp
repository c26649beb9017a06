#include "session/operations_as_user_web.h"

#include "base/logger.h"
#include "base/zorvid_request_info.h"
#include "session/companions.h"
#include "session/operations_as_user.h"

namespace Operations::AsUser {

namespace {

constexpr const char* kBadStructure =
    "invalid data structure returned by the sub-process ! current structure : ";

std::uint32_t BadContent(const std::string& tag, const JSON::JSONItem* content) {
    Logger::Error(tag + kBadStructure + (content != nullptr ? content->Print() : "NULL"));
    return kResultBadReply;
}

JSON::ItemPtr Args(const char* action) {
    JSON::ItemPtr args = JSON::CreateObject();
    args->AsObject()->Set("action", JSON::CreateString(action));
    return args;
}

// Member finds a member of the content with the given type, or logs it missing.
const JSON::JSONItem* Member(const std::string& tag, const JSON::JSONItem& content,
                             const char* name, bool number) {
    const JSON::JSONItem* member = content.Get(name);
    if (member == nullptr || (number ? !member->IsNumber() : !member->IsString())) {
        Logger::Error(tag + "JSON field [" + name + "] is missing !");
        return nullptr;
    }
    return member;
}

}  // namespace

std::uint32_t CallWebServiceAsUser(const ZorvidRequestInfo& request, const std::string& url,
                                   const std::string& argument, std::string& answer, bool noAuth) {
    const std::string tag = "[Operations::AsUser::CallWebServiceAsUser]";
    Logger::Internal(tag + " try to use this webservice [" + url + "] with this arg: [" + argument +
                     "]");
    JSON::ItemPtr args = Args(Companions::kActionCallWebService);
    JSON::JSONObject* members = args->AsObject();
    members->Set("arg", JSON::CreateString(argument));
    members->Set("url", JSON::CreateString(url));
    if (noAuth) {
        members->Set("noAuth", JSON::CreateTrue());
    }
    JSON::ItemPtr content;
    const std::uint32_t result =
        RunOperationByUserExtension(request, Companions::kVerbRun, args.get(), content);
    if (result != kResultOk) {
        return result;
    }
    // An empty answer travels as null.
    if (!content || !(content->IsString() || content->IsNull())) {
        return BadContent(tag, content.get());
    }
    answer = content->GetString();
    Logger::Internal(tag + "Call successfull :" + answer);
    return kResultOk;
}

std::uint32_t CallWebService(const WebServiceCall& call, const ZorvidRequestInfo& request,
                             const std::string& url, const std::string& argument,
                             std::string& answer) {
    if (call) {
        return call(request, url, argument, answer);
    }
    return CallWebServiceAsUser(request, url, argument, answer, false);
}

std::uint32_t DownloadMediaAsUser(const ZorvidRequestInfo& request, std::string& destination,
                                  const std::string& mediaInfoJson, std::int32_t& downloadResult) {
    const std::string tag = "[Operations::AsUser::DownloadMediaAsUser]";
    Logger::Internal(tag + "params :\n\t-[output]:" + destination +
                     "\n\t-[fileToDl]:" + mediaInfoJson);
    JSON::JSONDocument media;
    if (media.Parse(mediaInfoJson) != 0 || media.Root() == nullptr) {
        Logger::Error(tag + "the media description is not JSON : " + mediaInfoJson);
        return kResultBadReply;
    }
    JSON::ItemPtr args = Args(Companions::kActionDownloadMedia);
    args->AsObject()->Set("dest", JSON::CreateString(destination));
    args->AsObject()->Set("mi", media.Release());
    JSON::ItemPtr content;
    const std::uint32_t result =
        RunOperationByUserExtension(request, Companions::kVerbRun, args.get(), content);
    if (result != kResultOk) {
        return result;
    }
    if (!content || !content->IsObject()) {
        return BadContent(tag, content.get());
    }
    const JSON::JSONItem* rc = Member(tag, *content, "rc", true);
    if (rc == nullptr) {
        return kResultBadReply;
    }
    downloadResult = rc->GetInt();
    const JSON::JSONItem* output = Member(tag, *content, "output", false);
    if (output == nullptr) {
        return kResultBadReply;
    }
    destination = output->GetString();
    Logger::Internal(tag + "output path : " + destination);
    return kResultOk;
}

std::uint32_t UnzipAsUser(const ZorvidRequestInfo& request, const std::string& archivePath,
                          std::string& output, std::int32_t& unzipResult) {
    const std::string tag = "[Operations::AsUser::UnzipAsUser]";
    Logger::Internal(tag + "params:\n\t-[zipPath]:" + archivePath);
    JSON::ItemPtr args = Args(Companions::kActionUnzip);
    args->AsObject()->Set("target", JSON::CreateString(archivePath));
    if (!output.empty()) {
        args->AsObject()->Set("output", JSON::CreateString(output));
    }
    JSON::ItemPtr content;
    const std::uint32_t result =
        RunOperationByUserExtension(request, Companions::kVerbRun, args.get(), content);
    if (result != kResultOk) {
        return result;
    }
    if (!content || !content->IsObject()) {
        return BadContent(tag, content.get());
    }
    const JSON::JSONItem* path = Member(tag, *content, "output", false);
    const JSON::JSONItem* rc = path != nullptr ? Member(tag, *content, "rc", true) : nullptr;
    if (rc == nullptr) {
        return kResultBadReply;
    }
    output = path->GetString();
    unzipResult = rc->GetInt();
    return kResultOk;
}

}  // namespace Operations::AsUser
