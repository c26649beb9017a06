// signature.h: detached Ed25519 signatures, by which the daemon tells that a package of the
// launcher was made by its maker before it installs it as the administrator.
//
// A signature is the raw 64 bytes that `openssl pkeyutl -sign -rawin` writes for the whole
// file; the public key is a PEM "PUBLIC KEY" block. POSIX: OpenSSL's EVP_DigestVerify.
// Windows: BCrypt has no Ed25519, so Load refuses every key and nothing verifies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// kSignatureSize is the size of an Ed25519 signature in bytes.
inline constexpr std::size_t kSignatureSize = 64;
// kMaxSignedFileSize bounds a signed file: Ed25519 signs the whole message, so the file is
// read into memory to be checked.
inline constexpr std::int64_t kMaxSignedFileSize = std::int64_t{512} << 20;

class SignatureKey {
  public:
    SignatureKey();
    ~SignatureKey();
    SignatureKey(const SignatureKey&) = delete;
    SignatureKey& operator=(const SignatureKey&) = delete;

    // Load takes the key from PEM text. False, with why, when the text holds no Ed25519
    // public key (and always on Windows).
    bool Load(const std::string& pem, std::string& why);
    // LoadFile reads the PEM file (path in UTF-8, at most 16 KiB) and loads it.
    bool LoadFile(const std::string& path, std::string& why);
    // Verify tells whether signature is this key's signature of data. False, with why, also
    // when no key is loaded or the signature does not have kSignatureSize bytes.
    bool Verify(const std::string& data, const std::string& signature, std::string& why) const;
    // VerifyFile reads the whole file (at most kMaxSignedFileSize bytes) and the signature
    // file, and verifies the one by the other.
    bool VerifyFile(const std::string& path, const std::string& signaturePath,
                    std::string& why) const;

  private:
    // Check is the backend's verification of a signature of the right size by a loaded key.
    bool Check(const std::string& data, const std::string& signature, std::string& why) const;

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace platform
