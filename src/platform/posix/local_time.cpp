#include "platform/local_time.h"

#include <time.h>

#include <cstdio>

namespace platform {
namespace {

bool LocalAt(std::int64_t seconds, std::tm& out) {
    const time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, &out) != nullptr;
}

// StandardOffset finds the zone's standard-time offset in the year of the given time by
// probing its first days of January and July; hasDaylight tells whether either is in
// daylight time.
bool StandardOffset(std::int64_t seconds, long& offset, bool& hasDaylight) {
    std::tm now{};
    if (!LocalAt(seconds, now)) {
        return false;
    }
    std::tm probe{};
    probe.tm_year = now.tm_year;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    hasDaylight = false;
    bool found = false;
    for (int month : {0, 6}) {
        std::tm p = probe;
        p.tm_mon = month;
        const time_t t = ::mktime(&p);
        std::tm local{};
        if (t == static_cast<time_t>(-1) || ::localtime_r(&t, &local) == nullptr) {
            continue;
        }
        if (local.tm_isdst > 0) {
            hasDaylight = true;
        } else if (!found) {
            offset = local.tm_gmtoff;
            found = true;
        }
    }
    if (!found && now.tm_isdst <= 0) {
        offset = now.tm_gmtoff;
        found = true;
    }
    return found;
}

}  // namespace

bool ToLocalTime(std::int64_t secondsSince1970, std::tm& out) {
    return LocalAt(secondsSince1970, out);
}

std::string ZoneText(std::int64_t secondsSince1970) {
    std::tm now{};
    long offset = 0;
    bool hasDaylight = false;
    if (!LocalAt(secondsSince1970, now) || now.tm_isdst < 0 ||
        !StandardOffset(secondsSince1970, offset, hasDaylight)) {
        return "(?)";
    }
    char letter = 'i';
    if (now.tm_isdst > 0) {
        letter = 'd';
    } else if (hasDaylight) {
        letter = 's';
    }
    const int absMinutes = static_cast<int>((offset < 0 ? -offset : offset) / 60) % (100 * 60);
    char text[32] = {};
    std::snprintf(text, sizeof text, "%c%.2i%.2i%c", offset >= 0 ? '+' : '-', absMinutes / 60,
                  absMinutes % 60, letter);
    return text;
}

void ReloadTimeZone() {
    ::tzset();
}

}  // namespace platform
