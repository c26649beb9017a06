// Conversions between the daemon's UTF-8 path texts and std::filesystem paths, the same on
// every platform (no narrow-codepage round trip on Windows).
#pragma once

#include <filesystem>
#include <string>

namespace WorkerOps {

inline std::filesystem::path FsPath(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace WorkerOps
