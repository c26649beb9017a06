// The file digest through the CryptoAPI's MD5 provider.
#include "platform/file_digest.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
// clang-format on

#include <array>
#include <cstdio>
#include <memory>

namespace platform {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class Provider {
  public:
    Provider() {
        ok_ = CryptAcquireContextW(&handle_, nullptr, nullptr, PROV_RSA_FULL,
                                   CRYPT_VERIFYCONTEXT) != 0;
    }
    ~Provider() {
        if (ok_) {
            CryptReleaseContext(handle_, 0);
        }
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    bool Ok() const { return ok_; }
    HCRYPTPROV Get() const { return handle_; }

  private:
    HCRYPTPROV handle_ = 0;
    bool ok_ = false;
};

class Hash {
  public:
    explicit Hash(const Provider& provider) {
        ok_ = provider.Ok() && CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, &handle_) != 0;
    }
    ~Hash() {
        if (ok_) {
            CryptDestroyHash(handle_);
        }
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    bool Ok() const { return ok_; }
    HCRYPTHASH Get() const { return handle_; }

  private:
    HCRYPTHASH handle_ = 0;
    bool ok_ = false;
};

}  // namespace

bool FileMd5(const std::string& path, std::string& hex, std::int64_t& size) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    const Provider provider;
    const Hash hash(provider);
    if (!file || !hash.Ok()) {
        return false;
    }
    std::array<unsigned char, 1 << 16> buffer{};
    std::int64_t total = 0;
    std::size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        if (CryptHashData(hash.Get(), buffer.data(), static_cast<DWORD>(read), 0) == 0) {
            return false;
        }
        total += static_cast<std::int64_t>(read);
    }
    std::array<unsigned char, 16> digest{};
    DWORD length = static_cast<DWORD>(digest.size());
    if (std::ferror(file.get()) != 0 ||
        CryptGetHashParam(hash.Get(), HP_HASHVAL, digest.data(), &length, 0) == 0) {
        return false;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    hex.clear();
    for (DWORD i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    size = total;
    return true;
}

}  // namespace platform
