#include "platform/notify_icon.h"

// shellapi.h needs the declarations of windows.h before it.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cmath>
#include <cwchar>
#include <deque>
#include <iterator>
#include <mutex>
#include <type_traits>

#include "platform/sys_error.h"
#include "platform/win32/com_ptr.h"
#include "platform/win32/win_text.h"

namespace platform {

namespace {

constexpr UINT kTaskMessage = WM_APP + 1;
constexpr UINT kQuitMessage = WM_APP + 2;
constexpr UINT kIconMessage = WM_APP + 3;
constexpr UINT kIconId = 1;
constexpr UINT_PTR kSpinnerTimer = 1;
constexpr UINT kSpinnerStepMs = 100;
constexpr int kSpinnerSize = 96;
constexpr int kSpinnerDots = 8;
constexpr int kSpinnerRadius = 28;
constexpr int kDotRadius = 6;
constexpr const wchar_t* kUiClass = L"VantaroLauncherTrayUi";
constexpr const wchar_t* kSpinnerClass = L"VantaroLauncherSpinnerUi";

// CallError is the error of a call that failed: some (Shell_NotifyIconW) fail without one.
std::uint32_t CallError() {
    const std::uint32_t error = LastError();
    return error != SysError::SUCCESS ? error : SysError::GEN_FAILURE;
}

// WindowClass registers a window class of the module for its scope.
class WindowClass {
  public:
    std::uint32_t Register(const wchar_t* name, WNDPROC procedure, HINSTANCE module) {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = module;
        windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        windowClass.lpszClassName = name;
        if (::RegisterClassExW(&windowClass) == 0) {
            return CallError();
        }
        name_ = name;
        module_ = module;
        return SysError::SUCCESS;
    }
    ~WindowClass() {
        if (name_ != nullptr) {
            ::UnregisterClassW(name_, module_);
        }
    }

  private:
    const wchar_t* name_ = nullptr;
    HINSTANCE module_ = nullptr;
};

struct WindowCloser {
    void operator()(HWND window) const { ::DestroyWindow(window); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowCloser>;

struct MenuCloser {
    void operator()(HMENU menu) const { ::DestroyMenu(menu); }
};
using UniqueMenu = std::unique_ptr<std::remove_pointer_t<HMENU>, MenuCloser>;

struct GdiCloser {
    void operator()(HGDIOBJ object) const { ::DeleteObject(object); }
};
using UniqueGdi = std::unique_ptr<std::remove_pointer_t<HGDIOBJ>, GdiCloser>;

// CopyText fills a fixed text field of the notification data, cut to fit.
template <std::size_t N>
void CopyText(wchar_t (&field)[N], const std::string& text) {
    std::wcsncpy(field, win32::Utf8ToWide(text).c_str(), N - 1);
    field[N - 1] = L'\0';
}

// PaintSpinner draws a ring of dots of which one, moving on at every step, is dark.
void PaintSpinner(HWND window, int step) {
    PAINTSTRUCT paint{};
    HDC dc = ::BeginPaint(window, &paint);
    RECT area{};
    ::GetClientRect(window, &area);
    ::FillRect(dc, &area, reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1));
    const UniqueGdi dark(::CreateSolidBrush(RGB(48, 48, 48)));
    const UniqueGdi light(::CreateSolidBrush(RGB(200, 200, 200)));
    const HGDIOBJ oldPen = ::SelectObject(dc, ::GetStockObject(NULL_PEN));
    const int center = kSpinnerSize / 2;
    for (int i = 0; i < kSpinnerDots; ++i) {
        const double angle = 6.283185307179586 * i / kSpinnerDots;
        const int x = center + static_cast<int>(kSpinnerRadius * std::cos(angle));
        const int y = center + static_cast<int>(kSpinnerRadius * std::sin(angle));
        ::SelectObject(dc, i == step % kSpinnerDots ? dark.get() : light.get());
        ::Ellipse(dc, x - kDotRadius, y - kDotRadius, x + kDotRadius, y + kDotRadius);
    }
    ::SelectObject(dc, oldPen);
    ::EndPaint(window, &paint);
}

}  // namespace

struct NotifyIcon::Impl {
    HINSTANCE module = ::GetModuleHandleW(nullptr);
    win32::ComApartment apartment;  // the shell's calls want one on this thread
    WindowClass uiClass;
    WindowClass spinnerClass;
    UniqueWindow window;  // hidden: the icon's events and the posted tasks
    UniqueWindow spinner;
    std::wstring title;
    std::vector<NotifyMenuItem> menu;
    bool iconShown = false;
    UINT taskbarCreated = ::RegisterWindowMessageW(L"TaskbarCreated");
    int spinnerStep = 0;
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;

    ~Impl() {
        // The windows go first: their procedures read this object until they are destroyed.
        RemoveIcon();
        spinner.reset();
        window.reset();
    }

    NOTIFYICONDATAW IconData(UINT flags) const {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = window.get();
        data.uID = kIconId;
        data.uFlags = flags;
        return data;
    }

    std::uint32_t AddIcon() {
        NOTIFYICONDATAW data = IconData(NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
        data.uCallbackMessage = kIconMessage;
        data.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
        std::wcsncpy(data.szTip, title.c_str(), std::size(data.szTip) - 1);
        if (!::Shell_NotifyIconW(NIM_ADD, &data)) {
            return CallError();
        }
        data.uVersion = NOTIFYICON_VERSION_4;
        ::Shell_NotifyIconW(NIM_SETVERSION, &data);
        iconShown = true;
        return SysError::SUCCESS;
    }

    void RemoveIcon() {
        if (iconShown) {
            NOTIFYICONDATAW data = IconData(0);
            ::Shell_NotifyIconW(NIM_DELETE, &data);
            iconShown = false;
        }
    }

    // ShowMenu shows the menu at the pointer and runs the chosen line's action.
    void ShowMenu() {
        const UniqueMenu popup(::CreatePopupMenu());
        if (!popup) {
            return;
        }
        for (std::size_t i = 0; i < menu.size(); ++i) {
            ::AppendMenuW(popup.get(), MF_STRING | (menu[i].enabled ? 0 : MF_GRAYED), i + 1,
                          win32::Utf8ToWide(menu[i].label).c_str());
        }
        POINT at{};
        ::GetCursorPos(&at);
        // The menu closes when the user clicks elsewhere only if its window is in front.
        ::SetForegroundWindow(window.get());
        const UINT chosen = static_cast<UINT>(
            ::TrackPopupMenu(popup.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x,
                             at.y, 0, window.get(), nullptr));
        ::PostMessageW(window.get(), WM_NULL, 0, 0);
        if (chosen >= 1 && chosen <= menu.size() && menu[chosen - 1].action) {
            menu[chosen - 1].action();
        }
    }

    void RunTasks() {
        for (;;) {
            std::function<void()> task;
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (tasks.empty()) {
                    return;
                }
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            task();
        }
    }

    LRESULT Handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == kTaskMessage) {
            RunTasks();
        } else if (message == kQuitMessage) {
            ::PostQuitMessage(0);
        } else if (message == kIconMessage) {
            const UINT event = LOWORD(lparam);
            if (event == WM_CONTEXTMENU || event == WM_RBUTTONUP || event == WM_LBUTTONUP) {
                ShowMenu();
            }
        } else if (message == taskbarCreated && iconShown) {
            // The shell has started again (explorer restarted): its area is empty.
            iconShown = false;
            AddIcon();
        } else {
            return ::DefWindowProcW(hwnd, message, wparam, lparam);
        }
        return 0;
    }
};

namespace {

// UiProcedure hands the hidden window's messages to the Impl given at its creation.
LRESULT CALLBACK UiProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* impl = reinterpret_cast<NotifyIcon::Impl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return impl != nullptr ? impl->Handle(hwnd, message, wparam, lparam)
                           : ::DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT CALLBACK SpinnerProcedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        ::SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* impl = reinterpret_cast<NotifyIcon::Impl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (impl == nullptr) {
        return ::DefWindowProcW(hwnd, message, wparam, lparam);
    }
    switch (message) {
        case WM_TIMER:
            ++impl->spinnerStep;
            ::InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_PAINT:
            PaintSpinner(hwnd, impl->spinnerStep);
            return 0;
        case WM_CLOSE:
            return 0;  // only the owner's close message ends the spinner
        default:
            return ::DefWindowProcW(hwnd, message, wparam, lparam);
    }
}

}  // namespace

NotifyIcon::NotifyIcon() = default;
NotifyIcon::~NotifyIcon() = default;

std::uint32_t NotifyIcon::Open(const std::string& title) {
    auto impl = std::make_unique<Impl>();
    impl->title = win32::Utf8ToWide(title);
    std::uint32_t error = impl->uiClass.Register(kUiClass, UiProcedure, impl->module);
    if (error != SysError::SUCCESS) {
        return error;
    }
    // A hidden top-level window rather than a message-only one: the shell sends the
    // "TaskbarCreated" broadcast to top-level windows only, and the menu needs a window that
    // can come to the front.
    impl->window.reset(::CreateWindowExW(0, kUiClass, impl->title.c_str(), WS_OVERLAPPED, 0, 0, 0,
                                         0, nullptr, nullptr, impl->module, impl.get()));
    if (!impl->window) {
        return CallError();
    }
    impl_ = std::move(impl);
    return SysError::SUCCESS;
}

std::uint32_t NotifyIcon::ShowIcon(std::vector<NotifyMenuItem> menu) {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    impl_->menu = std::move(menu);
    return impl_->iconShown ? SysError::SUCCESS : impl_->AddIcon();
}

void NotifyIcon::SetLabel(std::size_t index, const std::string& label) {
    if (impl_ && index < impl_->menu.size()) {
        impl_->menu[index].label = label;
    }
}

std::uint32_t NotifyIcon::ShowBalloon(const std::string& title, const std::string& text) {
    if (!impl_ || !impl_->iconShown) {
        return SysError::NOT_FOUND;
    }
    NOTIFYICONDATAW data = impl_->IconData(NIF_INFO);
    CopyText(data.szInfoTitle, title);
    CopyText(data.szInfo, text);
    data.dwInfoFlags = NIIF_INFO;
    return ::Shell_NotifyIconW(NIM_MODIFY, &data) ? SysError::SUCCESS : CallError();
}

std::uint32_t NotifyIcon::ShowSpinner() {
    if (!impl_) {
        return SysError::INVALID_HANDLE;
    }
    if (impl_->spinner) {
        return SysError::SUCCESS;
    }
    std::uint32_t error =
        impl_->spinnerClass.Register(kSpinnerClass, SpinnerProcedure, impl_->module);
    if (error != SysError::SUCCESS) {
        return error;
    }
    const int x = (::GetSystemMetrics(SM_CXSCREEN) - kSpinnerSize) / 2;
    const int y = (::GetSystemMetrics(SM_CYSCREEN) - kSpinnerSize) / 2;
    impl_->spinner.reset(::CreateWindowExW(
        WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kSpinnerClass, impl_->title.c_str(), WS_POPUP | WS_BORDER,
        x, y, kSpinnerSize, kSpinnerSize, nullptr, nullptr, impl_->module, impl_.get()));
    if (!impl_->spinner) {
        return CallError();
    }
    ::SetTimer(impl_->spinner.get(), kSpinnerTimer, kSpinnerStepMs, nullptr);
    ::ShowWindow(impl_->spinner.get(), SW_SHOWNOACTIVATE);
    return SysError::SUCCESS;
}

void NotifyIcon::Run() {
    if (!impl_) {
        return;
    }
    MSG message{};
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void NotifyIcon::Quit() {
    if (impl_) {
        ::PostMessageW(impl_->window.get(), kQuitMessage, 0, 0);
    }
}

void NotifyIcon::Post(std::function<void()> task) {
    if (!impl_) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->tasks.push_back(std::move(task));
    }
    ::PostMessageW(impl_->window.get(), kTaskMessage, 0, 0);
}

std::uint32_t OpenInShell(const std::string& path) {
    const win32::ComApartment apartment;
    const HINSTANCE result = ::ShellExecuteW(nullptr, L"open", win32::Utf8ToWide(path).c_str(),
                                             nullptr, nullptr, SW_SHOWNORMAL);
    // Results above 32 mean success; the others are old error numbers (2, 3, 5...).
    const auto code = reinterpret_cast<INT_PTR>(result);
    return code > 32 ? SysError::SUCCESS : static_cast<std::uint32_t>(code);
}

}  // namespace platform
