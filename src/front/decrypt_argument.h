// Operations::DecryptArgument turns the encrypted argument of a request into its plain JSON
// text through the decryption web service that the calling page names.
#pragma once

#include <string>

class ZorvidRequestInfo;

namespace Operations {

// DecryptArgument writes the plain text and returns true. Without a ticket or a service
// address the argument is only usable as it is, when the configuration waives security
// (NO_NEED_SEC). On every failure plain is cleared.
bool DecryptArgument(const ZorvidRequestInfo& identity, const std::string& encryptedArg,
                     std::string& plain);

}  // namespace Operations
