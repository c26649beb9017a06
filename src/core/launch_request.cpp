#include "core/launch_request.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "core/functionnal_core.h"

namespace {

constexpr std::string_view kExeSuffix = ".exe";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Canonical is the form both sides of the black-list comparison take: the file part, lower
// case, without blanks and dots at either end (Windows drops trailing ones), without ".exe".
std::string Canonical(const std::string& name) {
    std::string text = Lower(name.substr(name.find_last_of("/\\") + 1));
    const auto trim = [&text] {
        const std::size_t first = text.find_first_not_of(" \t.");
        const std::size_t last = text.find_last_not_of(" \t.");
        text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    trim();
    if (text.size() >= kExeSuffix.size() &&
        text.compare(text.size() - kExeSuffix.size(), kExeSuffix.size(), kExeSuffix) == 0) {
        text.resize(text.size() - kExeSuffix.size());
        trim();
    }
    return text;
}

std::string Text(const JSON::JSONItem& params, std::string_view key) {
    std::string value;
    JSON::GetStringField(key, value, &params);
    return value;
}

}  // namespace

LaunchRequest LaunchRequest::Read(const JSON::JSONItem& params) {
    LaunchRequest r;
    r.installPath = Text(params, "installPath");
    r.osds = Text(params, "osds");
    r.installationType = Text(params, "installationType");
    r.level = Text(params, "level");
    r.exeName = Text(params, "exeName");
    r.envString = params.Get("envString");
    r.dirEnv = Text(params, "dirEnv");
    r.vrkEnvFileName = Text(params, "vrkEnvFileName");
    r.argString = Text(params, "argString");
    r.nativeLauncherName = Lower(Text(params, "nativeLauncherName"));
    JSON::GetBoolField("createShortcut", r.createShortcut, &params);
    r.scName = Text(params, "scName");
    r.iconRelPath = Text(params, "iconRelPath");
    r.scDesc = Text(params, "scDesc");
    r.instID = Text(params, "instID");
    r.fileArgStrings = params.Get("fileArgStrings");
    return r;
}

std::string LaunchRequest::TextRefusal() const {
    const std::pair<const char*, const std::string*> texts[] = {{"installPath", &installPath},
                                                                {"osds", &osds},
                                                                {"exeName", &exeName},
                                                                {"dirEnv", &dirEnv},
                                                                {"vrkEnvFileName", &vrkEnvFileName},
                                                                {"argString", &argString},
                                                                {"scName", &scName},
                                                                {"iconRelPath", &iconRelPath},
                                                                {"scDesc", &scDesc},
                                                                {"instID", &instID}};
    for (const auto& [name, text] : texts) {
        if (HasControlCharacter(*text)) {
            return std::string("Refusing the request: \"") + name +
                   "\" holds a control character: " + Printable(*text);
        }
    }
    return {};
}

bool LaunchRequest::HasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

std::string LaunchRequest::Printable(const std::string& text) {
    std::string shown;
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

bool LaunchRequest::IsRelativeName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.front() == '\\' ||
        (name.size() > 1 && name[1] == ':')) {
        return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        const std::string part = name.substr(start, end - start);
        if (part.find_first_not_of(" .") == std::string::npos &&
            part.find("..") != std::string::npos) {
            return false;
        }
        start = end + 1;
    }
    return !HasControlCharacter(name);
}

bool LaunchRequest::IsBlackListed(const std::string& name) {
    const std::string canonical = Canonical(name);
    return std::any_of(FunctionnalCore::LAUNCH_BLACK_LIST.begin(),
                       FunctionnalCore::LAUNCH_BLACK_LIST.end(),
                       [&canonical](std::string_view listed) {
                           return Canonical(std::string(listed)) == canonical;
                       });
}

std::string LaunchRequest::VariableText(const JSON::JSONItem& value) {
    if (value.IsString()) {
        return value.GetString();
    }
    if (value.IsBool()) {
        return value.GetBool() ? "true" : "false";
    }
    if (value.IsNumber()) {
        const std::string text = value.GetString();
        const bool whole = text.find_first_of(".eE") == std::string::npos;
        return whole ? std::to_string(value.GetInt64()) : text;
    }
    return value.Print();
}

std::string LaunchRequest::VariableRefusal(const std::string& name, const std::string& value) {
    if (name.empty() || name.find_first_of(" \t=") != std::string::npos ||
        HasControlCharacter(name)) {
        return "Refusing the variable name [" + Printable(name) +
               "]: it must be non-empty, without blanks, \"=\" or control characters";
    }
    if (HasControlCharacter(value)) {
        return "Refusing the value of [" + name +
               "]: it holds a control character: " + Printable(value);
    }
    return {};
}
