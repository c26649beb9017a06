// event_log.h: the system event log. The daemon reports under one event source, "Vantaro
// Launcher"; on POSIX the events go to syslog with that ident and the category's text at
// the start of the message.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class EventType { Information, Warning, Error };

// Event categories of the source, and their texts.
inline constexpr std::uint16_t kEventCategoryReporting = 1;
inline constexpr std::uint16_t kEventCategoryStarted = 2;
inline constexpr std::uint16_t kEventCategoryStopped = 3;
// EventCategoryText is the display text of a category ("" for an unknown one).
const char* EventCategoryText(std::uint16_t category);

inline constexpr const char* kEventSourceName = "Vantaro Launcher";
// kEventIdText is the id of the message whose text is its single insertion string.
inline constexpr std::uint32_t kEventIdText = 0x40000101;

// WriteEvent reports one event with the text as its single string; false with the system
// error in error when the event could not be written.
bool WriteEvent(EventType type, std::uint16_t category, std::uint32_t eventId,
                const std::string& text, std::uint32_t& error);

}  // namespace platform
