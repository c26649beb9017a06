// ToolBox holds the small file, text, path and time utilities that every part uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ToolBox {

// The flag that the daemon's stop sequence raises; long folder listings break off on it.
std::atomic<bool>& GlobalStopOrder();

// Paths. JoinPath puts exactly one platform separator between the two parts (the system's
// texts write it as a backslash).
char PathSeparator();
std::string JoinPath(const std::string& base, const std::string& leaf);
bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);        // exists and is no folder
std::string Quote(const std::string& text);  // the text between double quotes
// Join puts the separator between the items (none before the first or after the last).
std::string Join(const std::vector<std::string>& items, const std::string& separator);

namespace File {
bool List(const std::string& folder, std::vector<std::string>& names);
bool ReadLines(const std::string& path, std::vector<std::string>& lines);
bool WriteLines(const std::string& path, const std::vector<std::string>& lines, bool append);
// WriteFileAtomic replaces the file whole: a temporary file beside it, then a rename, so a
// crash never leaves a truncated file. Lines end with a line feed. A symbolic link is written
// through: its target is replaced and the link stays.
bool WriteLinesAtomic(const std::string& path, const std::vector<std::string>& lines);
void CleanOldFilesInFolder(const std::string& folder, std::uint32_t maxFileCount,
                           double maxTimeStampDiff);
}  // namespace File

unsigned char HexToChar(const std::string& hex);
std::string GetOsDirName();
std::string GetMsiVersion();
std::string GetLastErrorText();
std::string GetSystemErrorMessage(std::uint32_t code);

// FormatTime formats a local time given in 100-nanosecond units since 1970 (now when
// none): strftime format, then "." and milliseconds, then the zone text (e.g. "+0100s").
std::string FormatTime(std::optional<std::int64_t> time, bool withMillis, bool withZone,
                       const std::string& format);
// NowTime100ns is the current time in 100-nanosecond units since 1970.
std::int64_t NowTime100ns();

}  // namespace ToolBox
