#include "base/daemon_version.h"

#include <cctype>
#include <charconv>
#include <limits>
#include <vector>

#include "base/config.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/query_text.h"

namespace {

constexpr std::size_t kMaxFields = 2;

// ToIndex converts the whole text as a signed base-10 32-bit number; leading blanks and a
// sign are accepted, anything after the digits is not.
bool ToIndex(const std::string& text, std::int32_t& value) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size() || !std::isdigit(static_cast<unsigned char>(text[pos]))) {
        return false;
    }
    std::int64_t magnitude = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data() + pos, end, magnitude);
    if (error != std::errc() || stop != end) {
        return false;
    }
    const std::int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < std::numeric_limits<std::int32_t>::min() ||
        signedValue > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

// ParseIndex reads one index; name is "Major" or "Minor" as the log lines spell it.
bool ParseIndex(const std::string& piece, const char* name, std::int32_t& index) {
    Logger::Internal(std::string("[DaemonVersion::Parse]{") + name +
                     "} index string to parse: " + ToolBox::EscapeControls(piece));
    std::int32_t value = 0;
    if (!ToIndex(piece, value)) {
        Logger::Warn(std::string("[DaemonVersion::Parse]Fail to convert [") + name +
                     "] index string to num : [" + ToolBox::EscapeControls(piece) + "]");
        return false;
    }
    if (value < 0) {
        Logger::Internal(
            std::string("[DaemonVersion::Parse]The parsed [") + name +
            "] index is invalid (all indexes must be positive): " + std::to_string(value));
        return false;
    }
    index = value;
    return true;
}

// FixedLevel is the built-in level unless the configuration variable holds one that parses.
DaemonVersion FixedLevel(DaemonVersion level, std::int32_t overrideId) {
    std::string text;
    if (Config::GetVariable(overrideId, text)) {
        DaemonVersion forced;
        if (DaemonVersion::Parse(text, forced)) {
            return forced;
        }
    }
    return level;
}

}  // namespace

bool DaemonVersion::Parse(const std::string& text, DaemonVersion& out) {
    Logger::Internal("[DaemonVersion::Parse]try to parse version string : " +
                     ToolBox::EscapeControls(text));
    if (text.empty()) {
        Logger::Internal("[DaemonVersion::Parse]Cannot parse empty string !");
        return false;
    }
    const std::vector<std::string> pieces = ToolBox::SplitText(text, '.');
    if (pieces.size() > kMaxFields) {
        Logger::Internal(
            "[DaemonVersion::Parse]Fail to parse version string [" + ToolBox::EscapeControls(text) +
            "] ! Too much fields. ( maximum fields count : " + std::to_string(kMaxFields) + ")");
        return false;
    }
    DaemonVersion parsed;
    if (!ParseIndex(pieces[0], "Major", parsed.major)) {
        return false;
    }
    if (pieces.size() > 1 && !ParseIndex(pieces[1], "Minor", parsed.minor)) {
        return false;
    }
    out = parsed;
    return true;
}

std::string DaemonVersion::ToString() const {
    if (major == kUnset || minor == kUnset) {
        return "N/A";
    }
    return std::to_string(major) + "." + std::to_string(minor);
}

std::int32_t DaemonVersion::Compare(std::int32_t majorIndex, std::int32_t minorIndex) const {
    if (major != majorIndex) {
        return major > majorIndex ? 1 : -1;
    }
    if (minor != minorIndex) {
        return minor > minorIndex ? 2 : -2;
    }
    return 0;
}

bool DaemonVersion::operator<(const DaemonVersion& other) const {
    return Compare(other.major, other.minor) < 0;
}

bool DaemonVersion::operator>(const DaemonVersion& other) const {
    return Compare(other.major, other.minor) > 0;
}

DaemonVersion DaemonVersion::GetCurrentDaemonLevel() {
    return FixedLevel(DaemonVersion(2, 6), ConfigId::FORCE_VERSION_EXT);
}

DaemonVersion DaemonVersion::GetBuildLevel() {
    return FixedLevel(DaemonVersion(7, 3), ConfigId::FORCE_VERSION_INT);
}

DaemonVersion DaemonVersion::GetCompatibilityLevel() {
    return DaemonVersion(0, 1);
}
