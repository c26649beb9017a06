#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/os_info.h"
#include "platform/path.h"

namespace fs = std::filesystem;

namespace ToolBox::File {
namespace {

std::string Fixed6(double value) {
    char text[64] = {};
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

// LastWriteSeconds is the file's last modification time in whole seconds since 1970.
bool LastWriteSeconds(const std::string& path, std::int64_t& seconds, std::error_code& ec) {
    const auto written = fs::last_write_time(platform::FsPath(path), ec);
    if (ec) {
        return false;
    }
    const auto sys = std::chrono::file_clock::to_sys(written);
    seconds = std::chrono::floor<std::chrono::seconds>(sys).time_since_epoch().count();
    return true;
}

// DeleteFile removes a file; folders are never removed by the cleaning, so they fail.
bool DeleteFile(const std::string& path) {
    if (IsFolder(path)) {
        return false;
    }
    std::error_code ec;
    return fs::remove(platform::FsPath(path), ec) && !ec;
}

struct Stamped {
    std::string path;
    std::int64_t seconds;
};

}  // namespace

bool List(const std::string& folder, std::vector<std::string>& names) {
    names.clear();
    if (IsFile(folder)) {
        Logger::Debug("[ToolBox::File::List] the given path [" + folder + "] is not a directory !");
        return true;
    }
    std::error_code ec;
    fs::directory_iterator it(platform::FsPath(folder), ec);
    if (ec) {
        Logger::Warn("[ToolBox::File::List] FindFirstFileW Fail !");
        return false;
    }
    try {
        for (const fs::directory_iterator end; it != end; it.increment(ec)) {
            if (GlobalStopOrder().load()) {
                Logger::Warn("[ToolBox::File::List]GLOBAL STOP ORDER ! emergency break !");
                return false;
            }
            names.push_back(platform::PathText(it->path().filename()));
        }
    } catch (const std::exception& e) {
        // A name that the narrow code page cannot hold (Windows) ends the listing.
        Logger::Warn(std::string("[ToolBox::File::List]error occured : ") + e.what());
        return false;
    }
    if (ec) {
        Logger::Warn("[ToolBox::File::List]error occured : " + ec.message());
        return false;
    }
    Logger::Debug("[ToolBox::File::List]file list in '" + folder + "' :\n" + Join(names, ", "));
    return true;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    if (!IsFile(path)) {
        Logger::Warn("[ToolBox::File::ReadLines]This file does not exist or invalid type : " +
                     path);
        return false;
    }
    std::ifstream in{platform::FsPath(path)};
    if (!in) {
        Logger::Warn("[ToolBox::File::ReadLines]Failed to open this file: " + path);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return true;
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines, bool append) {
    // Binary: lines end with '\n' on every platform, as WriteLinesAtomic writes them.
    const auto mode = std::ios::binary | (append ? std::ios::app : std::ios::trunc);
    std::ofstream out{platform::FsPath(path), mode};
    for (const auto& line : lines) {
        out << line << '\n';
    }
    out.flush();
    if (!out) {
        Logger::Error("[ToolBox::File::WriteLines]Failed to write this content:\n" +
                      Join(lines, "\n") + "\nin this file:\n" + path);
        return false;
    }
    return true;
}

bool WriteLinesAtomic(const std::string& linkOrPath, const std::vector<std::string>& lines) {
    static std::atomic<unsigned> counter{0};
    // A symbolic link is written through: its target is replaced, the link stays (an installed
    // package links files beside the executable to where they may change).
    std::string path = linkOrPath;
    std::error_code linkError;
    if (fs::is_symlink(fs::symlink_status(platform::FsPath(path), linkError))) {
        const fs::path target = fs::read_symlink(platform::FsPath(path), linkError);
        if (!linkError) {
            path = platform::PathText(
                (platform::FsPath(path).parent_path() / target).lexically_normal());
        }
    }
    const std::string temp = path + ".tmp" + std::to_string(platform::CurrentThreadId()) + "_" +
                             std::to_string(counter.fetch_add(1));
    bool ok = false;
    {
        std::ofstream out{platform::FsPath(temp), std::ios::trunc | std::ios::binary};
        for (const auto& line : lines) {
            out << line << '\n';
        }
        out.flush();
        ok = static_cast<bool>(out);
    }
    std::error_code ec;
    ok = ok && platform::SyncToDisk(temp);
    if (ok) {
        fs::rename(platform::FsPath(temp), platform::FsPath(path), ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(platform::FsPath(temp), ec);
        Logger::Error("[ToolBox::File::WriteLinesAtomic]Failed to replace this file: " + path);
        return false;
    }
    // The new entry of the folder must reach the disk too; a failure there loses nothing
    // that the old file held.
    const auto parent = platform::FsPath(path).parent_path();
    platform::SyncToDisk(parent.empty() ? std::string(".") : platform::PathText(parent));
    return true;
}

void CleanOldFilesInFolder(const std::string& folder, std::uint32_t maxFileCount,
                           double maxTimeStampDiff) {
    const std::string tag = "[ToolBox::File::CleanOldFilesInFolder]";
    Logger::DebugDeferred(tag + "Try to clean this log folder: " + folder + "(MaxfileCount:[" +
                          std::to_string(maxFileCount) + "]//MaxTimeStampDiff:[" +
                          Fixed6(maxTimeStampDiff) + "])");
    if (maxFileCount == 0 && maxTimeStampDiff == 0.0) {
        Logger::DebugDeferred(tag + "Nothing to clear ( max diff and max count are null )");
        return;
    }
    const std::int64_t base = NowTime100ns() / 10'000'000;
    Logger::InternalDeferred(
        tag + "base timestamp : " + FormatTime(base * 10'000'000, false, true, "%Y_%m_%d-%H%M%S"));

    std::vector<std::string> names;
    List(folder, names);
    std::vector<Stamped> kept;
    for (const auto& name : names) {
        const std::string path = JoinPath(folder, name);
        std::int64_t stamp = 0;
        std::error_code ec;
        if (!LastWriteSeconds(path, stamp, ec)) {
            Logger::WarnDeferred(tag + "Fail to get Last modification Timestamp for this file '" +
                                 name + "'. ( errno : " + std::to_string(ec.value()) + ")");
            continue;
        }
        const std::int64_t age = base - stamp;
        Logger::InternalDeferred(tag + "timstamp delta on '" + name + "' : " + std::to_string(age));
        if (maxTimeStampDiff != 0.0 && static_cast<double>(age) > maxTimeStampDiff) {
            if (DeleteFile(path)) {
                Logger::InternalDeferred(tag + "deleteing : " + path);
            } else {
                Logger::WarnDeferred(tag + "Fail to delete this file : " + path);
            }
            continue;
        }
        kept.push_back({path, stamp});
    }
    if (maxFileCount < 1 || kept.size() <= maxFileCount) {
        return;
    }
    const std::size_t excess = kept.size() - maxFileCount;
    Logger::InternalDeferred(tag + "excessive number of file ! there is " +
                             std::to_string(kept.size()) + "/" + std::to_string(maxFileCount) +
                             " files");
    Logger::InternalDeferred(tag + "deleting " + std::to_string(excess) + " files...");
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Stamped& a, const Stamped& b) { return a.seconds < b.seconds; });
    for (std::size_t i = 0; i < excess; ++i) {
        const std::string index = std::to_string(i);
        if (DeleteFile(kept[i].path)) {
            Logger::InternalDeferred(tag + "deleteing older file[" + index + "] : " + kept[i].path);
        } else {
            Logger::WarnDeferred(tag + "Fail to delete this file[" + index + "] : " + kept[i].path);
        }
    }
}

}  // namespace ToolBox::File
