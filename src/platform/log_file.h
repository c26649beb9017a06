// log_file.h: the daemon's log files, held open and written a whole line at a time.
//
// Who may read a log is decided here, in one place: a privileged process (root, the local
// system account) keeps its logs readable by the administrators' group only (folders 0750,
// files 0640, owned by that group); any other process, such as a user's worker, keeps its
// logs to its own user (0700, 0600). Windows folders inherit the machine data folder's
// access lists, so there the modes and the group are not applied.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

struct LogFileAccess {
    std::uint32_t folderMode = 0700;
    std::uint32_t fileMode = 0600;
    std::string group;  // empty: the creating process's own group
};

// LogFileAccessFor applies the rule above; adminGroup is the group of a privileged process.
LogFileAccess LogFileAccessFor(const std::string& adminGroup);

// MakeLogFolder creates the folder and its missing parents with the access's mode and group,
// and gives the folder itself that mode and group when it already exists. SUCCESS, or the
// system error; a group that does not exist is NOT_FOUND (the folder is made without it).
std::uint32_t MakeLogFolder(const std::string& path, const LogFileAccess& access);

// LogFile is one log file open for appending. Append writes its text at the end in one call;
// a write that the disk cuts short is taken back, so the file holds whole lines or none.
// Not thread-safe: the logger calls it under its write lock.
class LogFile {
  public:
    LogFile() = default;
    ~LogFile();
    LogFile(LogFile&& other) noexcept;
    LogFile& operator=(LogFile&& other) noexcept;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Open closes the current file and opens path for appending, creating it with the
    // access's mode and group; an existing file is given that mode and group too. SUCCESS,
    // or the system error; a missing group is NOT_FOUND and leaves the file open.
    std::uint32_t Open(const std::string& path, const LogFileAccess& access);
    void Close();
    bool IsOpen() const;

    // Append writes text at the end of the file: SUCCESS with all of it written, else the
    // system error (DISK_FULL, HANDLE_DISK_FULL...) with none of it left in the file.
    std::uint32_t Append(std::string_view text);
    // Size is the file's size after the last Open or Append.
    std::uint64_t Size() const { return size_; }
    // StillAtPath is false when the open file was removed or renamed: the path names
    // another file, or nothing.
    bool StillAtPath() const;

  private:
    std::intptr_t handle_ = -1;
    std::string path_;
    std::uint64_t size_ = 0;
    std::uint64_t identity_[2] = {0, 0};  // device and file number, to recognise the file
};

}  // namespace platform
