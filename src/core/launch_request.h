// LaunchRequest is the parameter object of a launch or shortcut request, read once, with
// the checks that keep a page's texts from changing what runs: control characters, names
// that leave the installation, black-listed executables, environment variable syntax.
#pragma once

#include <string>
#include <vector>

#include "base/json/json.h"

class ZorvidRequestInfo;

struct LaunchRequest {
    std::string installPath;
    std::string osds;
    std::string installationType;
    std::string level;
    std::string exeName;
    const JSON::JSONItem* envString = nullptr;  // points into the request's parameters
    std::string dirEnv;
    std::string vrkEnvFileName;
    std::string argString;
    std::string nativeLauncherName;  // lower case
    bool createShortcut = false;
    std::string scName;
    std::string iconRelPath;
    std::string scDesc;
    std::string instID;
    const JSON::JSONItem* fileArgStrings = nullptr;

    // Read takes the members of params (absent texts are empty).
    static LaunchRequest Read(const JSON::JSONItem& params);

    // TextRefusal says which text member holds a control character (none may: each ends
    // up in a command line, a file name or a desktop entry); empty when none does.
    std::string TextRefusal() const;

    static bool HasControlCharacter(const std::string& text);
    // Printable shows control characters as \xNN, for log lines.
    static std::string Printable(const std::string& text);
    // IsRelativeName is true for a non-empty relative path without "..": the name of a file
    // below a folder of the installation.
    static bool IsRelativeName(const std::string& name);
    // IsBlackListed compares the file part of name with the launch black list, in any
    // letter case, without blanks or dots at either end, and with or without ".exe".
    static bool IsBlackListed(const std::string& name);
    // VariableText is the value of an "envString" member as the environment file gets it.
    static std::string VariableText(const JSON::JSONItem& value);
    // VariableRefusal says why name=value cannot be set: a name that is empty or holds a
    // blank, "=" or a control character, a value that holds a control character. Empty when
    // it can.
    static std::string VariableRefusal(const std::string& name, const std::string& value);
};

// MakeShortcutFor finds the shortcut's icon (given, encoded inline, or the executable's)
// and asks the worker for the shortcut that runs command: 0, 138 or 128.
std::int32_t MakeShortcutFor(const ZorvidRequestInfo& request, const std::string& tag,
                             const LaunchRequest& params, const std::string& runtime,
                             const std::vector<std::string>& command);
