#include "platform/signature.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace platform {

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// OpenSslError is the text of OpenSSL's oldest queued error, and empties the queue.
std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "no detail";
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

}  // namespace

struct SignatureKey::State {
    std::unique_ptr<EVP_PKEY, KeyDeleter> key;
};

SignatureKey::SignatureKey() : state_(std::make_unique<State>()) {}

SignatureKey::~SignatureKey() = default;

bool SignatureKey::Load(const std::string& pem, std::string& why) {
    state_->key.reset();
    const std::unique_ptr<BIO, BioDeleter> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::unique_ptr<EVP_PKEY, KeyDeleter> key(
        bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        why = "no public key in PEM form : " + OpenSslError();
        return false;
    }
    if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        why = "the public key is not an Ed25519 key";
        return false;
    }
    state_->key = std::move(key);
    return true;
}

bool SignatureKey::Check(const std::string& data, const std::string& signature,
                         std::string& why) const {
    if (!state_->key) {
        why = "no key is loaded";
        return false;
    }
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named, and the whole message is
    // verified in one call.
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, state_->key.get()) != 1) {
        why = "cannot start the verification : " + OpenSslError();
        return false;
    }
    const int result = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
        reinterpret_cast<const unsigned char*>(data.data()), data.size());
    if (result != 1) {
        why = result == 0 ? "the signature does not match"
                          : "verification failed : " + OpenSslError();
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace platform
