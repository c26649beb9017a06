// url.h: the parts of an absolute URL, split by the rules of RFC 3986 (a real parser, not a
// cut at the first ":" or "/"), for the code that decides whether to trust an address.
//
// POSIX: the URL API of libcurl (curl_url). Windows: WinHttpCrackUrl.
#pragma once

#include <string>

namespace platform {

// UrlParts holds each part as it is written in the URL (no percent-decoding). An absent
// part is empty; hasUserInfo is true when the URL names a user, even an empty one.
struct UrlParts {
    std::string scheme;  // lower case
    std::string host;
    std::string port;  // empty when the URL gives none
    std::string path;
    bool hasUserInfo = false;
};

// ParseUrl splits an absolute URL with a scheme and a host; false when the text is not one.
bool ParseUrl(const std::string& text, UrlParts& parts);

}  // namespace platform
