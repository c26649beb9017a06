// The worker program: the GUI executable started by the daemon in a user's session, as that
// user. "run <pipe>" serves the daemon's requests until "STOP" or the quit message of its
// window; "postStatus <json>" posts one window message and ends.
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"

namespace Worker {

// PostRequest is a window message described by {"wnd", "label", "lparam", "wparam"}, the
// numbers written as decimal texts.
struct PostRequest {
    std::string windowClass;
    std::uint32_t message = 0;
    std::uint64_t wparam = 0;
    std::int64_t lparam = 0;
};

// ReadPostRequest reads the description; false when a member is missing or not a number.
bool ReadPostRequest(const JSON::JSONItem* description, PostRequest& request);

// HandleRequest answers one request message with its reply object {"rc", "content"}
// (and "message" when rc is not 0).
JSON::ItemPtr HandleRequest(const std::string& message);

// Serve creates the pipe and the window and answers requests until told to stop; the exit
// code of the program.
int Serve(const std::string& pipeName);

// PostStatus posts the message described by the JSON text; the exit code of the program.
int PostStatus(const std::string& description);

// Update installs the launcher's package while it owns the update mutex, and writes its
// progress and outcome to the log file; the exit code of the program (Companions::kExitOk,
// kExitUpdateBusy, kExitUpdateFailed).
int Update(const std::string& package, const std::string& log);

}  // namespace Worker
