#include "worker/ops/web_call.h"

#include "base/logger.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"
#include "worker/ops/curl_session.h"

namespace WorkerOps {

namespace {

constexpr const char* kTag = "[WebCall::Post]";

size_t AppendAnswer(char* data, size_t size, size_t count, void* answer) {
    static_cast<std::string*>(answer)->append(data, size * count);
    return size * count;
}

}  // namespace

std::int32_t WebCall::Post(const Request& request, std::string& answer, std::string& why) {
    answer.clear();
    CurlSession session(request.url);
    if (!session.Valid()) {
        why = "no transfer handle";
        Logger::Error(std::string(kTag) + why);
        return WebOperationCodes::kTransportBase + CURLE_FAILED_INIT;
    }
    CURL* curl = session.Handle();
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    // A 301/302/303 must not turn the call into a GET that drops the argument.
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferSeconds);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendAnswer);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    session.AddHeader("Content-Type: text/plain; charset=utf-8");
    session.AddHeader("Expect:");
    if (!request.noAuth && !request.casTgc.empty()) {
        curl_easy_setopt(curl, CURLOPT_COOKIE, ("CASTGC=" + request.casTgc).c_str());
    }
    long status = 0;
    const CURLcode code = session.Perform(status);
    if (code != CURLE_OK) {
        why = session.ErrorText(code);
        Logger::Error(std::string(kTag) + "call to [" + request.url + "] failed : " + why);
        answer.clear();
        return WebOperationCodes::kTransportBase + code;
    }
    if (status < 200 || status > 299) {
        why = "HTTP status " + std::to_string(status);
        Logger::Error(std::string(kTag) + "call to [" + request.url + "] answered " + why);
        answer.clear();
        return static_cast<std::int32_t>(status);
    }
    Logger::Debug(std::string(kTag) + "call to [" + request.url + "] answered " +
                  std::to_string(answer.size()) + " bytes");
    return 0;
}

OpReply WebCall::Run(const JSON::JSONItem& args, const JSON::JSONItem* cinfo) {
    Request request;
    if (!JSON::GetStringField("url", request.url, &args) || request.url.empty()) {
        return ReplyFailed(Companions::kReplyBadRequest, "\"url\" must be a non-empty string");
    }
    JSON::GetStringField("arg", request.body, &args);  // null: an empty body
    JSON::GetBoolField("noAuth", request.noAuth, &args);
    JSON::GetStringField("cCas", request.casTgc, cinfo);
    std::string answer;
    std::string why;
    const std::int32_t rc = Post(request, answer, why);
    if (rc != 0) {
        return ReplyFailed(rc, why);
    }
    return ReplyOk(JSON::CreateString(answer, false));
}

}  // namespace WorkerOps
