#include "platform/url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <utility>

namespace platform {

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

// Part reads one part; false when the URL has none.
bool Part(CURLU* url, CURLUPart which, std::string& out) {
    char* raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) {
        out.clear();
        return false;
    }
    const std::unique_ptr<char, TextDeleter> text(raw);
    out = text.get();
    return true;
}

}  // namespace

bool ParseUrl(const std::string& text, UrlParts& parts) {
    const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return false;
    }
    UrlParts result;
    std::string ignored;
    if (!Part(url.get(), CURLUPART_SCHEME, result.scheme) ||
        !Part(url.get(), CURLUPART_HOST, result.host) || result.host.empty()) {
        return false;
    }
    for (char& c : result.scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    Part(url.get(), CURLUPART_PORT, result.port);
    Part(url.get(), CURLUPART_PATH, result.path);
    result.hasUserInfo = Part(url.get(), CURLUPART_USER, ignored) ||
                         Part(url.get(), CURLUPART_PASSWORD, ignored) ||
                         Part(url.get(), CURLUPART_OPTIONS, ignored);
    parts = std::move(result);
    return true;
}

}  // namespace platform
