// window_messages.h: message windows, the way the daemon and its companion programs signal
// each other in a user's session: a program owns a window of a class name; others find it
// by that name and post it a message number with two parameters. Posting never waits for
// the message to be handled.
//
// Windows: a hidden top-level window of that class; FindWindowW and PostMessageW.
// POSIX: an AF_UNIX datagram socket "<class>@<session>.wnd" in the owner's runtime folder
// (runtime_folder.h), mode 0600: a window belongs to its session, as on Windows, so one
// user in two sessions has a window of a class in each ("<class>.wnd" when the session is
// unknown, see OwnSessionId). Only the owning user and root can post: the folder and
// the socket keep others out, and the window drops datagrams whose sender credentials are
// neither.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/runtime_folder.h"

namespace platform {

// WindowMessage is what a post carries.
struct WindowMessage {
    std::uint32_t message = 0;
    std::uint64_t wparam = 0;
    std::int64_t lparam = 0;
};

// WindowRef designates a found window; its content is the backend's.
struct WindowRef {
    std::string address;
    std::uint64_t handle = 0;
};

// MessageWindow owns a window of a class and receives what is posted to it. Create and
// Receive must run on the same thread (Windows delivers to the creating thread).
class MessageWindow {
  public:
    struct Impl;

    MessageWindow();
    ~MessageWindow();
    MessageWindow(MessageWindow&&) noexcept;
    MessageWindow& operator=(MessageWindow&&) noexcept;
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // Create makes the window in the caller's own session. 0; 183 when a live window of the
    // class already exists there; or an error.
    std::uint32_t Create(const std::string& className);
    bool IsOpen() const;
    // Receive waits for the next message. 0, 995 once Interrupt was called, or an error.
    std::uint32_t Receive(WindowMessage& message);
    // Interrupt makes the current and every later Receive return 995; any thread may call
    // it while the window is open.
    void Interrupt();
    void Close();

    Impl* Get() const { return impl_.get(); }

  private:
    std::unique_ptr<Impl> impl_;
};

// FindMessageWindow looks for a live window of the class in the owner's session.
// 0, or 1168 (not found).
std::uint32_t FindMessageWindow(const std::string& className, const RuntimeOwner& owner,
                                WindowRef& window);

// PostWindowMessage queues the message for the window. 0 or an error (5 when the caller may
// not post there, 1168 when the window has gone).
std::uint32_t PostWindowMessage(const WindowRef& window, const WindowMessage& message);

// DiscardStaleWindow removes what a window whose program ended without closing it left
// behind; a live window is left alone.
void DiscardStaleWindow(const std::string& className, const RuntimeOwner& owner);

}  // namespace platform
