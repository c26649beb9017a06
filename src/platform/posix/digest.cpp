#include "platform/digest.h"

#include <openssl/evp.h>

#include <array>

namespace platform {

struct Digest::State {
    struct ContextDeleter {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> context;
    bool ok = false;
};

Digest::Digest() : state_(std::make_unique<State>()) {}

Digest::~Digest() = default;

bool Digest::Start(const std::string& algorithm) {
    const std::string name = DigestName(algorithm);
    const EVP_MD* type = name.empty() ? nullptr : EVP_get_digestbyname(name.c_str());
    state_->context.reset(EVP_MD_CTX_new());
    state_->ok = type != nullptr && state_->context &&
                 EVP_DigestInit_ex(state_->context.get(), type, nullptr) == 1;
    return state_->ok;
}

void Digest::Update(const void* data, std::size_t size) {
    if (state_->ok) {
        state_->ok = EVP_DigestUpdate(state_->context.get(), data, size) == 1;
    }
}

std::string Digest::HexFinal() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
    unsigned int length = 0;
    if (!state_->ok || EVP_DigestFinal_ex(state_->context.get(), value.data(), &length) != 1) {
        state_->ok = false;
        return {};
    }
    state_->ok = false;
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[value[i] >> 4];
        hex += digits[value[i] & 15];
    }
    return hex;
}

}  // namespace platform
