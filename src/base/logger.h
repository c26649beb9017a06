// Logger is the process-wide log of the daemon: one dated text file per day, every line
// stamped with time, thread and level, a copy on the debugger output and standard output,
// and optionally a copy in the system event log. Lines logged before the logger is ready
// wait in a pending list and reach the file with the first line written directly.
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
    // cannot be prepared (the pending lines then go to the event log).
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
    // unless the environment variable QVYLD_LOG_STDOUT is "0" (tests and benchmarks).
    static void SetStdoutCopy(bool enabled);

    // ResetForTests returns the logger to its never-initialised state (the stdout switch
    // and the test clock stay as they are).
    static void ResetForTests();
    // SetClockForTests replaces the clock of the lines, the headers and the file date
    // (100-ns units since 1970); an empty function restores the system clock.
    static void SetClockForTests(std::function<std::int64_t()> now);
};
