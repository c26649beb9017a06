// local_time.h: local-time conversion and the zone text of the log lines.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace platform {

// ToLocalTime converts seconds since 1970 (UTC) to the local calendar time.
bool ToLocalTime(std::int64_t secondsSince1970, std::tm& out);
// ZoneText describes the time zone in force at the given time: sign, hours and minutes of
// the zone's standard offset ("+0100"), then 's' in standard time, 'd' in daylight time,
// 'i' when the zone has no daylight rule; "(?)" when the zone cannot be determined. The
// offset stays the standard one in daylight time, so Paris reads "+0100s" in winter and
// "+0100d" in summer.
std::string ZoneText(std::int64_t secondsSince1970);
// ReloadTimeZone makes the conversions read the zone setting again (after a change of the
// TZ environment variable, in tests).
void ReloadTimeZone();

}  // namespace platform
