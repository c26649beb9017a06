#include "base/config.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include "base/logger.h"
#include "base/toolbox.h"

using ToolBox::Join;

namespace {

const std::map<std::string, std::int32_t>& OptionNames() {
    static const std::map<std::string, std::int32_t> kNames = {
        {"WAIT_FOR_DEBUG", ConfigId::WAIT_FOR_DEBUG},
        {"DO_NOT_USE_VARLIST", ConfigId::DO_NOT_USE_VARLIST},
        {"KEEP_MEDIA_UNZIP", ConfigId::KEEP_MEDIA_UNZIP},
        {"DO_JSON_PRINT", ConfigId::DO_JSON_PRINT},
        {"IGNORE_POPUP", ConfigId::IGNORE_POPUP},
        {"DO_NOT_USE_ENVLIST", ConfigId::DO_NOT_USE_ENVLIST},
        {"ABLE_TO_USE_CUSTOM", ConfigId::ABLE_TO_USE_CUSTOM},
        {"DISPLAY_SESSIONS_INFOS", ConfigId::DISPLAY_SESSIONS_INFOS},
        {"IGNORE_TOKEN_ERROR", ConfigId::IGNORE_TOKEN_ERROR},
        {"NO_NEED_SEC", ConfigId::NO_NEED_SEC},
        {"DISABLE_REMOTE_LOGGING", ConfigId::DISABLE_REMOTE_LOGGING},
        {"IGNORE_INVALID_CERT", ConfigId::IGNORE_INVALID_CERT},
        {"DEBUG_CONTEXT", ConfigId::DEBUG_CONTEXT},
        {"LOGGER_EX_MODE", ConfigId::LOGGER_EX_MODE},
        {"KEEP_MEDIA_ZIP", ConfigId::KEEP_MEDIA_ZIP},
        {"VRKSYS_HTTP_LOGGING", ConfigId::VRKSYS_HTTP_LOGGING},
        {"SUPER_LOGGER", ConfigId::SUPER_LOGGER},
        {"KEEP_ICON_RAW_IMAGE", ConfigId::KEEP_ICON_RAW_IMAGE},
    };
    return kNames;
}

const std::map<std::string, std::int32_t>& VariableNames() {
    static const std::map<std::string, std::int32_t> kNames = {
        {"LOGLEVEL", ConfigId::LOGLEVEL},
        {"TEST_MODE", ConfigId::TEST_MODE},
        {"FORCE_VERSION_MSI", ConfigId::FORCE_VERSION_MSI},
        {"FORCE_VERSION_EXT", ConfigId::FORCE_VERSION_EXT},
        {"FORCE_VERSION_INT", ConfigId::FORCE_VERSION_INT},
        {"IFRAME_PATH", ConfigId::IFRAME_PATH},
        {"AUTH_WS_URL", ConfigId::AUTH_WS_URL},
        {"LOG_GROUP", ConfigId::LOG_GROUP},
    };
    return kNames;
}

struct ConfigState {
    // Init runs under the exclusive lock; the readers share it, so a late Activate is safe.
    std::shared_mutex mutex;
    bool ready = false;
    std::set<std::int32_t> activated;
    std::map<std::int32_t, std::string> variables;
};

ConfigState& State() {
    static ConfigState state;
    return state;
}

std::string Trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return text.substr(begin, end - begin);
}

void ReadEnvironment(ConfigState& s) {
    const char* uuid = std::getenv("PMX_KTV_UUID");
    if (uuid == nullptr || *uuid == '\0') {
        return;
    }
    s.activated.insert(ConfigId::KTV_MODE);
    const char* tool = std::getenv("PMX_KTV_EXECTOOL");
    if (tool != nullptr && std::string(tool).find("MemoryCheck") != std::string::npos) {
        s.activated.insert(ConfigId::KTV_MEMORY_CHECK);
    }
}

void ParseLine(ConfigState& s, std::string line) {
    const auto hash = line.find('#');
    if (hash != std::string::npos) {
        line.resize(hash);
    }
    if (line.empty()) {
        return;
    }
    const auto equal = line.find('=');
    if (equal != std::string::npos) {
        const std::string name = Trim(line.substr(0, equal));
        const auto it = VariableNames().find(name);
        if (it == VariableNames().end()) {
            Logger::InternalDeferred("[Config::Init]unknown variable name: [" + name + "]");
            return;
        }
        s.variables[it->second] = line.substr(equal + 1);
        return;
    }
    const std::string name = Trim(line);
    const auto it = OptionNames().find(name);
    if (it == OptionNames().end()) {
        Logger::InternalDeferred("[Config::Init]unknown option name: [" + name + "]");
        return;
    }
    s.activated.insert(it->second);
}

void ReadFile(ConfigState& s, const std::string& path) {
    if (!ToolBox::IsFile(path)) {
        Logger::InternalDeferred("[Config::Init]No config file found (" + path + ").");
        return;
    }
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(path, lines)) {
        Logger::WarnDeferred("[Config::Init]Fail to open this file : " + path);
    }
    if (lines.empty()) {
        Logger::DebugDeferred("[Config::Init] config file empty : " + path);
    }
    Logger::InternalDeferred("[Config::Init] config file content : " + Join(lines, "\n"));
    for (const auto& line : lines) {
        ParseLine(s, line);
    }
}

std::string Describe(const ConfigState& s) {
    std::string text = "[Config::DisplayConfig]Current Configuration set :\n-[ConfigOption]:{";
    bool first = true;
    for (const auto id : s.activated) {
        if (!first) {
            text += ", ";
        }
        text += std::to_string(id);
        first = false;
    }
    text += "}\n-[ConfigVariable]:\n";
    first = true;
    for (const auto& [id, value] : s.variables) {
        if (!first) {
            text += '\n';
        }
        text += "(";
        text += std::to_string(id);
        text += "):{";
        text += value;
        text += "}";
        first = false;
    }
    return text;
}

}  // namespace

bool Config::Init(const std::string& path) {
    auto& s = State();
    {
        std::unique_lock lock(s.mutex);
        if (s.ready) {
            return true;
        }
        s.activated.insert(ConfigId::DO_NOT_USE_ENVLIST);
        ReadEnvironment(s);
        std::string file = path;
        if (const char* ktvPath = std::getenv("KtvConfPath"); ktvPath != nullptr) {
            file = ktvPath;
            Logger::InternalDeferred("[Config::Init]Ktv conf var detected : " + file);
        }
        ReadFile(s, file);
        s.ready = true;
    }
    DisplayConfig();
    return true;
}

bool Config::IsActivated(std::int32_t id) {
    auto& s = State();
    bool active = false;
    {
        std::shared_lock lock(s.mutex);
        if (!s.ready) {
            lock.unlock();
            Logger::InternalDeferred("[Config::IsActivated]Config not ready !");
            return false;
        }
        active = s.activated.count(id) > 0;
    }
    Logger::InternalDeferred("[Config::IsActivated] this Option [" + std::to_string(id) +
                             (active ? "] is activated." : "] is NOT activated."));
    return active;
}

bool Config::GetVariable(std::int32_t id, std::string& value) {
    value.clear();
    auto& s = State();
    std::shared_lock lock(s.mutex);
    if (!s.ready) {
        lock.unlock();
        Logger::InternalDeferred("[Config::IsActivated]Config not ready !");
        return false;
    }
    const auto it = s.variables.find(id);
    if (it == s.variables.end()) {
        return false;
    }
    value = it->second;
    return true;
}

void Config::Activate(std::int32_t id) {
    auto& s = State();
    std::unique_lock lock(s.mutex);
    s.activated.insert(id);
}

void Config::DisplayConfig() {
    auto& s = State();
    std::string text;
    {
        std::shared_lock lock(s.mutex);
        text = Describe(s);
    }
    Logger::DebugDeferred(text);
}

void Config::ResetForTests() {
    auto& s = State();
    std::unique_lock lock(s.mutex);
    s.ready = false;
    s.activated.clear();
    s.variables.clear();
}

void Config::SetVariableForTests(std::int32_t id, const std::string& value) {
    auto& s = State();
    std::unique_lock lock(s.mutex);
    s.variables[id] = value;
}

void Config::DeactivateForTests(std::int32_t id) {
    auto& s = State();
    std::unique_lock lock(s.mutex);
    s.activated.erase(id);
}
