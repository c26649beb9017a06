// A stand-in for the worker and a probe of endpoints, for the worker tests.
//   run <pipe>                serves the pipe: every reply is the text of the file named by
//                             VL_FAKE_REPLY, read afresh for each request; "@echo" answers
//                             {"rc":0,"content":<the request>}, "@hang" never answers.
//                             "STOP" ends it.
//   connect <pipe> <session>  connects to the pipe of the session's user; exits with the error.
//   post <socket path>        posts message 1049 to a window socket; exits with the error.
// and a command for the real worker to run, the same on every system:
//   exit <code>               exits with code
//   env <name>                exits with the number the variable holds (255: unset)
//   sleep <ms>                sleeps, then exits 0
//   hold <started> <go>       writes the file started, waits until the file go exists
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/message_pipe.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"

namespace {

std::string ReplyFor(const std::string& request) {
    const char* file = std::getenv("VL_FAKE_REPLY");
    std::ifstream in(file != nullptr ? file : "");
    std::ostringstream text;
    text << in.rdbuf();
    const std::string reply = text.str();
    if (reply == "@echo") {
        return "{\"rc\":0,\"content\":" + request + "}";
    }
    return reply;
}

int Serve(const std::string& pipeName) {
    platform::PipeListener listener;
    if (listener.Create(pipeName) != platform::SysError::SUCCESS) {
        return 4;
    }
    for (;;) {
        platform::PipeConnection connection;
        if (listener.Accept(connection) != platform::SysError::SUCCESS) {
            continue;
        }
        std::string request;
        if (connection.ReadMessage(request) != platform::SysError::SUCCESS) {
            continue;
        }
        if (request == "STOP") {
            return 0;
        }
        const std::string reply = ReplyFor(request);
        while (reply == "@hang") {
            std::this_thread::sleep_for(std::chrono::hours(1));
        }
        std::size_t written = 0;
        connection.Write(reply, written);
    }
}

// Hold marks that it started, then waits for its release.
int Hold(const std::string& started, const std::string& go) {
    std::ofstream(started).put('\n');
    while (!std::ifstream(go)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "run") {
        return Serve(argv[2]);
    }
    if (mode == "connect" && argc > 3) {
        platform::PipeConnection connection;
        const auto session = static_cast<std::uint32_t>(std::stoul(argv[3]));
        return static_cast<int>(platform::ConnectPipe(
            argv[2], platform::RuntimeOwner::SessionUser(session), connection));
    }
    if (mode == "exit") {
        return std::atoi(argv[2]);
    }
    if (mode == "env") {
        // The exit code is the number that the variable holds, 255 when it is unset.
        const char* value = std::getenv(argv[2]);
        return value != nullptr ? std::atoi(value) : 255;
    }
    if (mode == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
        return 0;
    }
    if (mode == "hold" && argc > 3) {
        return Hold(argv[2], argv[3]);
    }
    if (mode == "post") {
        platform::WindowRef window;
        window.address = argv[2];
        return static_cast<int>(platform::PostWindowMessage(window, {1049, 0, 0}));
    }
    return 2;
}
