// Registry port: the machine-wide store of keys and named values in which product installers
// record their installations.
//
// Key paths are relative to the root and use a backslash between key names
// ("Software\Quorvanti\Z5"); names are UTF-8 and compare without regard to ASCII case, while
// the stored spelling is kept. Results are Windows error numbers (see sys_error.h): 0 for
// success, 2 for a missing key or value, 13 for a value that is not a string, 5 for a write
// through a read-only handle, 1018 for a key deleted after it was opened, 87 for a name the
// store cannot hold.
//
// POSIX store: one text file per view, in the registry export format, under the folder that
// RegistryLocation() names ("/var/lib/vantaro-launcher/registry" unless the environment
// variable "QVYLD_REGISTRY_ROOT" or SetRegistryLocation says otherwise):
//   HKLM64.reg  the 64-bit view, also the native view on a 64-bit system
//   HKLM32.reg  the 32-bit view, also the native view on a 32-bit system
// The file starts with "Windows Registry Editor Version 5.00" and a blank line, then one
// section per key, "[HKEY_LOCAL_MACHINE\Software\...]", followed by its values:
// "Name"="text" or @="text" for the default value (backslash and double quote escaped with a
// backslash), and dword:, hex: and hex(n): values, which are kept but are no strings. A text
// with a line break is stored as hex(1): (UTF-16LE, as the export format does). Lines starting
// with ';' are comments. A section implies its parent keys. Enumeration follows the order of
// first appearance in the file; a new key is appended after its siblings.
// A writer takes an advisory lock on "<file>.lock" (mode 0600, so that no other user can hold
// it; waited for at most 10 seconds, then WAIT_TIMED_OUT 258), reads the file afresh, and replaces
// it whole (temporary file in the same folder, fsync, rename), so concurrent writers lose no update
// and a reader never sees half a file. A rewrite normalises the file: one section per key in tree
// order, comments dropped. Readers cache the parsed file per view and parse it again when its
// inode, size or times change. A line that cannot be parsed is handed to the issue sink and
// skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class RegistryRoot : std::int32_t { LocalMachine = 0 };

// RegistryView chooses the 32- or 64-bit registry; Native is the process's own.
enum class RegistryView : std::int32_t { Native = 0, Force32 = 32, Force64 = 64 };

enum class RegistryAccess : std::int32_t { Read = 0, ReadWrite = 1 };

// RegistryIssue describes a line of the store that was skipped because it cannot be parsed.
struct RegistryIssue {
    std::string source;  // the file
    std::size_t line = 0;
    std::string text;  // what is wrong, then the line itself
};
using RegistryIssueSink = std::function<void(const RegistryIssue&)>;

// SetRegistryIssueSink installs the receiver of store issues (none: they are dropped). It is
// called on the reading thread, once per issue and version of a file.
void SetRegistryIssueSink(RegistryIssueSink sink);

// RegistryKey is an open key. It closes itself when destroyed; Close reports the result.
class RegistryKey {
  public:
    struct Impl;

    RegistryKey();
    explicit RegistryKey(std::unique_ptr<Impl> impl);
    ~RegistryKey();
    RegistryKey(RegistryKey&&) noexcept;
    RegistryKey& operator=(RegistryKey&&) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    bool IsOpen() const { return impl_ != nullptr; }

    // EnumSubkeys and EnumValues replace names with the names of the sub-keys or values.
    std::uint32_t EnumSubkeys(std::vector<std::string>& names) const;
    std::uint32_t EnumValues(std::vector<std::string>& names) const;
    // QueryString reads a string value; an empty name is the key's default value.
    std::uint32_t QueryString(const std::string& name, std::string& value) const;
    std::uint32_t SetString(const std::string& name, const std::string& value);
    std::uint32_t DeleteValue(const std::string& name);
    std::uint32_t Close();

  private:
    std::unique_ptr<Impl> impl_;
};

// RegistrySnapshot pins, for the calling thread, the version of the store that is current when
// it is made: until it is destroyed, keys opened on this thread read that version, so a scan
// sees one consistent store even while an installer writes, and the store is not checked again
// for every key. Writes are not affected and are seen by the writing thread. Snapshots nest.
// The system registry has no versions: there it does nothing.
class RegistrySnapshot {
  public:
    RegistrySnapshot();
    ~RegistrySnapshot();
    RegistrySnapshot(const RegistrySnapshot&) = delete;
    RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;
};

std::uint32_t OpenRegistryKey(RegistryRoot root, const std::string& path, RegistryView view,
                              RegistryAccess access, RegistryKey& key);
// CreateRegistryKey opens the key for reading and writing, creating it and its parents.
std::uint32_t CreateRegistryKey(RegistryRoot root, const std::string& path, RegistryView view,
                                RegistryKey& key);
// DeleteRegistryKey deletes the key with all its sub-keys and values.
std::uint32_t DeleteRegistryKey(RegistryRoot root, const std::string& path, RegistryView view);

// RegistryLocation is the folder of the POSIX store; empty where the system has a registry.
std::string RegistryLocation();
// SetRegistryLocation replaces the folder for this process (empty: back to the default);
// false where the system has a registry.
bool SetRegistryLocation(const std::string& folder);

}  // namespace platform
