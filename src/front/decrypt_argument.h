// Operations::DecryptArgument turns the encrypted argument of a request into its plain JSON
// text through the decryption web service that the calling page names.
#pragma once

#include <optional>
#include <string>

class ZorvidRequestInfo;

namespace Operations {

// kTrustedPageServer is the server of our own pages: an address on it is trusted without
// asking the user, on any port, and so is any name below it.
inline constexpr char kTrustedPageServer[] = "launchpages.quorvanti.com";

// DecryptArgument writes the plain text and returns true. Without a ticket or a service
// address the argument is only usable as it is, when the configuration waives security
// (NO_NEED_SEC). A service address must pass UrlRefusal, and then be on the white list
// ("whiteList_url" in the install folder), on the trusted page server, waved through by
// IGNORE_POPUP, or accepted by the user in the worker's dialog; the call is made as the user by the
// worker. On every failure plain is cleared.
bool DecryptArgument(const ZorvidRequestInfo& identity, const std::string& encryptedArg,
                     std::string& plain);

// UrlRefusal says why a decryption service address is refused whatever the white list
// holds: a control character or a blank anywhere, no absolute URL, a scheme other than https,
// or user information before the host. Nothing when the address may be used.
std::optional<std::string> UrlRefusal(const std::string& url);

// BaseServer is the scheme, "://" and host of a URL, as a URL parser finds them; empty when
// the text is no absolute URL.
std::string BaseServer(const std::string& url);

// IsOnTrustedPageServer tells whether the URL is an acceptable https address whose host is
// the trusted page server or a name below it, on any port.
bool IsOnTrustedPageServer(const std::string& url);

// ResetWhiteListForTests forgets the loaded white list, so that the next request reads the
// file again.
void ResetWhiteListForTests();

}  // namespace Operations
