#include "worker/ops/web_call.h"

#include <cctype>

#include "base/log_text.h"
#include "base/logger.h"
#include "platform/url.h"
#include "platform/web_transfer.h"
#include "session/companions.h"
#include "session/operations_as_user_web.h"

namespace WorkerOps {

namespace {

constexpr const char* kTag = "[WebCall::Post]";

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

// Perform runs the call into answer; a redirect answer ends it (followRedirects off).
platform::WebResult Perform(const platform::WebRequest& call, std::string& answer) {
    answer.clear();
    return platform::WebTransfer(call, [&answer](long, const char* data, std::size_t size) {
        answer.append(data, size);
        return true;
    });
}

// PerformWithinOrigin runs the call and follows, itself, the redirects that stay on the
// origin of the first URL; a redirect elsewhere ends the call with its status.
platform::WebResult PerformWithinOrigin(platform::WebRequest call, std::string& answer) {
    const std::string url = call.url;
    const std::string origin = Origin(url);
    call.followRedirects = false;
    for (int hop = 0;; ++hop) {
        platform::WebResult result = Perform(call, answer);
        if (result.error != platform::WebError::kNone || !IsRedirect(result.status) ||
            result.location.empty()) {
            return result;
        }
        if (Origin(result.location) != origin || origin.empty()) {
            Logger::Error(std::string(kTag) + "refuse the redirect of [" + url + "] to [" +
                          ToolBox::EscapeControls(result.location) +
                          "] : the ticket never leaves the approved origin");
            return result;
        }
        if (hop >= platform::WebRequest::kMaxRedirects) {
            result.error = platform::WebError::kTooManyRedirects;
            result.why = "too many redirects";
            return result;
        }
        call.url = result.location;
    }
}

// Outcome turns the end of a transfer into the call's result, with one log line on failure.
std::int32_t Outcome(const std::string& url, const platform::WebResult& result, std::string& answer,
                     std::string& why) {
    if (result.error != platform::WebError::kNone) {
        why = result.why;
        Logger::Error(std::string(kTag) + "call to [" + url + "] failed : " + why);
        answer.clear();
        return WebOperationCodes::kTransportBase + result.error;
    }
    if (result.status < 200 || result.status > 299) {
        why = "HTTP status " + std::to_string(result.status);
        Logger::Error(std::string(kTag) + "call to [" + url + "] answered " + why);
        answer.clear();
        return static_cast<std::int32_t>(result.status);
    }
    Logger::Debug(std::string(kTag) + "call to [" + url + "] answered " +
                  std::to_string(answer.size()) + " bytes");
    return 0;
}

}  // namespace

std::int32_t WebCall::Post(const Request& request, std::string& answer, std::string& why) {
    platform::WebRequest call;
    call.url = request.url;
    call.post = true;
    call.body = request.body;
    call.timeoutSeconds = kTransferSeconds;
    call.headers = {"Content-Type: text/plain; charset=utf-8", "Expect:"};
    const bool carriesTicket = !request.noAuth && !request.casTgc.empty();
    if (!carriesTicket) {
        return Outcome(request.url, Perform(call, answer), answer, why);
    }
    // The user approved this address, not wherever it sends us: the ticket and the argument
    // follow a redirect only within the same origin, checked hop by hop.
    call.cookie = "CASTGC=" + request.casTgc;
    return Outcome(request.url, PerformWithinOrigin(call, answer), answer, why);
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
