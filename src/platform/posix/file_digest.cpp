// The file digest through OpenSSL's EVP interface.
#include "platform/file_digest.h"

#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <memory>

namespace platform {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string Hex(const unsigned char* bytes, unsigned int length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 0x0F];
    }
    return hex;
}

}  // namespace

bool FileMd5(const std::string& path, std::string& hex, std::int64_t& size) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rbe"));
    const std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!file || !context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        return false;
    }
    std::array<unsigned char, 1 << 16> buffer{};
    std::int64_t total = 0;
    std::size_t read = 0;
    while ((read = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        EVP_DigestUpdate(context.get(), buffer.data(), read);
        total += static_cast<std::int64_t>(read);
    }
    if (std::ferror(file.get()) != 0) {
        return false;
    }
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        return false;
    }
    hex = Hex(digest.data(), length);
    size = total;
    return true;
}

}  // namespace platform
