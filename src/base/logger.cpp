#include "base/logger.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>

#include "base/config.h"
#include "base/toolbox.h"
#include "platform/crash_handler.h"
#include "platform/debug_output.h"
#include "platform/event_log.h"
#include "platform/os_info.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxMessageBytes = 40960;
// The pending list only grows without bound when the file cannot be written for a long
// time; past this many lines the oldest are dropped.
constexpr std::size_t kMaxPendingLines = 20000;
constexpr const char* kTimeFormat = "%Y_%m_%d-%H%M%S";
constexpr const char* kDefaultName = "MYLOGGER";
constexpr const char* kDefaultFileName = "qvy_log_file";

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
    std::mutex initMutex;
    std::mutex writeMutex;
    std::mutex pendingMutex;

    std::mutex clockMutex;
    std::function<std::int64_t()> clock;
    std::atomic<bool> stdoutCopy{[] {
        const char* env = std::getenv("QVYLD_LOG_STDOUT");
        return env == nullptr || std::string_view(env) != "0";
    }()};
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

std::string FormatLine(LogLevel level, const std::string& message) {
    const std::size_t size = std::min(message.size(), kMaxMessageBytes);
    std::string line;
    line.reserve(64 + size);
    line += '<';
    line += ToolBox::FormatTime(Now(), true, true, kTimeFormat);
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
        std::fwrite(out.data(), 1, out.size(), stdout);
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
    const std::string line = FormatLine(level, message);
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

std::string Today() {
    return ToolBox::FormatTime(Now(), false, false, "%Y_%m_%d");
}

// PrepareLogFile makes sure the file can be appended to and writes the header.
bool PrepareLogFile(const LoggerState& s) {
    const fs::path path(s.filePath);
    std::error_code ec;
    const fs::path folder = path.parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec) {
            Deferred(LogLevel::Error,
                     "[Logger::PrepareLogFile]Fail to create folder's application-specific "
                     "logger file : " +
                         s.filePath);
            return false;
        }
    }
    if (fs::exists(path, ec)) {
        std::fstream probe(path, std::ios::in | std::ios::out);
        if (!probe) {
            if (!fs::remove(path, ec)) {
                Deferred(LogLevel::Error,
                         "[Logger::PrepareLogFile][" + ec.message() +
                             "]Fail to delete invalid logger's file : " + s.filePath);
                return false;
            }
        }
    }
    std::ofstream out(path, std::ios::app);
    if (!out) {
        Deferred(LogLevel::Error, "[Logger::PrepareLogFile][" + ToolBox::GetLastErrorText() +
                                      "]Fail to write the header in this file '" + s.filePath +
                                      "'");
        return false;
    }
    const std::string rule(74, '#');
    out << rule << '\n'
        << s.name << "[" << ToolBox::FormatTime(Now(), false, true, kTimeFormat) << "]\n"
        << rule << '\n';
    out.flush();
    if (!out) {
        return false;
    }
    // A fatal fault is reported into the same file; the handler cannot open it itself.
    platform::SetCrashLogPath(s.filePath);
    return true;
}

// WriteMsg writes the pending lines and then this line; the caller holds the write mutex.
void WriteMsg(LoggerState& s, const std::string& line) {
    const std::string today = Today();
    if (today != s.date) {
        s.date = today;
        s.filePath = BuildFilePath(s);
        Deferred(LogLevel::Debug, "[Logger::WriteMsg]New logger file path : " + s.filePath);
        if (!PrepareLogFile(s)) {
            Deferred(LogLevel::Error, "[Logger::WriteMsg]PrepareLogFile failed !");
        }
    }
    bool written = false;
    {
        std::lock_guard lock(s.pendingMutex);
        const fs::path path(s.filePath);
        std::error_code ec;
        if (!fs::exists(path, ec) && path.has_parent_path()) {
            fs::create_directories(path.parent_path(), ec);
        }
        std::ofstream out(path, std::ios::app);
        for (const auto& pending : s.pending) {
            out << pending << '\n';
        }
        out << line << '\n';
        out.close();
        written = !out.fail();
        if (written) {
            s.pending.clear();
        }
    }
    if (!written) {
        Deferred(LogLevel::Error, "[Logger::WriteMsg]Failed to write this line:\n" + line +
                                      "\nin this file:\n" + s.filePath);
    }
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
    const std::string line = FormatLine(level, message);
    if (s.eventLog.load()) {
        ThrowEventImpl(level, line, platform::kEventCategoryReporting);
    }
    WriteMsg(s, line);
    Copies(line, false);
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

// FailInit sends everything that waits to the event log, as the file will not take it.
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
    s.created = true;
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

    s.date = Today();
    s.filePath = BuildFilePath(s);
    Deferred(LogLevel::Debug, "[Logger::Init]Logger output file '" + s.filePath + "'");
    if (!PrepareLogFile(s)) {
        FailInit(s);
        return false;
    }
    ToolBox::File::CleanOldFilesInFolder(ToolBox::JoinPath(baseFolder, name), 10, 0.0);
    Deferred(LogLevel::Debug, "[Logger::Init]logger file path : " + s.filePath);
    s.ready = true;
    s.created = true;
    return true;
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
    s.created = false;
    s.ready = false;
    s.pending.clear();
}

void Logger::SetClockForTests(std::function<std::int64_t()> now) {
    auto& s = State();
    std::lock_guard lock(s.clockMutex);
    s.clock = std::move(now);
}
