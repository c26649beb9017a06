#include "worker/ops/web_call.h"

#include <cctype>

#include "base/log_text.h"
#include "base/logger.h"
#include "platform/url.h"
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

// IsRedirect tells whether an HTTP status sends the client elsewhere.
bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Origin is the scheme, host and port of a URL (the port written out), "" when not a URL.
std::string Origin(const std::string& url) {
    platform::UrlParts parts;
    if (!platform::ParseUrl(url, parts)) {
        return {};
    }
    std::string host;
    for (const char c : parts.host) {
        host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::string port = !parts.port.empty()       ? parts.port
                             : parts.scheme == "https" ? "443"
                                                       : "80";
    return parts.scheme + "://" + host + ":" + port;
}

// PerformWithinOrigin runs the transfer and follows, itself, the redirects that stay on the
// origin of the first URL; a redirect elsewhere ends the call with its status.
CURLcode PerformWithinOrigin(CurlSession& session, const std::string& url, std::string& answer,
                             long& status) {
    const std::string origin = Origin(url);
    for (long hop = 0;; ++hop) {
        const CURLcode code = session.Perform(status);
        char* next = nullptr;
        if (code != CURLE_OK || !IsRedirect(status) ||
            curl_easy_getinfo(session.Handle(), CURLINFO_REDIRECT_URL, &next) != CURLE_OK ||
            next == nullptr) {
            return code;
        }
        if (Origin(next) != origin || origin.empty()) {
            Logger::Error(std::string(kTag) + "refuse the redirect of [" + url + "] to [" +
                          ToolBox::EscapeControls(next) +
                          "] : the ticket never leaves the approved origin");
            return code;
        }
        if (hop >= CurlSession::kMaxRedirects) {
            return CURLE_TOO_MANY_REDIRECTS;
        }
        answer.clear();
        curl_easy_setopt(session.Handle(), CURLOPT_URL, next);
    }
}

// Outcome turns the end of a transfer into the call's result, with one log line on failure.
std::int32_t Outcome(const CurlSession& session, const std::string& url, CURLcode code, long status,
                     std::string& answer, std::string& why) {
    if (code != CURLE_OK) {
        why = session.ErrorText(code);
        Logger::Error(std::string(kTag) + "call to [" + url + "] failed : " + why);
        answer.clear();
        return WebOperationCodes::kTransportBase + code;
    }
    if (status < 200 || status > 299) {
        why = "HTTP status " + std::to_string(status);
        Logger::Error(std::string(kTag) + "call to [" + url + "] answered " + why);
        answer.clear();
        return static_cast<std::int32_t>(status);
    }
    Logger::Debug(std::string(kTag) + "call to [" + url + "] answered " +
                  std::to_string(answer.size()) + " bytes");
    return 0;
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
    const bool carriesTicket = !request.noAuth && !request.casTgc.empty();
    if (carriesTicket) {
        curl_easy_setopt(curl, CURLOPT_COOKIE, ("CASTGC=" + request.casTgc).c_str());
        // The user approved this address, not wherever it sends us: the ticket and the
        // argument follow a redirect only within the same origin, checked hop by hop.
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    }
    long status = 0;
    const CURLcode code = carriesTicket ? PerformWithinOrigin(session, request.url, answer, status)
                                        : session.Perform(status);
    return Outcome(session, request.url, code, status, answer, why);
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
