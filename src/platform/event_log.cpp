#include "platform/event_log.h"

namespace platform {

const char* EventCategoryText(std::uint16_t category) {
    switch (category) {
        case kEventCategoryReporting:
            return "Launcher Reporting Events";
        case kEventCategoryStarted:
            return "Launcher Status Events : started";
        case kEventCategoryStopped:
            return "Launcher Status Events : stopped";
        default:
            return "";
    }
}

}  // namespace platform
