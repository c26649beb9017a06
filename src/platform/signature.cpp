#include "platform/signature.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/path.h"

namespace platform {

namespace {

constexpr std::int64_t kMaxKeyFileSize = 16 * 1024;

// ReadBounded reads a whole regular file of at most limit bytes into content.
bool ReadBounded(const std::string& path, std::int64_t limit, std::string& content,
                 std::string& why) {
    std::error_code error;
    const std::filesystem::path file = FsPath(path);
    if (!std::filesystem::is_regular_file(file, error)) {
        why = path + " is not a regular file";
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error || size > static_cast<std::uintmax_t>(limit)) {
        why = error ? "cannot size " + path
                    : path + " is larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        why = "cannot open " + path;
        return false;
    }
    // One byte more than the size tells a file that grew while it was read.
    content.assign(static_cast<std::size_t>(size) + 1, '\0');
    stream.read(content.data(), static_cast<std::streamsize>(content.size()));
    if (stream.bad() || static_cast<std::uintmax_t>(stream.gcount()) != size) {
        why = "cannot read " + path + " whole";
        return false;
    }
    content.resize(static_cast<std::size_t>(size));
    return true;
}

}  // namespace

bool SignatureKey::LoadFile(const std::string& path, std::string& why) {
    std::string pem;
    return ReadBounded(path, kMaxKeyFileSize, pem, why) && Load(pem, why);
}

bool SignatureKey::Verify(const std::string& data, const std::string& signature,
                          std::string& why) const {
    if (signature.size() != kSignatureSize) {
        why = "the signature has " + std::to_string(signature.size()) + " bytes, not " +
              std::to_string(kSignatureSize);
        return false;
    }
    return Check(data, signature, why);
}

bool SignatureKey::VerifyFile(const std::string& path, const std::string& signaturePath,
                              std::string& why) const {
    std::string signature;
    std::string data;
    return ReadBounded(signaturePath, static_cast<std::int64_t>(kSignatureSize), signature, why) &&
           ReadBounded(path, kMaxSignedFileSize, data, why) && Verify(data, signature, why);
}

}  // namespace platform
