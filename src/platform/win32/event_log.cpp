#include "platform/event_log.h"

#include <windows.h>

#include "platform/win32/win_text.h"

namespace platform {
namespace {

struct EventSource {
    HANDLE handle = nullptr;
    explicit EventSource(const wchar_t* name) : handle(::RegisterEventSourceW(nullptr, name)) {}
    ~EventSource() {
        if (handle != nullptr) {
            ::DeregisterEventSource(handle);
        }
    }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
};

}  // namespace

bool WriteEvent(EventType type, std::uint16_t category, std::uint32_t eventId,
                const std::string& text, std::uint32_t& error) {
    EventSource source(L"Vantaro Launcher");
    if (source.handle == nullptr) {
        error = ::GetLastError();
        return false;
    }
    WORD wtype = EVENTLOG_INFORMATION_TYPE;
    if (type == EventType::Warning) {
        wtype = EVENTLOG_WARNING_TYPE;
    } else if (type == EventType::Error) {
        wtype = EVENTLOG_ERROR_TYPE;
    }
    const std::wstring wide = win32::Utf8ToWide(text);
    const wchar_t* strings[1] = {wide.c_str()};
    if (!::ReportEventW(source.handle, wtype, category, eventId, nullptr, 1, 0, strings, nullptr)) {
        error = ::GetLastError();
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

}  // namespace platform
