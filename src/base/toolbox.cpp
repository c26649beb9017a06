#include "base/toolbox.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "base/config.h"
#include "base/logger.h"
#include "platform/installed_version.h"
#include "platform/os_info.h"
#include "platform/path.h"
#include "platform/sys_error.h"

namespace ToolBox {

std::atomic<bool>& GlobalStopOrder() {
    static std::atomic<bool> flag{false};
    return flag;
}

char PathSeparator() {
    return platform::PathSeparator();
}

std::string Join(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += items[i];
    }
    return out;
}

std::string JoinPath(const std::string& base, const std::string& leaf) {
    if (base.empty()) {
        return leaf;
    }
    if (leaf.empty()) {
        return base;
    }
    std::size_t baseEnd = base.size();
    while (baseEnd > 0 && platform::IsPathSeparator(base[baseEnd - 1])) {
        --baseEnd;
    }
    std::size_t leafStart = 0;
    while (leafStart < leaf.size() && platform::IsPathSeparator(leaf[leafStart])) {
        ++leafStart;
    }
    // A base made only of separators is the root: keep one.
    std::string joined = baseEnd == 0 ? std::string() : base.substr(0, baseEnd);
    joined += PathSeparator();
    joined.append(leaf, leafStart, std::string::npos);
    return joined;
}

bool PathExists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(platform::FsPath(path), ec);
}

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(platform::FsPath(path), ec);
}

bool IsFile(const std::string& path) {
    return PathExists(path) && !IsFolder(path);
}

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

unsigned char HexToChar(const std::string& hex) {
    const unsigned long value = std::strtoul(hex.c_str(), nullptr, 16);
    const auto byte = static_cast<unsigned char>(value & 0xFFu);
    if (byte == 0) {
        Logger::Warn("[ToolBox::HexToChar]Fail to convert this hex string [" + hex + "]");
    }
    return byte;
}

std::string GetOsDirName() {
    return platform::OsDirName();
}

std::string GetMsiVersion() {
    std::string forced;
    if (Config::GetVariable(ConfigId::FORCE_VERSION_MSI, forced)) {
        Logger::Debug(
            "[ToolBox::GetMsiVersion]Config varaible activated ! return specific level : " +
            forced);
        return forced;
    }
    std::string version = platform::InstalledLauncherVersion();
    if (!version.empty()) {
        Logger::Debug("[ToolBox::GetMsiVersion]Installed Version: " + version);
    }
    return version;
}

std::string GetLastErrorText() {
    // Both are read before anything else can change them.
    const std::uint32_t code = platform::LastError();
    const int errnum = errno;
    return "( errno[" + std::to_string(errnum) + "] : " + platform::ErrnoText(errnum) +
           " // winerr[" + std::to_string(code) + "] : " + GetSystemErrorMessage(code) + " )";
}

std::string GetSystemErrorMessage(std::uint32_t code) {
    std::string text;
    if (platform::TryFormatSystemMessage(code, text)) {
        return text;
    }
    const std::uint32_t failure = platform::LastError();
    std::string failureText;
    if (!platform::TryFormatSystemMessage(failure, failureText)) {
        failureText = "CRITCAL ERROR! CANNOT RETIREVE MSG";
    }
    return "{[FormatMessageW] failed with this error code [" + std::to_string(failure) +
           "] with message :|" + failureText + "|}";
}

}  // namespace ToolBox
