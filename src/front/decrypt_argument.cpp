#include "front/decrypt_argument.h"

#include "base/config.h"
#include "base/logger.h"
#include "front/zorvid_request_info.h"

namespace Operations {

bool DecryptArgument(const ZorvidRequestInfo& identity, const std::string& encryptedArg,
                     std::string& plain) {
    if (!identity.IsInitialised() || identity.GetCasTgc().empty() ||
        identity.GetEncryptionWsUrl().empty()) {
        if (Config::IsActivated(ConfigId::NO_NEED_SEC)) {
            Logger::Debug(
                "[Operations::DecryptArgument]No CASTGC or security server specified ! "
                "aborting decryption and use the raw argument : " +
                encryptedArg);
            plain = encryptedArg;
            return true;
        }
        Logger::Debug(
            "[Operations::DecryptArgument]No CASTGC or security server specified ! aborting "
            "decryption.");
        plain.clear();
        return false;
    }

    // The address comes without its "#" fragment (the identity drops it). Before it may be
    // called it has to be trusted (the URL white list, the default page server, or the user's
    // answer in a dialog), and the call itself is made as the user by the session's worker.
    // This service has no user-session worker, so no decryption service can be reached.
    const std::string& url = identity.GetEncryptionWsUrl();
    Logger::Error(
        "[Operations::DecryptArgument]No user-session worker available to call the decryption "
        "service : " +
        url);
    plain.clear();
    return false;
}

}  // namespace Operations
