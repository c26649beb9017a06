#include "install/registry_access.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "base/logger.h"
#include "platform/os_info.h"
#include "platform/path.h"
#include "platform/sys_error.h"

namespace ErrorList {
namespace {
std::vector<ErrorRecord>& ThreadRecords() {
    thread_local std::vector<ErrorRecord> records;
    return records;
}
}  // namespace

void Append(ErrorRecord record) {
    auto& records = ThreadRecords();
    if (records.size() >= kMaxRecords) {
        records.erase(records.begin());
    }
    records.push_back(std::move(record));
}

const std::vector<ErrorRecord>& Records() {
    return ThreadRecords();
}

std::string LastText() {
    return ThreadRecords().empty() ? std::string() : Records().back().text;
}

std::uint32_t LastSystemError() {
    return ThreadRecords().empty() ? 0 : Records().back().systemError;
}

void Clear() {
    ThreadRecords().clear();
}

}  // namespace ErrorList

namespace RegistryAccess {
namespace {

void Record(const std::string& text, std::uint32_t systemError) {
    std::string full = text + "\nError num: " + std::to_string(systemError);
    std::string message;
    if (platform::TryFormatSystemMessage(systemError, message)) {
        full += " " + message;
    }
    ErrorList::Append(ErrorRecord{std::move(full), kRegistrySeverity, kFailure, systemError});
}

const char* AccessText(AccessMode mode) {
    return mode == KEY_READ_WRITE_MODE ? "KEY_READ|KEY_WRITE" : "KEY_READ";
}

const char* ViewName(RegView view) {
    switch (view) {
        case Force32RegView:
            return "Force32RegView";
        case Force64RegView:
            return "Force64RegView";
        default:
            return "DoNotForceRegView";
    }
}

platform::RegistryView PortView(RegView view) {
    if (!Is64BitOs()) {
        return platform::RegistryView::Native;
    }
    switch (view) {
        case Force32RegView:
            return platform::RegistryView::Force32;
        case Force64RegView:
            return platform::RegistryView::Force64;
        default:
            return platform::RegistryView::Native;
    }
}

// The store reports the lines it skips; each one is logged once per version of the file.
void InstallIssueLog() {
    static std::once_flag once;
    std::call_once(once, [] {
        platform::SetRegistryIssueSink([](const platform::RegistryIssue& issue) {
            Logger::Warn("[RegistryAccess::Store]Line " + std::to_string(issue.line) + " of " +
                         issue.source + " skipped : " + issue.text);
        });
    });
}

}  // namespace

bool Is64BitOs() {
    static const bool is64 = platform::Is64BitOs();
    return is64;
}

Result OpenKey(Root root, const std::string& subKey, Key& key, AccessMode mode, RegView view,
               bool report) {
    InstallIssueLog();
    const auto access = mode == KEY_READ_WRITE_MODE ? platform::RegistryAccess::ReadWrite
                                                    : platform::RegistryAccess::Read;
    const std::uint32_t rc = platform::OpenRegistryKey(root, subKey, PortView(view), access, key);
    if (rc == platform::SysError::SUCCESS) {
        return kSuccess;
    }
    if (report) {
        Record("OpenKey() - " + subKey + ", " + AccessText(mode) + ", " + ViewName(view), rc);
    }
    return kFailure;
}

int GetSubkeys(const Key& key, std::vector<std::string>& names) {
    const std::uint32_t rc = key.EnumSubkeys(names);
    if (rc != platform::SysError::SUCCESS) {
        Record("GetSubkeys()", rc);
        return -1;
    }
    return 0;
}

int GetValues(const Key& key, std::vector<std::string>& names) {
    const std::uint32_t rc = key.EnumValues(names);
    if (rc != platform::SysError::SUCCESS) {
        Record("GetValues()", rc);
        return -1;
    }
    return 0;
}

Result GetValue(Root root, const std::string& subKey, const std::string& valueName,
                std::string& value, RegView view) {
    Key key;
    if (OpenKey(root, subKey, key, KEY_READ_MODE, view, true) != kSuccess) {
        return kFailure;
    }
    const std::uint32_t rc = key.QueryString(valueName, value);
    CloseKey(key);
    if (rc != platform::SysError::SUCCESS) {
        Record("GetValue() - " + valueName, rc);
        return kFailure;
    }
    return kSuccess;
}

Result CloseKey(Key& key) {
    const std::uint32_t rc = key.Close();
    if (rc != platform::SysError::SUCCESS) {
        Record("CloseKey()", rc);
        return kFailure;
    }
    return kSuccess;
}

PathType GetPathType(const std::string& path) {
    if (path.empty()) {
        return PATH_MISSING;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path target = platform::FsPath(path);
    const fs::file_status own = fs::symlink_status(target, ec);
    if (ec || !fs::exists(own)) {
        return PATH_MISSING;
    }
    if (fs::is_symlink(own)) {
        const bool folder = fs::is_directory(fs::status(target, ec));
        return folder ? PATH_FOLDER_REPARSE_POINT : PATH_FILE_REPARSE_POINT;
    }
    return fs::is_directory(own) ? PATH_FOLDER : PATH_FILE;
}

}  // namespace RegistryAccess
