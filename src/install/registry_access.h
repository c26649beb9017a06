// RegistryAccess is the thin layer over the registry port that the installation scan uses:
// open a key in a chosen view, list its sub-keys and value names, read a string value, close
// it. Failures come back as result codes and leave an error record with a readable text in
// the calling thread's error list; nothing is thrown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

// ErrorRecord is one failure kept for the caller: its text, severity and result code, and the
// system error number behind it.
struct ErrorRecord {
    std::string text;
    std::int32_t severity = 0;
    std::int32_t result = 0;
    std::uint32_t systemError = 0;
};

// ErrorList is the calling thread's list of error records. It keeps the latest kMaxRecords
// records, so that a long-lived thread does not grow it without bound.
namespace ErrorList {
inline constexpr std::size_t kMaxRecords = 64;
void Append(ErrorRecord record);
const std::vector<ErrorRecord>& Records();
// LastText is the text of the latest record, empty when there is none.
std::string LastText();
// LastSystemError is the system error of the latest record, 0 when there is none.
std::uint32_t LastSystemError();
void Clear();
}  // namespace ErrorList

namespace RegistryAccess {

using Result = std::int32_t;
inline constexpr Result kSuccess = 0;
inline constexpr Result kFailure = static_cast<Result>(0x80004005u);  // E_FAIL
inline constexpr std::int32_t kRegistrySeverity = 3;

enum RegView : std::int32_t {
    DoNotForceRegView = 0,
    Force32RegView = 32,
    Force64RegView = 64,
};

enum AccessMode : std::int32_t {
    KEY_READ_MODE = 0,
    KEY_READ_WRITE_MODE = 1,
};

enum PathType : std::int32_t {
    PATH_MISSING = 0,
    PATH_FOLDER = 1,
    PATH_FILE = 2,
    PATH_FOLDER_REPARSE_POINT = 5,
    PATH_FILE_REPARSE_POINT = 6,
};

using Root = platform::RegistryRoot;
using Key = platform::RegistryKey;

bool Is64BitOs();

// OpenKey opens root\subKey; on a 32-bit system the view is ignored. With report set, a
// failure leaves the record "OpenKey() - <subKey>, <access>, <view>".
Result OpenKey(Root root, const std::string& subKey, Key& key, AccessMode mode, RegView view,
               bool report);
// GetSubkeys and GetValues list the sub-key or value names of an open key: 0, or -1 with the
// record "GetSubkeys()" or "GetValues()". The list is cleared first.
int GetSubkeys(const Key& key, std::vector<std::string>& names);
int GetValues(const Key& key, std::vector<std::string>& names);
// GetValue reads one string value of root\subKey, opened for reading in the view.
Result GetValue(Root root, const std::string& subKey, const std::string& valueName,
                std::string& value, RegView view);
Result CloseKey(Key& key);

PathType GetPathType(const std::string& path);

}  // namespace RegistryAccess
