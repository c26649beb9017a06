#include "platform/digest.h"

// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

#include <vector>

namespace platform {

namespace {

const wchar_t* AlgorithmId(const std::string& name) {
    if (name == "MD5") {
        return BCRYPT_MD5_ALGORITHM;
    }
    if (name == "SHA1") {
        return BCRYPT_SHA1_ALGORITHM;
    }
    if (name == "SHA256") {
        return BCRYPT_SHA256_ALGORITHM;
    }
    if (name == "SHA384") {
        return BCRYPT_SHA384_ALGORITHM;
    }
    return name == "SHA512" ? BCRYPT_SHA512_ALGORITHM : nullptr;
}

}  // namespace

struct Digest::State {
    ~State() { Close(); }
    void Close() {
        if (hash != nullptr) {
            ::BCryptDestroyHash(hash);
            hash = nullptr;
        }
        if (provider != nullptr) {
            ::BCryptCloseAlgorithmProvider(provider, 0);
            provider = nullptr;
        }
    }
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
};

Digest::Digest() : state_(std::make_unique<State>()) {}

Digest::~Digest() = default;

bool Digest::Start(const std::string& algorithm) {
    state_->Close();
    const wchar_t* id = AlgorithmId(DigestName(algorithm));
    state_->ok = id != nullptr &&
                 BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&state_->provider, id, nullptr, 0)) &&
                 BCRYPT_SUCCESS(::BCryptCreateHash(state_->provider, &state_->hash, nullptr, 0,
                                                   nullptr, 0, 0));
    return state_->ok;
}

void Digest::Update(const void* data, std::size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (state_->ok && size > 0) {
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        state_->ok = BCRYPT_SUCCESS(::BCryptHashData(state_->hash, bytes, piece, 0));
        bytes += piece;
        size -= piece;
    }
}

std::string Digest::HexFinal() {
    DWORD length = 0;
    ULONG got = 0;
    if (!state_->ok || !BCRYPT_SUCCESS(::BCryptGetProperty(state_->hash, BCRYPT_HASH_LENGTH,
                                                           reinterpret_cast<PUCHAR>(&length),
                                                           sizeof(length), &got, 0))) {
        state_->Close();
        return {};
    }
    std::vector<UCHAR> value(length);
    const bool done = BCRYPT_SUCCESS(::BCryptFinishHash(state_->hash, value.data(), length, 0));
    state_->Close();
    state_->ok = false;
    if (!done) {
        return {};
    }
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (const UCHAR byte : value) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

}  // namespace platform
