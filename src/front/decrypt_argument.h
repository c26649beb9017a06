// Operations::DecryptArgument turns the encrypted argument of a request into its plain JSON
// text through the decryption web service that the calling page names.
#pragma once

#include <string>

class ZorvidRequestInfo;

namespace Operations {

// kTrustedPageServer is the server of our own pages: an address on it is trusted without
// asking the user. See DecryptArgument for why it is this long.
inline constexpr char kTrustedPageServer[] = "launchpages.quorvanti.com";

// DecryptArgument writes the plain text and returns true. Without a ticket or a service
// address the argument is only usable as it is, when the configuration waives security
// (NO_NEED_SEC). A service address must be on the white list ("whiteList_url" in the
// install folder), on the trusted page server, waved through by IGNORE_POPUP, or accepted
// by the user in the worker's dialog; the call is made as the user by the worker. On every
// failure plain is cleared.
bool DecryptArgument(const ZorvidRequestInfo& identity, const std::string& encryptedArg,
                     std::string& plain);

// BaseServer is the scheme, "//" and host of a URL: the text before its third "/", without
// a port.
std::string BaseServer(const std::string& url);

// IsOnTrustedPageServer tells whether the URL's base server is the trusted page server.
bool IsOnTrustedPageServer(const std::string& url);

// ResetWhiteListForTests forgets the loaded white list, so that the next request reads the
// file again.
void ResetWhiteListForTests();

}  // namespace Operations
