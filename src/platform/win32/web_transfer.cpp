#include "platform/web_transfer.h"

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <chrono>
#include <vector>

#include "platform/win32/win_text.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// InternetHandle owns one WinHTTP handle (session, connection or request).
class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) {
            ::WinHttpCloseHandle(handle_);
        }
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET Get() const { return handle_; }
    void Reset(HINTERNET handle) {
        if (handle_ != nullptr) {
            ::WinHttpCloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HINTERNET handle_;
};

// Target is a URL split for WinHttpConnect and WinHttpOpenRequest.
struct Target {
    std::wstring scheme;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // path and query
};

bool Crack(const std::string& url, Target& target) {
    const std::wstring wide = win32::Utf8ToWide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (wide.empty() ||
        !::WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
        parts.dwHostNameLength == 0) {
        return false;
    }
    target.scheme.assign(parts.lpszScheme, parts.dwSchemeLength);
    for (wchar_t& c : target.scheme) {
        c = static_cast<wchar_t>(::towlower(c));
    }
    target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    target.port = parts.nPort;
    target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) {
        target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    if (target.path.empty()) {
        target.path = L"/";
    }
    return true;
}

// ErrorFromWinHttp translates a WinHTTP failure into the transfer's error numbers.
int ErrorFromWinHttp(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return WebError::kUnknownHost;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return WebError::kConnect;
        case ERROR_WINHTTP_TIMEOUT:
            return WebError::kTimeout;
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return WebError::kUnsupportedScheme;
        case ERROR_WINHTTP_INVALID_URL:
            return WebError::kBadUrl;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
            return WebError::kUntrustedPeer;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            return WebError::kTlsHandshake;
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return WebError::kReceive;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return WebError::kGotNothing;
        default:
            return WebError::kOther;
    }
}

WebResult Failed(int error, const std::string& why, long status = 0) {
    WebResult result;
    result.error = error;
    result.why = why;
    result.status = status;
    return result;
}

WebResult FailedCall(const char* call) {
    const DWORD error = ::GetLastError();
    return Failed(ErrorFromWinHttp(error),
                  std::string(call) + " failed (" + std::to_string(error) + ")");
}

// RequestHeaders is the header block of one hop; a header without a value ("Expect:") is
// one the caller asks not to send, which WinHTTP never adds anyway.
std::wstring RequestHeaders(const WebRequest& request) {
    std::string block;
    for (const std::string& header : request.headers) {
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos &&
            header.find_first_not_of(' ', colon + 1) != std::string::npos) {
            block += header + "\r\n";
        }
    }
    if (!request.cookie.empty()) {
        block += "Cookie: " + request.cookie + "\r\n";
    }
    if (request.rangeFrom > 0) {
        block += "Range: bytes=" + std::to_string(request.rangeFrom) + "-\r\n";
    }
    return win32::Utf8ToWide(block);
}

long StatusOf(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    return static_cast<long>(status);
}

std::string LocationOf(HINTERNET request) {
    DWORD size = 0;
    ::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, nullptr,
                          &size, WINHTTP_NO_HEADER_INDEX);
    if (size == 0) {
        return {};
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX,
                               text.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    text.resize(size / sizeof(wchar_t));
    return win32::WideToUtf8(text);
}

// Resolve makes a redirect's target absolute against the URL that answered it.
std::string Resolve(const std::string& base, const std::string& location) {
    if (location.find("://") != std::string::npos) {
        return location;
    }
    const std::size_t schemeEnd = base.find("://");
    if (schemeEnd == std::string::npos) {
        return location;
    }
    if (location.rfind("//", 0) == 0) {
        return base.substr(0, schemeEnd + 1) + location;
    }
    const std::size_t pathStart = base.find('/', schemeEnd + 3);
    const std::string origin = base.substr(0, pathStart);
    if (!location.empty() && location[0] == '/') {
        return origin + location;
    }
    const std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    return origin + path.substr(0, path.find_last_of('/', path.find('?')) + 1) + location;
}

bool IsRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Hop is one request and its answer, with the connection's handles.
struct Hop {
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
};

// Send opens a connection to url and sends the request; the answer's headers are read.
WebResult Send(const WebRequest& request, const std::string& url, Hop& hop) {
    Target target;
    if (!Crack(url, target)) {
        return Failed(WebError::kBadUrl, "malformed URL");
    }
    if (target.scheme != L"https") {
        return Failed(WebError::kUnsupportedScheme, "only https is allowed");
    }
    hop.session.Reset(::WinHttpOpen(L"VantaroLauncher", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (hop.session.Get() == nullptr) {
        return FailedCall("WinHttpOpen");
    }
    const int connectMs = static_cast<int>(WebRequest::kConnectSeconds * 1000);
    const int stallMs = static_cast<int>(WebRequest::kStallSeconds * 1000);
    ::WinHttpSetTimeouts(hop.session.Get(), connectMs, connectMs, stallMs, stallMs);
    hop.connection.Reset(::WinHttpConnect(hop.session.Get(), target.host.c_str(), target.port, 0));
    const wchar_t* verb = request.post ? L"POST" : L"GET";
    if (hop.connection.Get() != nullptr) {
        hop.request.Reset(::WinHttpOpenRequest(hop.connection.Get(), verb, target.path.c_str(),
                                               nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
    }
    if (hop.request.Get() == nullptr) {
        return FailedCall("WinHttpOpenRequest");
    }
    // Redirects are followed here, hop by hop, so that each target is checked first.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    ::WinHttpSetOption(hop.request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    ::WinHttpSetOption(hop.request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies,
                       sizeof(noCookies));
    const std::wstring headers = RequestHeaders(request);
    const DWORD bodySize = request.post ? static_cast<DWORD>(request.body.size()) : 0;
    void* body = bodySize > 0 ? const_cast<char*>(request.body.data()) : WINHTTP_NO_REQUEST_DATA;
    if (!::WinHttpSendRequest(hop.request.Get(),
                              headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                              static_cast<DWORD>(headers.size()), body, bodySize, bodySize, 0)) {
        return FailedCall("WinHttpSendRequest");
    }
    if (!::WinHttpReceiveResponse(hop.request.Get(), nullptr)) {
        return FailedCall("WinHttpReceiveResponse");
    }
    WebResult result;
    result.status = StatusOf(hop.request.Get());
    return result;
}

// ReadBody hands the answer's bytes to the receiver until the end, the receiver's refusal
// or the transfer's deadline.
WebResult ReadBody(HINTERNET handle, const WebReceiver& receiver, long status,
                   Clock::time_point deadline) {
    std::vector<char> buffer(512 * 1024);
    while (true) {
        if (Clock::now() > deadline) {
            return Failed(WebError::kTimeout, "the transfer's time limit ran out", status);
        }
        DWORD read = 0;
        if (!::WinHttpReadData(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) {
            WebResult failed = FailedCall("WinHttpReadData");
            failed.status = status;
            return failed;
        }
        if (read == 0) {
            WebResult done;
            done.status = status;
            return done;
        }
        if (!receiver(status, buffer.data(), read)) {
            return Failed(WebError::kAborted, "the receiver stopped the transfer", status);
        }
    }
}

}  // namespace

WebResult WebTransfer(const WebRequest& request, const WebReceiver& receiver) {
    const Clock::time_point deadline =
        request.timeoutSeconds > 0 ? Clock::now() + std::chrono::seconds(request.timeoutSeconds)
                                   : Clock::time_point::max();
    std::string url = request.url;
    for (int hops = 0;; ++hops) {
        Hop hop;
        WebResult sent = Send(request, url, hop);
        if (sent.error != WebError::kNone) {
            return sent;
        }
        const long status = sent.status;
        if (IsRedirect(status)) {
            const std::string location = Resolve(url, LocationOf(hop.request.Get()));
            if (!request.followRedirects) {
                WebResult result = ReadBody(hop.request.Get(), receiver, status, deadline);
                result.location = location;
                return result;
            }
            if (hops >= WebRequest::kMaxRedirects) {
                return Failed(WebError::kTooManyRedirects, "too many redirects", status);
            }
            url = location;
            continue;
        }
        if (request.failOnHttpError && status >= 400) {
            return Failed(WebError::kHttpStatus,
                          "the server answered HTTP status " + std::to_string(status), status);
        }
        return ReadBody(hop.request.Get(), receiver, status, deadline);
    }
}

}  // namespace platform
