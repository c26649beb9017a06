// DaemonVersion is a protocol level: a major and a minor index, -1 when not set. The service
// has three fixed levels: the current level (the highest a page may ask for), the build level
// and the compatibility level (the lowest a page may ask for).
#pragma once

#include <cstdint>
#include <string>

class DaemonVersion {
  public:
    static constexpr std::int32_t kUnset = -1;

    std::int32_t major = kUnset;
    std::int32_t minor = kUnset;

    DaemonVersion() = default;
    DaemonVersion(std::int32_t majorIndex, std::int32_t minorIndex)
        : major(majorIndex), minor(minorIndex) {}

    // Parse reads "major[.minor]". Each index is a whole signed decimal number (leading
    // blanks and a sign allowed) that must not be negative; a missing minor stays -1. out is
    // written only on success.
    static bool Parse(const std::string& text, DaemonVersion& out);

    // ToString prints "major.minor", or "N/A" when either index is unset.
    std::string ToString() const;

    // Compare gives 1 / -1 when this major index is greater / smaller than the given one,
    // else 2 / -2 for the minor index, else 0. "At least M.N" is Compare(M, N) >= 0.
    std::int32_t Compare(std::int32_t majorIndex, std::int32_t minorIndex) const;

    bool operator<(const DaemonVersion& other) const;
    bool operator>(const DaemonVersion& other) const;

    // The fixed levels are computed at each call: a configured override that parses
    // replaces the built-in value.
    static DaemonVersion GetCurrentDaemonLevel();
    static DaemonVersion GetBuildLevel();
    static DaemonVersion GetCompatibilityLevel();
};
