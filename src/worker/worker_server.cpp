#include <future>
#include <thread>

#include "base/logger.h"
#include "platform/message_pipe.h"
#include "platform/sys_error.h"
#include "platform/window_messages.h"
#include "session/companions.h"
#include "session/operations_local.h"
#include "worker/worker.h"

namespace Worker {

namespace {

constexpr const char* kTag = "[Worker::Serve]";

// Backbone is the worker's window: it lives on a thread of its own (a window receives on
// the thread that made it) and stops the pipe loop when the quit message comes.
class Backbone {
  public:
    explicit Backbone(platform::PipeListener& listener) : listener_(listener) {}
    ~Backbone() { Stop(); }
    Backbone(const Backbone&) = delete;
    Backbone& operator=(const Backbone&) = delete;

    // Start returns once the window exists, or could not be made (the worker then still
    // serves, and can be stopped through its pipe or its group).
    void Start() {
        std::promise<void> ready;
        std::future<void> made = ready.get_future();
        thread_ = std::thread([this, &ready] { Loop(ready); });
        made.wait();
    }

    void Stop() {
        if (thread_.joinable()) {
            window_.Interrupt();
            thread_.join();
        }
    }

  private:
    void Loop(std::promise<void>& ready) {
        const std::uint32_t error = window_.Create(Companions::kWorkerWindowClass);
        ready.set_value();
        if (error != platform::SysError::SUCCESS) {
            Logger::Warn(std::string(kTag) + "no window \"" + Companions::kWorkerWindowClass +
                         "\" : " + platform::SystemErrorMessage(error));
            return;
        }
        platform::WindowMessage message;
        while (window_.Receive(message) == platform::SysError::SUCCESS) {
            if (message.message == Companions::kWorkerQuitMessage && message.wparam == 0 &&
                message.lparam == 0) {
                Logger::Info(std::string(kTag) + "quit message received");
                listener_.Interrupt();
                return;
            }
            Logger::Debug(std::string(kTag) +
                          "message ignored : " + std::to_string(message.message));
        }
    }

    platform::PipeListener& listener_;
    platform::MessageWindow window_;
    std::thread thread_;
};

// ServeOne answers one connection; false when it asked the worker to stop.
bool ServeOne(platform::PipeConnection& connection) {
    std::string message;
    const std::uint32_t error = connection.ReadMessage(message);
    if (error != platform::SysError::SUCCESS) {
        // A client that connects and leaves (a liveness probe) sends nothing.
        Logger::Debug(std::string(kTag) +
                      "no request on this connection : " + platform::SystemErrorMessage(error));
        return true;
    }
    if (message == Companions::kStopMessage) {
        Logger::Info(std::string(kTag) + "stop request received");
        return false;
    }
    const std::string reply = HandleRequest(message)->Print();
    std::size_t written = 0;
    const std::uint32_t writeError = connection.Write(reply, written);
    if (writeError != platform::SysError::SUCCESS) {
        Logger::Error(std::string(kTag) +
                      "fail to write the reply : " + platform::SystemErrorMessage(writeError));
    }
    return true;
}

}  // namespace

int Serve(const std::string& pipeName) {
    Logger::Info(std::string(kTag) + "serving pipe " + pipeName);
    platform::PipeListener listener;
    std::uint32_t error = platform::PrepareRuntimeFolder(platform::RuntimeOwner::Self());
    if (error == platform::SysError::SUCCESS) {
        error = listener.Create(pipeName);
    }
    if (error != platform::SysError::SUCCESS) {
        Logger::Error(std::string(kTag) + "fail to create the pipe " + pipeName + " : " +
                      platform::SystemErrorMessage(error));
        return Companions::kExitPipeFailed;
    }
    Backbone backbone(listener);
    backbone.Start();
    int exitCode = Companions::kExitOk;
    for (;;) {
        platform::PipeConnection connection;
        error = listener.Accept(connection);
        if (error == platform::SysError::OPERATION_ABORTED) {
            break;
        }
        if (error == platform::SysError::ACCESS_DENIED) {
            Logger::Warn(std::string(kTag) + "connection from another user refused");
            continue;
        }
        if (error != platform::SysError::SUCCESS) {
            Logger::Error(std::string(kTag) +
                          "fail to accept a connection : " + platform::SystemErrorMessage(error));
            exitCode = Companions::kExitPipeFailed;
            break;
        }
        if (!ServeOne(connection)) {
            break;
        }
    }
    backbone.Stop();
    Logger::Info(std::string(kTag) + "worker ends");
    return exitCode;
}

int PostStatus(const std::string& description) {
    JSON::JSONDocument document;
    PostRequest request;
    if (document.Parse(description) != 0 || !ReadPostRequest(document.Root(), request)) {
        Logger::Error("[Worker::PostStatus]not a window message description : " + description);
        return Companions::kExitPostFailed;
    }
    return Operations::Local::PostMessageToWindow(request.windowClass, request.message,
                                                  request.wparam, request.lparam)
               ? Companions::kExitOk
               : Companions::kExitPostFailed;
}

}  // namespace Worker
