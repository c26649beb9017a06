// notify_icon.h: the visible side of the tray program on Windows: an icon in the session's
// notification area with a small menu, balloon notices from that icon, the spinner's busy
// window, and the message loop of the thread that owns them.
//
// Windows: Shell_NotifyIconW on a hidden window of the owning thread; a popup window painted
// with GDI for the spinner. There is no POSIX backend: the Linux tray draws with its desktop
// toolkit (src/tray/desktop.cpp), so this header is only compiled into Windows programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// NotifyMenuItem is one line of the icon's menu; action runs on the owning thread when the
// user picks an enabled line.
struct NotifyMenuItem {
    std::string label;
    bool enabled = false;
    std::function<void()> action;
};

// NotifyIcon belongs to the thread that calls Open: its windows receive their messages
// there, so Open, the Show calls, SetLabel and Run must all run on that thread. Quit and Post
// may be called from any thread once Open has succeeded.
class NotifyIcon {
  public:
    struct Impl;

    NotifyIcon();
    ~NotifyIcon();
    NotifyIcon(const NotifyIcon&) = delete;
    NotifyIcon& operator=(const NotifyIcon&) = delete;

    // Open makes the hidden window that receives the icon's events and the posted tasks.
    // SUCCESS or the system's error.
    std::uint32_t Open(const std::string& title);
    // ShowIcon adds the icon, with the title as its tip, and its menu. SUCCESS, or the error
    // when the session's notification area refused it (no shell runs there): the loop, the
    // tasks and the spinner still work without it.
    std::uint32_t ShowIcon(std::vector<NotifyMenuItem> menu);
    // SetLabel changes the label of one menu line.
    void SetLabel(std::size_t index, const std::string& label);
    // ShowBalloon shows a notice from the icon. SUCCESS, NOT_FOUND without an icon, or the
    // error of the notification area.
    std::uint32_t ShowBalloon(const std::string& title, const std::string& text);
    // ShowSpinner opens a small busy window above the others in the middle of the screen;
    // it stays until the NotifyIcon is destroyed.
    std::uint32_t ShowSpinner();
    // Run dispatches the thread's messages until Quit; at once without a successful Open.
    void Run();
    void Quit();
    // Post runs the task on the owning thread, in the order of the posts.
    void Post(std::function<void()> task);

  private:
    std::unique_ptr<Impl> impl_;
};

// OpenInShell opens a folder or a document with the user's default program. SUCCESS or the
// shell's error.
std::uint32_t OpenInShell(const std::string& path);

}  // namespace platform
