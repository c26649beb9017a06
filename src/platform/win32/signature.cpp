#include "platform/signature.h"

namespace platform {

// BCrypt offers no Ed25519 algorithm: no key loads, so every signed update is refused.
struct SignatureKey::State {};

SignatureKey::SignatureKey() : state_(std::make_unique<State>()) {}

SignatureKey::~SignatureKey() = default;

bool SignatureKey::Load(const std::string&, std::string& why) {
    why = "Ed25519 signatures are not supported on Windows";
    return false;
}

bool SignatureKey::Check(const std::string&, const std::string&, std::string& why) const {
    why = "Ed25519 signatures are not supported on Windows";
    return false;
}

}  // namespace platform
