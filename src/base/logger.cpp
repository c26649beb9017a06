#include "base/logger.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>

#include "base/config.h"
#include "base/toolbox.h"
#include "platform/crash_handler.h"
#include "platform/debug_output.h"
#include "platform/event_log.h"
#include "platform/log_file.h"
#include "platform/os_info.h"
#include "platform/path.h"
#include "platform/sys_error.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxMessageBytes = 40960;
// The pending list only grows without bound when the file cannot be written for a long
// time; past this many lines the oldest are dropped.
constexpr std::size_t kMaxPendingLines = 20000;
constexpr const char* kTimeFormat = "%Y_%m_%d-%H%M%S";
constexpr const char* kDefaultName = "MYLOGGER";
constexpr const char* kDefaultFileName = "qvy_log_file";
constexpr const char* kDefaultGroup = "adm";
// The log folder holds at most this many files of at most kFileCap bytes each: a burst of
// lines cannot fill the disk.
constexpr std::uint32_t kMaxLogFiles = 10;
constexpr std::uint64_t kFileCap = 100ULL * 1024 * 1024;
// How often the file is looked for at its path (removed or renamed) or, when it cannot be
// written, opened again: once a second, in 100-ns units.
constexpr std::int64_t kCheckInterval100ns = 10'000'000;

// StdoutCopyByDefault: no copy when the environment says QVYLD_LOG_STDOUT=0, nor under a
// service manager, whose journal takes standard output (JOURNAL_STREAM) or which started the
// daemon as its service (NOTIFY_SOCKET): there the copy would be a second log. QVYLD_LOG_STDOUT=1
// forces the copy.
bool StdoutCopyByDefault() {
    const char* forced = std::getenv("QVYLD_LOG_STDOUT");
    if (forced != nullptr && *forced != '\0') {
        return std::string_view(forced) != "0";
    }
    return std::getenv("JOURNAL_STREAM") == nullptr && std::getenv("NOTIFY_SOCKET") == nullptr;
}

struct LoggerState {
    std::string name = kDefaultName;
    std::string baseFolder;
    std::string baseFileName = kDefaultFileName;
    std::string date;
    std::string filePath;
    std::atomic<std::int32_t> threshold{static_cast<std::int32_t>(LogLevel::Debug)};
    std::atomic<bool> eventLog{false};
    std::atomic<bool> created{false};
    std::atomic<bool> ready{false};
    std::deque<std::string> pending;
    // What follows is guarded by the write mutex.
    platform::LogFile file;
    platform::LogFileAccess access;
    std::uint64_t fileCap = kFileCap;
    std::int64_t lastCheck = 0;  // last look at the file's path, in 100-ns units
    bool capped = false;         // the day's file reached its cap
    bool failing = false;        // the file cannot be written: an episode is running
    std::uint64_t dropped = 0;   // lines lost in the episode
    std::mutex initMutex;
    std::mutex writeMutex;
    std::mutex pendingMutex;

    std::mutex clockMutex;
    std::function<std::int64_t()> clock;
    std::atomic<bool> stdoutCopy{StdoutCopyByDefault()};
};

LoggerState& State() {
    static LoggerState state;
    return state;
}

std::int64_t Now() {
    auto& s = State();
    std::lock_guard lock(s.clockMutex);
    return s.clock ? s.clock() : ToolBox::NowTime100ns();
}

const char* LevelText(LogLevel level) {
    switch (level) {
        case LogLevel::Internal:
            return "INTERNAL";
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Info:
            return "INFO ";
        case LogLevel::Warn:
            return "WARN ";
        case LogLevel::Error:
            return "ERROR";
        case LogLevel::All:
            break;
    }
    return "ALL  ";
}

platform::EventType EventTypeFor(LogLevel level) {
    if (level == LogLevel::Error) {
        return platform::EventType::Error;
    }
    return level == LogLevel::Warn ? platform::EventType::Warning
                                   : platform::EventType::Information;
}

bool Reaches(LogLevel level) {
    return static_cast<std::int32_t>(level) >= State().threshold.load();
}

std::string FormatLine(std::int64_t now, LogLevel level, const std::string& message) {
    const std::size_t size = std::min(message.size(), kMaxMessageBytes);
    std::string line;
    line.reserve(64 + size);
    line += '<';
    line += ToolBox::FormatTime(now, true, true, kTimeFormat);
    line += ">(";
    line += std::to_string(platform::CurrentThreadId());
    line += "){";
    line += LevelText(level);
    line += "}:";
    line.append(message, 0, size);
    return line;
}

// Copies is where every line passes: it adds the state marker, queues the text when asked
// and copies it to the debugger output and standard output.
void Copies(const std::string& text, bool queue) {
    auto& s = State();
    const bool created = s.created.load();
    const bool ready = s.ready.load();
    std::string out;
    if (!created) {
        out = "|#LNI#|";
    } else if (!ready) {
        out = "|!LCS!|";
    }
    out.append(text, 0, kMaxMessageBytes - out.size());
    if (queue && (!created || ready)) {
        std::lock_guard lock(s.pendingMutex);
        if (s.pending.size() >= kMaxPendingLines) {
            s.pending.pop_front();
        }
        s.pending.push_back(out);
    }
    platform::WriteDebugOutput(out);
    if (s.stdoutCopy.load()) {
        out += '\n';
        platform::WriteStandardOutput(out);
    }
}

void ThrowEventImpl(LogLevel level, const std::string& text, std::uint16_t category);

// Deferred formats the line when the logger is ready and leaves it in the pending list;
// the next line written directly takes it to the file.
void Deferred(LogLevel level, const std::string& message, bool toEventLog = true) {
    auto& s = State();
    if (!s.ready.load()) {
        Copies(message, true);
        return;
    }
    const std::string line = FormatLine(Now(), level, message);
    if (toEventLog && s.eventLog.load()) {
        ThrowEventImpl(level, line, platform::kEventCategoryReporting);
    }
    Copies(line, Reaches(level));
}

void ThrowEventImpl(LogLevel level, const std::string& text, std::uint16_t category) {
    std::uint32_t error = 0;
    if (!platform::WriteEvent(EventTypeFor(level), category, platform::kEventIdText, text, error)) {
        // Not through the event log again: it has just failed.
        Deferred(LogLevel::Error,
                 "[Logger::ThrowEvent]Fail to throw windows event : [" + std::to_string(error) +
                     "]:{" + text + "}",
                 false);
    }
}

std::string BuildFilePath(const LoggerState& s) {
    return ToolBox::JoinPath(ToolBox::JoinPath(s.baseFolder, s.name),
                             s.baseFileName + "_" + s.date + ".txt");
}

std::string LogFolder(const LoggerState& s) {
    return ToolBox::JoinPath(s.baseFolder, s.name);
}

std::string Today() {
    return ToolBox::FormatTime(Now(), false, false, "%Y_%m_%d");
}

// DateOfLine reads the day from a formatted line: its time stamp begins "<%Y_%m_%d-", so
// the day's change costs no second clock reading.
std::string DateOfLine(const std::string& line) {
    return line.size() > 11 && line[0] == '<' ? line.substr(1, 10) : Today();
}

// ToSyslog gives a line that the file cannot take to the event log, unless every line goes
// there already.
void ToSyslog(const LoggerState& s, LogLevel level, const std::string& line) {
    if (!s.eventLog.load()) {
        ThrowEventImpl(level, line, platform::kEventCategoryReporting);
    }
}

// PrepareLogFile opens the day's file, with the log's own access, and writes the header.
bool PrepareLogFile(LoggerState& s) {
    const std::string folder = platform::PathText(platform::FsPath(s.filePath).parent_path());
    const std::uint32_t folderError = platform::MakeLogFolder(folder, s.access);
    if (folderError != platform::SysError::SUCCESS && !ToolBox::IsFolder(folder)) {
        Deferred(LogLevel::Error,
                 "[Logger::PrepareLogFile]Fail to create folder's application-specific "
                 "logger file : " +
                     s.filePath);
        return false;
    }
    std::uint32_t error = s.file.Open(s.filePath, s.access);
    if (!s.file.IsOpen() && ToolBox::PathExists(s.filePath)) {
        std::error_code ec;
        if (!fs::remove(platform::FsPath(s.filePath), ec)) {
            Deferred(LogLevel::Error, "[Logger::PrepareLogFile][" + ec.message() +
                                          "]Fail to delete invalid logger's file : " + s.filePath);
            return false;
        }
        error = s.file.Open(s.filePath, s.access);
    }
    if (folderError == platform::SysError::NOT_FOUND || error == platform::SysError::NOT_FOUND) {
        Deferred(LogLevel::Warn, "[Logger::PrepareLogFile]The group '" + s.access.group +
                                     "' does not exist: the log keeps the daemon's own group");
    }
    const std::string rule(74, '#');
    const std::string header = rule + '\n' + s.name + "[" +
                               ToolBox::FormatTime(Now(), false, true, kTimeFormat) + "]\n" + rule +
                               '\n';
    if (!s.file.IsOpen() || (error = s.file.Append(header)) != platform::SysError::SUCCESS) {
        Deferred(LogLevel::Error,
                 "[Logger::PrepareLogFile][" + platform::SystemErrorMessage(error) +
                     "]Fail to write the header in this file '" + s.filePath + "'");
        s.file.Close();  // opened again, with a header, once the disk takes it
        return false;
    }
    // A fatal fault is reported into the same file; the handler cannot open it itself.
    platform::SetCrashLogPath(s.filePath);
    return true;
}

// NewDay moves to the day's file; the caller keeps the folder within its number of files
// once it has let go of the write mutex (the cleaning logs).
void NewDay(LoggerState& s, const std::string& today) {
    s.date = today;
    s.filePath = BuildFilePath(s);
    s.capped = false;
    s.lastCheck = Now();
    Deferred(LogLevel::Debug, "[Logger::WriteMsg]New logger file path : " + s.filePath);
    if (!PrepareLogFile(s)) {
        Deferred(LogLevel::Error, "[Logger::WriteMsg]PrepareLogFile failed !");
    }
}

// CheckFile reopens the file, at most once a second, when it is not open (a failed open or a
// full disk) or when it was removed or renamed under the daemon.
void CheckFile(LoggerState& s, std::int64_t now) {
    if (now - s.lastCheck < kCheckInterval100ns && now >= s.lastCheck) {
        return;
    }
    s.lastCheck = now;
    if (s.file.IsOpen() && s.file.StillAtPath()) {
        return;
    }
    const bool moved = s.file.IsOpen();
    if (PrepareLogFile(s) && moved) {
        Deferred(LogLevel::Warn,
                 "[Logger::WriteMsg]The log file was removed or renamed; a new one is started : " +
                     s.filePath);
    }
}

// TakePending joins the pending lines and the line into the text of one write.
std::string TakePending(LoggerState& s, const std::string& line, std::size_t& count) {
    std::string text;
    std::lock_guard lock(s.pendingMutex);
    count = s.pending.size() + 1;
    for (const auto& pending : s.pending) {
        text.append(pending).append(1, '\n');
    }
    s.pending.clear();
    text.append(line).append(1, '\n');
    return text;
}

// ReachCap notes once that the day's file is full; the day's later lines are dropped.
void ReachCap(LoggerState& s, std::int64_t now) {
    s.capped = true;
    const std::string note = FormatLine(
        now, LogLevel::Warn,
        "[Logger::WriteMsg]The log file reached its cap of " + std::to_string(s.fileCap) +
            " bytes : lines are dropped until the next day (" + s.filePath + ")");
    s.file.Append(note + '\n');
    ToSyslog(s, LogLevel::Warn, note);
    Copies(note, false);
}

// WriteFailed starts or continues an episode of a file that cannot be written. The episode
// is reported once; its ERROR lines still reach the event log.
void WriteFailed(LoggerState& s, std::uint32_t error, LogLevel level, const std::string& line,
                 std::size_t lines) {
    s.dropped += lines;
    if (!s.failing) {
        s.failing = true;
        const std::string report = "[Logger::WriteMsg]Cannot write the log file '" + s.filePath +
                                   "' (" + platform::SystemErrorMessage(error) +
                                   ") : lines are dropped until it can be written again";
        ThrowEventImpl(LogLevel::Error, report, platform::kEventCategoryReporting);
        Copies(report, false);
    }
    if (level == LogLevel::Error) {
        ToSyslog(s, level, line);
    }
}

// WriteMsg writes the pending lines and then this line, in one write; the caller holds the
// write mutex. True when a new day's file was started.
bool WriteMsg(LoggerState& s, std::int64_t now, LogLevel level, const std::string& line) {
    const std::string today = DateOfLine(line);
    const bool newDay = today != s.date;
    if (newDay) {
        NewDay(s, today);
    } else {
        CheckFile(s, now);
    }
    std::size_t lines = 0;
    std::string text = TakePending(s, line, lines);
    if (s.capped) {
        if (level == LogLevel::Error) {
            ToSyslog(s, level, line);
        }
        return newDay;
    }
    if (s.failing) {
        text.insert(0, FormatLine(now, LogLevel::Warn,
                                  "[Logger::WriteMsg]The log file can be written again; " +
                                      std::to_string(s.dropped) + " lines were dropped") +
                           '\n');
    }
    if (s.file.Size() + text.size() > s.fileCap) {
        ReachCap(s, now);
        if (level == LogLevel::Error) {
            ToSyslog(s, level, line);
        }
        return newDay;
    }
    const std::uint32_t error = s.file.Append(text);
    if (error != platform::SysError::SUCCESS) {
        WriteFailed(s, error, level, line, lines);
        return newDay;
    }
    s.failing = false;
    s.dropped = 0;
    return newDay;
}

void Direct(LogLevel level, const std::string& message) {
    auto& s = State();
    if (!s.ready.load()) {
        Copies(message, true);
        return;
    }
    if (!Reaches(level)) {
        return;
    }
    std::unique_lock lock(s.writeMutex);
    if (!s.ready.load()) {
        // A re-initialisation started while this thread waited.
        lock.unlock();
        Copies(message, true);
        return;
    }
    const std::int64_t now = Now();
    const std::string line = FormatLine(now, level, message);
    if (s.eventLog.load()) {
        ThrowEventImpl(level, line, platform::kEventCategoryReporting);
    }
    const bool newDay = WriteMsg(s, now, level, line);
    Copies(line, false);
    const std::string folder = newDay ? LogFolder(s) : std::string();
    lock.unlock();
    if (newDay) {
        ToolBox::File::CleanOldFilesInFolder(folder, kMaxLogFiles, 0.0);
    }
}

std::int32_t LevelFromName(const std::string& name, bool& found) {
    static const std::map<std::string, LogLevel> kNames = {
        {"internal", LogLevel::Internal}, {"debug", LogLevel::Debug}, {"info", LogLevel::Info},
        {"warn", LogLevel::Warn},         {"error", LogLevel::Error}, {"all", LogLevel::All},
    };
    const auto it = kNames.find(name);
    found = it != kNames.end();
    return found ? static_cast<std::int32_t>(it->second) : 0;
}

// FailInit sends everything that waits to the event log, as the file will not take it. The
// logger still starts: the daemon serves without its file log, which is opened again once a
// second until it can be written.
void FailInit(LoggerState& s) {
    Deferred(LogLevel::Error, "[Logger::Init]PrepareLogFile failed !");
    std::string text;
    {
        std::lock_guard lock(s.pendingMutex);
        for (const auto& line : s.pending) {
            if (!text.empty()) {
                text += '\n';
            }
            text += line;
        }
        s.pending.clear();
    }
    ThrowEventImpl(LogLevel::Error, text, platform::kEventCategoryReporting);
    s.failing = true;
    s.lastCheck = Now();
}

}  // namespace

bool Logger::Init(const std::string& name, const std::string& baseFolder,
                  const std::string& baseFileName) {
    auto& s = State();
    std::lock_guard initLock(s.initMutex);
    Deferred(LogLevel::Debug, s.created.load() ? "[Logger::Init]--||LOGGER RE-INIT||--"
                                               : "[Logger::Init]<<LOGGER INIT>>");
    s.ready = false;
    // The configuration is read before the write mutex is taken: the configuration may
    // itself log while it holds its own lock.
    std::string levelName;
    const bool levelGiven = Config::GetVariable(ConfigId::LOGLEVEL, levelName);
    const bool superLogger = Config::IsActivated(ConfigId::SUPER_LOGGER);
    std::string group;
    if (!Config::GetVariable(ConfigId::LOG_GROUP, group) || group.empty()) {
        group = kDefaultGroup;
    }

    std::lock_guard writeLock(s.writeMutex);
    s.name = name;
    s.baseFolder = baseFolder;
    s.baseFileName = baseFileName;
    Deferred(LogLevel::Debug, "[Logger::Init]logger name : " + name);
    Deferred(LogLevel::Debug, "[Logger::Init]logger base folder name : " + baseFolder);
    Deferred(LogLevel::Debug, "[Logger::Init]logger base file name : " + baseFileName);
    bool found = false;
    const std::int32_t level = levelGiven ? LevelFromName(levelName, found) : 0;
    if (found) {
        s.threshold = level;
        Deferred(LogLevel::Debug, "[Logger::Init]new logger's log level  : " + levelName);
    }
    s.eventLog = superLogger;
    s.access = platform::LogFileAccessFor(group);

    s.date = Today();
    s.filePath = BuildFilePath(s);
    s.capped = false;
    s.file.Close();
    Deferred(LogLevel::Debug, "[Logger::Init]Logger output file '" + s.filePath + "'");
    const bool prepared = PrepareLogFile(s);
    if (!prepared) {
        FailInit(s);
    } else {
        ToolBox::File::CleanOldFilesInFolder(LogFolder(s), kMaxLogFiles, 0.0);
        Deferred(LogLevel::Debug, "[Logger::Init]logger file path : " + s.filePath);
    }
    s.ready = true;
    s.created = true;
    return prepared;
}

void Logger::Internal(const std::string& message) {
    Direct(LogLevel::Internal, message);
}
void Logger::Debug(const std::string& message) {
    Direct(LogLevel::Debug, message);
}
void Logger::Info(const std::string& message) {
    Direct(LogLevel::Info, message);
}
void Logger::Warn(const std::string& message) {
    Direct(LogLevel::Warn, message);
}
void Logger::Error(const std::string& message) {
    Direct(LogLevel::Error, message);
}

void Logger::InternalDeferred(const std::string& message) {
    Deferred(LogLevel::Internal, message);
}
void Logger::DebugDeferred(const std::string& message) {
    Deferred(LogLevel::Debug, message);
}
void Logger::WarnDeferred(const std::string& message) {
    Deferred(LogLevel::Warn, message);
}
void Logger::ErrorDeferred(const std::string& message) {
    Deferred(LogLevel::Error, message);
}

void Logger::Log(LogLevel level, const std::string& message) {
    Direct(level, message);
}

void Logger::ErrorWithSystemError(const std::string& message) {
    const std::string systemError = ToolBox::GetLastErrorText();
    Direct(LogLevel::Error, message + systemError);
}

void Logger::LogException(const std::exception& e, const std::string& prefix, bool toEventLog) {
    const std::string text = "!EXP!" + prefix + e.what();
    Direct(LogLevel::Error, text);
    if (toEventLog) {
        ThrowEvent(LogLevel::Error, text);
    }
}

void Logger::ThrowEvent(LogLevel level, const std::string& text, EventCategory category) {
    ThrowEventImpl(level, text, static_cast<std::uint16_t>(category));
}

LogLevel Logger::Threshold() {
    return static_cast<LogLevel>(State().threshold.load());
}

std::string Logger::CurrentFilePath() {
    auto& s = State();
    if (!s.created.load()) {
        return {};
    }
    std::lock_guard lock(s.writeMutex);
    return s.filePath;
}

void Logger::SetStdoutCopy(bool enabled) {
    State().stdoutCopy = enabled;
}

void Logger::ResetForTests() {
    auto& s = State();
    std::lock_guard initLock(s.initMutex);
    std::lock_guard writeLock(s.writeMutex);
    std::lock_guard pendingLock(s.pendingMutex);
    s.name = kDefaultName;
    s.baseFolder.clear();
    s.baseFileName = kDefaultFileName;
    s.date.clear();
    s.filePath.clear();
    s.threshold = static_cast<std::int32_t>(LogLevel::Debug);
    s.eventLog = false;
    s.file.Close();
    // The crash filter holds the file too, and the one before it: both are let go, so that a
    // test can remove its folder (Windows removes no folder that holds an open file).
    platform::SetCrashLogPath("");
    platform::SetCrashLogPath("");
    s.fileCap = kFileCap;
    s.lastCheck = 0;
    s.capped = false;
    s.failing = false;
    s.dropped = 0;
    s.created = false;
    s.ready = false;
    s.pending.clear();
}

void Logger::SetClockForTests(std::function<std::int64_t()> now) {
    auto& s = State();
    std::lock_guard lock(s.clockMutex);
    s.clock = std::move(now);
}

void Logger::SetFileCapForTests(std::uint64_t bytes) {
    auto& s = State();
    std::lock_guard lock(s.writeMutex);
    s.fileCap = bytes;
}
