// Logger is the process-wide log of the daemon: one dated text file per day, every line
// stamped with time, thread and level, a copy on the debugger output and standard output,
// and optionally a copy in the system event log. Lines logged before the logger is ready
// wait in a pending list and reach the file with the first line written directly.
//
// The day's file stays open; each line (with the pending lines before it) is one append
// write, whole or not at all. The file is opened again at the day's change, and when it was
// removed or renamed (looked at once a second). The folder keeps at most 10 files; a day's
// file stops at 100 MB with one note, and lines are dropped until the next day. When the file
// cannot be written (a full disk), the daemon goes on without it: the failure is reported
// once to the event log, ERROR lines still go there, and writing resumes with a note of the
// lines lost once the disk takes them again.
//
// Files are created 0640 in 0750 folders, owned by the group that the configuration
// variable LOG_GROUP names (default "adm"), when the daemon runs as root; a process of a
// user (the worker) keeps its log to itself, 0600 in 0700 folders.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

enum class LogLevel : std::int32_t {
    Internal = 10,
    Debug = 20,
    Info = 30,
    Warn = 40,
    Error = 50,
    All = -1,
};

// Event categories of the event source.
enum class EventCategory : std::uint16_t {
    Reporting = 1,
    Started = 2,
    Stopped = 3,
};

class Logger {
  public:
    // Init prepares "<baseFolder>/<name>/<baseFileName>_<date>.txt"; false when the file
    // cannot be prepared (the pending lines then go to the event log, and the logger runs
    // without its file until it can be opened).
    static bool Init(const std::string& name, const std::string& baseFolder,
                     const std::string& baseFileName);

    // Direct logging: formatted, written to the file at once when the level reaches the
    // threshold, copied to the debugger output and standard output.
    static void Internal(const std::string& message);
    static void Debug(const std::string& message);
    static void Info(const std::string& message);
    static void Warn(const std::string& message);
    static void Error(const std::string& message);

    // Deferred logging, for code that runs before or inside the logger's own start
    // (configuration, folders, log-folder cleaning): the line joins the pending list.
    static void InternalDeferred(const std::string& message);
    static void DebugDeferred(const std::string& message);
    static void WarnDeferred(const std::string& message);
    static void ErrorDeferred(const std::string& message);

    static void Log(LogLevel level, const std::string& message);

    // ErrorWithSystemError appends ToolBox::GetLastErrorText() to the message.
    static void ErrorWithSystemError(const std::string& message);
    // LogException writes "!EXP!" + prefix + what() at ERROR, and an event if asked.
    static void LogException(const std::exception& e, const std::string& prefix, bool toEventLog);
    static void ThrowEvent(LogLevel level, const std::string& text,
                           EventCategory category = EventCategory::Reporting);

    static LogLevel Threshold();
    // CurrentFilePath is the file that the next line goes to (empty before Init).
    static std::string CurrentFilePath();

    // SetStdoutCopy turns the standard-output copy of every line on or off. It starts on,
    // unless the environment variable QVYLD_LOG_STDOUT is "0" (tests and benchmarks) or the
    // daemon runs under a service manager (JOURNAL_STREAM or NOTIFY_SOCKET is set, unless
    // QVYLD_LOG_STDOUT is "1"). Each copied line is one unbuffered write.
    static void SetStdoutCopy(bool enabled);

    // ResetForTests returns the logger to its never-initialised state (the stdout switch
    // and the test clock stay as they are).
    static void ResetForTests();
    // SetClockForTests replaces the clock of the lines, the headers and the file date
    // (100-ns units since 1970); an empty function restores the system clock.
    static void SetClockForTests(std::function<std::int64_t()> now);
    // SetFileCapForTests replaces the 100 MB cap of a day's file.
    static void SetFileCapForTests(std::uint64_t bytes);
};
