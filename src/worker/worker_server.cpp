#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <system_error>
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

// How many operations run at once, how many more may wait their turn, how long a thread
// without work stays, and how long the running operations get to end once the worker stops.
constexpr std::size_t kMaxRunning = Companions::kWorkerOperationsAtOnce;
constexpr std::size_t kMaxWaiting = Companions::kWorkerOperationsWaiting;
constexpr auto kIdleThread = std::chrono::seconds(10);
constexpr auto kStopGrace = std::chrono::seconds(1);

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
        // A client that connects and leaves (a liveness probe, or a request whose own client
        // left while it waited its turn) sends nothing.
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
    if (writeError == platform::SysError::BROKEN_PIPE) {
        // The daemon gave up waiting: the client of its request has gone.
        Logger::Info(std::string(kTag) + "nobody waits for this reply any more");
    } else if (writeError != platform::SysError::SUCCESS) {
        Logger::Error(std::string(kTag) +
                      "fail to write the reply : " + platform::SystemErrorMessage(writeError));
    }
    return true;
}

// AnswerBusy refuses a connection that finds the queue full, without reading its request.
void AnswerBusy(platform::PipeConnection& connection) {
    Logger::Warn(std::string(kTag) + "too many operations at once: a request is refused");
    const std::string reply = "{\"rc\": " + std::to_string(Companions::kReplyBusy) +
                              ", \"content\": null, \"message\": \"the worker is busy\"}";
    std::size_t written = 0;
    connection.Write(reply, written);
}

// OperationQueue serves accepted connections, so that a long operation (a download, a
// setup program, a dialog waiting for the user) does not hold up the others: each runs on a
// thread of its own, at most kMaxRunning at once, and up to kMaxWaiting more wait their
// turn in order of arrival; past that a connection is answered "busy" at once. Threads are
// made when work comes and end after kIdleThread without any. They are detached and share
// the state, so that an operation that never ends cannot hold up the worker's end.
class OperationQueue {
  public:
    // stopServing is called, from a queue thread, when a client asks the worker to stop;
    // never once Finish has begun.
    explicit OperationQueue(std::function<void()> stopServing) : state_(std::make_shared<State>()) {
        state_->stopServing = std::move(stopServing);
    }

    void Push(platform::PipeConnection connection) {
        std::unique_lock lock(state_->mutex);
        if (state_->finishing) {
            return;
        }
        if (state_->waiting.size() >= kMaxWaiting) {
            lock.unlock();
            AnswerBusy(connection);
            return;
        }
        state_->waiting.push_back(std::move(connection));
        if (state_->idle < state_->waiting.size() && state_->threads < kMaxRunning) {
            AddThread();
        }
        state_->changed.notify_one();
    }

    // Finish takes no more connections, closes those still waiting and gives the running
    // operations up to grace to end; false when some still run.
    bool Finish(std::chrono::milliseconds grace) {
        std::unique_lock lock(state_->mutex);
        state_->finishing = true;
        state_->waiting.clear();
        state_->changed.notify_all();
        return state_->changed.wait_for(lock, grace, [this] { return state_->threads == 0; });
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<platform::PipeConnection> waiting;
        std::size_t threads = 0;  // alive
        std::size_t idle = 0;     // alive and waiting for work
        bool finishing = false;
        std::function<void()> stopServing;
    };

    // AddThread starts one more thread; the state's lock is held.
    void AddThread() {
        try {
            std::thread(Loop, state_).detach();
            ++state_->threads;
        } catch (const std::system_error& e) {
            // The connection waits for a thread that is already there, if any.
            Logger::Error(std::string(kTag) + "no thread for a request : " + e.what());
        }
    }

    static void Loop(std::shared_ptr<State> state) {
        std::unique_lock lock(state->mutex);
        for (;;) {
            ++state->idle;
            const bool work = state->changed.wait_for(lock, kIdleThread, [&state] {
                return state->finishing || !state->waiting.empty();
            });
            --state->idle;
            if (!work || state->finishing) {
                break;
            }
            platform::PipeConnection connection = std::move(state->waiting.front());
            state->waiting.pop_front();
            lock.unlock();
            const bool goOn = ServeGuarded(connection);
            connection.Close();
            lock.lock();
            if (!goOn && !state->finishing) {
                state->stopServing();  // under the lock: never once Finish has begun
            }
        }
        --state->threads;
        state->changed.notify_all();
    }

    // ServeGuarded is ServeOne at a thread's entry point: nothing is thrown past it.
    static bool ServeGuarded(platform::PipeConnection& connection) {
        try {
            return ServeOne(connection);
        } catch (const std::exception& e) {
            Logger::LogException(e, kTag, false);
            return true;
        }
    }

    std::shared_ptr<State> state_;
};

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
    OperationQueue queue([&listener] { listener.Interrupt(); });
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
        queue.Push(std::move(connection));
    }
    const bool finished = queue.Finish(kStopGrace);
    backbone.Stop();
    listener.Close();
    Logger::Info(std::string(kTag) + "worker ends");
    if (!finished) {
        // Operations still run on their threads: end here, before the program's static state
        // (the logger, the folder table) is destroyed under them.
        Logger::Warn(std::string(kTag) + "operations still running are cut short");
        std::_Exit(exitCode);
    }
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
