// digest.h: a checksum computed piece by piece, for the worker's downloads, and the MD5 of a
// whole file, which the daemon checks on its own copy of a package before it installs it.
//
// POSIX: OpenSSL's digests. Windows: BCrypt.
#pragma once

#include <cstddef>
#include <cstdint>
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

// FileMd5 reads the whole file (path in UTF-8): hex is its MD5 digest in lower-case
// hexadecimal and size its length in bytes. False when the file cannot be read (hex and size
// are then untouched).
bool FileMd5(const std::string& path, std::string& hex, std::int64_t& size);

}  // namespace platform
