#include "platform/window_messages.h"

#include <windows.h>

#include <atomic>

#include "platform/sys_error.h"
#include "platform/win32/win_text.h"

namespace platform {

struct MessageWindow::Impl {
    std::wstring className;
    HINSTANCE module = nullptr;
    HWND window = nullptr;
    std::atomic<bool> interrupted{false};

    ~Impl() {
        if (window != nullptr) {
            ::DestroyWindow(window);
        }
        ::UnregisterClassW(className.c_str(), module);
    }
};

MessageWindow::MessageWindow() = default;
MessageWindow::~MessageWindow() = default;
MessageWindow::MessageWindow(MessageWindow&&) noexcept = default;
MessageWindow& MessageWindow::operator=(MessageWindow&&) noexcept = default;

std::uint32_t MessageWindow::Create(const std::string& className) {
    Close();
    auto impl = std::make_unique<Impl>();
    impl->className = win32::Utf8ToWide(className);
    impl->module = ::GetModuleHandleW(nullptr);
    if (::FindWindowW(impl->className.c_str(), nullptr) != nullptr) {
        return SysError::ALREADY_EXISTS;
    }
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ::DefWindowProcW;
    windowClass.hInstance = impl->module;
    windowClass.lpszClassName = impl->className.c_str();
    if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return ::GetLastError();
    }
    // A hidden top-level window: FindWindowW does not see message-only windows.
    impl->window = ::CreateWindowExW(0, impl->className.c_str(), L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                     nullptr, nullptr, impl->module, nullptr);
    if (impl->window == nullptr) {
        return ::GetLastError();
    }
    impl_ = std::move(impl);
    return SysError::SUCCESS;
}

bool MessageWindow::IsOpen() const {
    return impl_ != nullptr;
}

std::uint32_t MessageWindow::Receive(WindowMessage& message) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    MSG msg{};
    for (;;) {
        if (impl_->interrupted) {
            return SysError::OPERATION_ABORTED;
        }
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) {
            return ::GetLastError();
        }
        if (got == 0 || impl_->interrupted) {
            return SysError::OPERATION_ABORTED;
        }
        // Posted messages for our window are handed out before any dispatch, so a close
        // request is the caller's to act on.
        if (msg.hwnd == impl_->window && (msg.message == WM_CLOSE || msg.message >= WM_USER)) {
            message.message = msg.message;
            message.wparam = static_cast<std::uint64_t>(msg.wParam);
            message.lparam = static_cast<std::int64_t>(msg.lParam);
            return SysError::SUCCESS;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

void MessageWindow::Interrupt() {
    if (impl_) {
        impl_->interrupted = true;
        ::PostMessageW(impl_->window, WM_NULL, 0, 0);
    }
}

void MessageWindow::Close() {
    impl_.reset();
}

std::uint32_t FindMessageWindow(const std::string& className, const RuntimeOwner& /*owner*/,
                                WindowRef& window) {
    // Windows finds the windows of the caller's own session and desktop.
    const HWND found = ::FindWindowW(win32::Utf8ToWide(className).c_str(), nullptr);
    if (found == nullptr) {
        return SysError::NOT_FOUND;
    }
    window.handle = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(found));
    window.address = className;
    return SysError::SUCCESS;
}

std::uint32_t PostWindowMessage(const WindowRef& window, const WindowMessage& message) {
    const HWND target = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window.handle));
    if (!::PostMessageW(target, message.message, static_cast<WPARAM>(message.wparam),
                        static_cast<LPARAM>(message.lparam))) {
        const DWORD error = ::GetLastError();
        return error == ERROR_INVALID_WINDOW_HANDLE ? SysError::NOT_FOUND : error;
    }
    return SysError::SUCCESS;
}

void DiscardStaleWindow(const std::string& /*className*/, const RuntimeOwner& /*owner*/) {
    // A window goes with the process that owns it.
}

}  // namespace platform
