#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "base/toolbox.h"
#include "platform/local_time.h"

namespace ToolBox {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksPerMilli = 10'000;

const std::string& ZoneTextOnce() {
    static std::once_flag once;
    static std::string text;
    std::call_once(once, [] { text = platform::ZoneText(NowTime100ns() / kTicksPerSecond); });
    return text;
}

std::string Strftime(const std::string& format, const std::tm& tm) {
    if (format.empty()) {
        return {};
    }
    std::string out(64 + format.size() * 4, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::size_t n = std::strftime(out.data(), out.size(), format.c_str(), &tm);
        if (n > 0) {
            out.resize(n);
            return out;
        }
        out.resize(out.size() * 4);
    }
    // A format whose result is empty (e.g. "%p" in some locales) ends here too.
    return {};
}

}  // namespace

std::int64_t NowTime100ns() {
    using namespace std::chrono;
    return duration_cast<duration<std::int64_t, std::ratio<1, kTicksPerSecond>>>(
               system_clock::now().time_since_epoch())
        .count();
}

std::string FormatTime(std::optional<std::int64_t> time, bool withMillis, bool withZone,
                       const std::string& format) {
    const std::int64_t ticks = time.value_or(NowTime100ns());
    std::int64_t seconds = ticks / kTicksPerSecond;
    std::int64_t rest = ticks % kTicksPerSecond;
    if (rest < 0) {
        --seconds;
        rest += kTicksPerSecond;
    }
    std::tm tm{};
    std::string out;
    if (platform::ToLocalTime(seconds, tm)) {
        out = Strftime(format, tm);
    }
    if (withMillis) {
        char millis[8] = {};
        std::snprintf(millis, sizeof millis, ".%.3lld",
                      static_cast<long long>(rest / kTicksPerMilli));
        out += millis;
    }
    if (withZone) {
        out += ZoneTextOnce();
    }
    return out;
}

}  // namespace ToolBox
