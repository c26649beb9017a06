// digest.h: a checksum computed piece by piece, for the worker's downloads.
//
// POSIX: OpenSSL's digests. Windows: BCrypt.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

class Digest {
  public:
    Digest();
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // Start begins (or begins again) a checksum: "MD5" when algorithm is empty, else one of
    // MD5, SHA1, SHA256, SHA384, SHA512 in any case ("SHA-256" too). False when unknown.
    bool Start(const std::string& algorithm);
    void Update(const void* data, std::size_t size);
    // HexFinal ends the checksum and gives it in lower-case hexadecimal ("" after a failure).
    std::string HexFinal();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// DigestName is the algorithm's canonical name (upper case, no dash: "SHA256"), "" when
// unknown. Both backends accept exactly these.
std::string DigestName(const std::string& algorithm);

}  // namespace platform
