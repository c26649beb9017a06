#include "platform/service_host.h"

#include <windows.h>

#include <mutex>

#include "platform/win32/win_text.h"

namespace platform {

namespace {

// HostState is the one service of this process; the service manager calls back through
// plain functions, so the callbacks live here.
struct HostState {
    std::mutex mutex;
    std::wstring serviceName;
    ServiceHost::ServiceMain serviceMain;
    ServiceHost::ControlHandler handler;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    ServiceStatus status;
};

HostState& State() {
    static HostState state;
    return state;
}

void WINAPI ServiceMainThunk(DWORD, LPWSTR*) {
    ServiceHost::ServiceMain serviceMain;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        serviceMain = State().serviceMain;
    }
    if (serviceMain) {
        serviceMain();
    }
}

void WINAPI ControlThunk(DWORD control) {
    ServiceHost::ControlHandler handler;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        handler = State().handler;
    }
    if (handler) {
        handler(control);
    }
}

}  // namespace

bool ServiceHost::RunDispatcher(const std::string& serviceName, ServiceMain serviceMain) {
    HostState& state = State();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.serviceName = win32::Utf8ToWide(serviceName);
        state.serviceMain = std::move(serviceMain);
    }
    SERVICE_TABLE_ENTRYW table[] = {{state.serviceName.data(), &ServiceMainThunk},
                                    {nullptr, nullptr}};
    const bool ran = ::StartServiceCtrlDispatcherW(table) != FALSE;
    std::lock_guard<std::mutex> lock(state.mutex);
    state.statusHandle = nullptr;
    state.handler = nullptr;
    return ran;
}

bool ServiceHost::RegisterHandler(const std::string& serviceName, ControlHandler handler) {
    HostState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!handler) {
        return false;
    }
    state.handler = std::move(handler);
    state.statusHandle =
        ::RegisterServiceCtrlHandlerW(win32::Utf8ToWide(serviceName).c_str(), &ControlThunk);
    return state.statusHandle != nullptr;
}

bool ServiceHost::SetStatus(const ServiceStatus& status) {
    HostState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.statusHandle == nullptr) {
        return false;
    }
    state.status = status;
    SERVICE_STATUS record{};
    record.dwServiceType = status.serviceType;
    record.dwCurrentState = status.currentState;
    record.dwControlsAccepted = status.controlsAccepted;
    record.dwWin32ExitCode = status.win32ExitCode;
    record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    record.dwCheckPoint = status.checkPoint;
    record.dwWaitHint = status.waitHint;
    return ::SetServiceStatus(state.statusHandle, &record) != FALSE;
}

ServiceStatus ServiceHost::CurrentStatus() {
    std::lock_guard<std::mutex> lock(State().mutex);
    return State().status;
}

std::uint32_t ProcessExitCode(const ServiceStatus& /*status*/) {
    return 0;
}

bool NotifyServiceManager(const std::string&) {
    return false;
}

}  // namespace platform
