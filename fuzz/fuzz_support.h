// Helpers shared by the fuzz targets: a scratch folder that lives as long as the fuzzing
// process, whole-file writes that readers never see half done, and a hard stop with a reason.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fuzz_support {

[[noreturn]] inline void Fail(const char* target, const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", target, what.c_str());
    std::abort();
}

// ScratchFolder is one folder per fuzzing process under the system's temporary folder,
// removed when the process ends normally.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vl_fuzz_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            Fail("fuzz_support", "cannot make a scratch folder");
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string Path(const std::string& leaf = {}) const {
        return leaf.empty() ? path_ : path_ + "/" + leaf;
    }

  private:
    std::string path_;
};

// Scratch is the process's scratch folder.
inline const ScratchFolder& Scratch() {
    static const ScratchFolder folder;
    return folder;
}

// WriteWhole replaces the file with text through a rename, so that a reader that caches by
// inode always sees the new content; parent folders are made as needed.
inline void WriteWhole(const std::string& path, std::string_view text) {
    const std::filesystem::path target(path);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out) {
            Fail("fuzz_support", "cannot write " + temporary);
        }
    }
    std::filesystem::rename(temporary, target, ec);
    if (ec) {
        Fail("fuzz_support", "cannot rename to " + path);
    }
}

inline std::string_view Text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace fuzz_support
