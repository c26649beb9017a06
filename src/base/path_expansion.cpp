#include "base/path_expansion.h"

#include <algorithm>

#include "base/toolbox.h"

namespace ToolBox {

std::string ExpandPercentVariables(const std::string& text, const VariableLookup& lookup) {
    if (std::count(text.begin(), text.end(), '%') < 2) {
        return text;
    }
    std::string result;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t open = text.find('%', position);
        const std::size_t close =
            open == std::string::npos ? std::string::npos : text.find('%', open + 1);
        if (close == std::string::npos) {
            result.append(text, position, std::string::npos);
            break;
        }
        result.append(text, position, open - position);
        const std::string name = text.substr(open + 1, close - open - 1);
        const std::optional<std::string> value = name.empty() ? std::nullopt : lookup(name);
        result += value ? *value : text.substr(open, close - open + 1);
        position = close + 1;
    }
    return result;
}

std::optional<std::string> UserFolderVariable(const std::string& name,
                                              const VariableLookup& environment) {
    const auto nonEmpty = [&environment](const char* variable) -> std::optional<std::string> {
        std::optional<std::string> value = environment(variable);
        return value && !value->empty() ? value : std::nullopt;
    };
    if (name == "USERNAME") {
        return nonEmpty("USER");
    }
    if (name == "TEMP" || name == "TMP") {
        return nonEmpty("TMPDIR").value_or("/tmp");
    }
    const std::optional<std::string> home = nonEmpty("HOME");
    if (!home) {
        return std::nullopt;
    }
    if (name == "USERPROFILE") {
        return home;
    }
    if (name == "APPDATA") {
        return nonEmpty("XDG_CONFIG_HOME").value_or(JoinPath(*home, ".config"));
    }
    if (name == "LOCALAPPDATA") {
        return nonEmpty("XDG_DATA_HOME").value_or(JoinPath(JoinPath(*home, ".local"), "share"));
    }
    return std::nullopt;
}

}  // namespace ToolBox
