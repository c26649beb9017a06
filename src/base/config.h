// Config holds the daemon's switches (options) and settings (variables), read once at
// start from "launcher.conf" and from the environment. Other code addresses them by id.
#pragma once

#include <cstdint>
#include <string>

namespace ConfigId {
// Options.
inline constexpr std::int32_t WAIT_FOR_DEBUG = 50;
inline constexpr std::int32_t DO_NOT_USE_VARLIST = 51;
inline constexpr std::int32_t KEEP_MEDIA_UNZIP = 52;
inline constexpr std::int32_t DO_JSON_PRINT = 53;
inline constexpr std::int32_t IGNORE_POPUP = 54;
inline constexpr std::int32_t DO_NOT_USE_ENVLIST = 56;
inline constexpr std::int32_t ABLE_TO_USE_CUSTOM = 57;
inline constexpr std::int32_t DISPLAY_SESSIONS_INFOS = 58;
inline constexpr std::int32_t IGNORE_TOKEN_ERROR = 59;
inline constexpr std::int32_t NO_NEED_SEC = 60;
inline constexpr std::int32_t DISABLE_REMOTE_LOGGING = 62;
inline constexpr std::int32_t IGNORE_INVALID_CERT = 63;
inline constexpr std::int32_t DEBUG_CONTEXT = 64;
inline constexpr std::int32_t KTV_MODE = 65;
inline constexpr std::int32_t LOGGER_EX_MODE = 66;
inline constexpr std::int32_t KTV_MEMORY_CHECK = 67;
inline constexpr std::int32_t KEEP_MEDIA_ZIP = 68;
inline constexpr std::int32_t VRKSYS_HTTP_LOGGING = 69;
inline constexpr std::int32_t SUPER_LOGGER = 70;
inline constexpr std::int32_t KEEP_ICON_RAW_IMAGE = 71;
// Variables.
inline constexpr std::int32_t LOGLEVEL = 1;
inline constexpr std::int32_t TEST_MODE = 2;
inline constexpr std::int32_t FORCE_VERSION_MSI = 3;
inline constexpr std::int32_t FORCE_VERSION_EXT = 4;
inline constexpr std::int32_t FORCE_VERSION_INT = 5;
inline constexpr std::int32_t IFRAME_PATH = 6;
inline constexpr std::int32_t AUTH_WS_URL = 7;
// LOG_GROUP names the group that may read the daemon's logs (default "adm").
inline constexpr std::int32_t LOG_GROUP = 8;
}  // namespace ConfigId

class Config {
  public:
    // Init reads the file once (later calls return true at once). "KtvConfPath" in the
    // environment replaces the path.
    static bool Init(const std::string& path);
    static bool IsActivated(std::int32_t id);
    static bool GetVariable(std::int32_t id, std::string& value);
    static void Activate(std::int32_t id);
    static void DisplayConfig();

    // ResetForTests forgets everything, as before the first Init.
    static void ResetForTests();
    // SetVariableForTests gives a variable a value (Init must have run).
    static void SetVariableForTests(std::int32_t id, const std::string& value);
    static void DeactivateForTests(std::int32_t id);
};
