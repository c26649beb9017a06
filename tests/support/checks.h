// checks.h: small header-only helpers of the tests that watch text, files and processes.
//
//   vl_test::WaitUntil([&] { return ...; })   polls until true (false after a minute)
//   vl_test::Count(text, "needle")            how often needle occurs in text
//   vl_test::Hex("ab")                        "6162"
//   vl_test::ProcessState(pid)                the state letter of /proc/<pid>/stat; 0 if gone
//   vl_test::ProgramsOf(uid, "name")          running (not zombie) processes of the user
//                                             whose executable is called name
//   vl_test::ReadText(path)                   a whole file (or /proc entry), "" when missing
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace vl_test {

template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = std::chrono::minutes(1),
               std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

inline std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

inline std::string Hex(const std::string& text) {
    std::string hex;
    for (const unsigned char c : text) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
    }
    return hex;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline char ProcessState(pid_t pid) {
    const std::string text = ReadText("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
}

inline std::vector<pid_t> ProgramsOf(uid_t uid, const std::string& program) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        struct stat info {};
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            ::stat(entry.path().c_str(), &info) != 0 || info.st_uid != uid) {
            continue;
        }
        // The executable's name (its file may have been removed since), or the process's
        // short name for names short enough to be kept whole.
        std::error_code ec;
        std::string exe = std::filesystem::read_symlink(entry.path() / "exe", ec).filename();
        exe = exe.substr(0, exe.rfind(" (deleted)"));
        const bool named =
            exe == program ||
            (program.size() <= 15 && ReadText(entry.path().string() + "/comm") == program + "\n");
        const char state = ProcessState(std::stoi(name));
        if (named && state != 0 && state != 'Z') {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

}  // namespace vl_test
