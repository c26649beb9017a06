#include "platform/local_time.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace platform {

bool ToLocalTime(std::int64_t secondsSince1970, std::tm& out) {
    const __time64_t t = secondsSince1970;
    return ::_localtime64_s(&out, &t) == 0;
}

std::string ZoneText(std::int64_t /*secondsSince1970*/) {
    // The system reports the zone in force now; the daemon asks once per process.
    TIME_ZONE_INFORMATION info{};
    const DWORD id = ::GetTimeZoneInformation(&info);
    if (id == TIME_ZONE_ID_INVALID) {
        return "(?)";
    }
    LONG bias = info.Bias;
    char letter = 'i';
    if (id == TIME_ZONE_ID_STANDARD) {
        bias += info.StandardBias;
        letter = 's';
    } else if (id == TIME_ZONE_ID_DAYLIGHT) {
        letter = 'd';
    }
    const LONG absBias = bias < 0 ? -bias : bias;
    char text[16] = {};
    std::snprintf(text, sizeof text, "%c%.2i%.2i%c", bias <= 0 ? '+' : '-',
                  static_cast<int>(absBias / 60), static_cast<int>(absBias % 60), letter);
    return text;
}

void ReloadTimeZone() {
    ::_tzset();
}

}  // namespace platform
