#include "platform/digest.h"

#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <vector>

namespace platform {

std::string DigestName(const std::string& algorithm) {
    std::string name;
    for (const char c : algorithm.empty() ? std::string("MD5") : algorithm) {
        if (c != '-') {
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    static constexpr std::array<const char*, 5> kKnown = {"MD5", "SHA1", "SHA256", "SHA384",
                                                          "SHA512"};
    for (const char* known : kKnown) {
        if (name == known) {
            return name;
        }
    }
    return {};
}

bool FileMd5(const std::string& path, std::string& hex, std::int64_t& size) {
    std::ifstream file(std::filesystem::path(std::u8string(path.begin(), path.end())),
                       std::ios::binary);
    Digest digest;
    if (!file || !digest.Start("MD5")) {
        return false;
    }
    std::vector<char> buffer(1 << 16);
    std::int64_t total = 0;
    while (file) {
        file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize read = file.gcount();
        digest.Update(buffer.data(), static_cast<std::size_t>(read));
        total += read;
    }
    if (!file.eof()) {
        return false;
    }
    std::string result = digest.HexFinal();
    if (result.empty()) {
        return false;
    }
    hex = std::move(result);
    size = total;
    return true;
}

}  // namespace platform
