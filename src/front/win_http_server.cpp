#include "front/win_http_server.h"

#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <semaphore>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "base/log_text.h"
#include "base/logger.h"
#include "base/return_code.h"
#include "base/toolbox.h"
#include "front/launch_daemon_core.h"
#include "platform/crash_handler.h"
#include "platform/http_queue.h"
#include "platform/sys_error.h"

namespace {

namespace SysError = platform::SysError;

constexpr std::uint32_t kNoPort = 0xFFFFFFFFu;
constexpr std::chrono::milliseconds kStopWait{5000};
// Request threads still running when the server ends get this long to send their answers
// (they fail at once: the queue is shut down) before Run's clean-up reports done.
constexpr std::chrono::milliseconds kRequestDrain{2000};
// A request that finds every request thread busy waits this long for one before it is
// answered 503.
constexpr std::chrono::milliseconds kSlotWait{1000};
// Request threads beyond this many waiting for a request end after their request.
constexpr std::size_t kSpareRequestThreads = 2;
// Refusals are logged at most kRefusalLines times per window; the rest are counted.
constexpr int kRefusalLines = 5;
constexpr std::chrono::seconds kRefusalWindow{10};

// ServerState is the process-wide state of the server. Request threads share the queue with
// the receive loop and keep it alive until they have answered.
struct ServerState {
    std::atomic<bool> running{false};
    std::int32_t mainPort = -1;
    std::int32_t internalPort = -1;
    std::string domain;
    std::string mainUrl;
    std::vector<std::string> urls;

    std::mutex queueMutex;  // guards queue and stopPending
    std::shared_ptr<platform::HttpRequestQueue> queue;
    // stopPending remembers a Stop that came before the receive loop started, so that the
    // loop does not start at all.
    bool stopPending = false;

    std::atomic<bool> semaphoreReady{false};
    std::binary_semaphore stopSemaphore{0};

    std::mutex requestsMutex;  // guards what follows
    std::condition_variable requestsDone;
    std::condition_variable slotFree;
    std::size_t activeRequests = 0;  // request threads started and not ended
    std::size_t idleReceivers = 0;   // loops waiting for a request
    std::size_t busyRequests = 0;    // requests being handled
    bool saturated = false;          // a request found no request thread within kSlotWait
};

ServerState& State() {
    static ServerState state;
    return state;
}

bool LevelOn(LogLevel level) {
    return static_cast<std::int32_t>(level) >= static_cast<std::int32_t>(Logger::Threshold());
}

// NoteRefusal logs a request turned away at WARN, rate-limited: a flood of bad requests must
// not flood the log. The lines that were held back are counted in the next one.
void NoteRefusal(int status, const std::string& reason) {
    static std::mutex mutex;
    static std::chrono::steady_clock::time_point windowStart;
    static int lines = 0;
    static std::size_t held = 0;
    std::size_t heldBefore = 0;
    {
        std::lock_guard lock(mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - windowStart >= kRefusalWindow) {
            windowStart = now;
            lines = 0;
        }
        if (lines >= kRefusalLines) {
            ++held;
            return;
        }
        ++lines;
        std::swap(heldBefore, held);
    }
    std::string line = "[WinHttpServer::DoReceiveRequests] request refused : " +
                       (status != 0 ? std::to_string(status) + " " : std::string()) + reason;
    if (heldBefore != 0) {
        line += " (" + std::to_string(heldBefore) + " more refusals not logged before this one)";
    }
    Logger::Warn(line);
}

std::shared_ptr<platform::HttpRequestQueue> Queue() {
    ServerState& s = State();
    std::lock_guard lock(s.queueMutex);
    return s.queue;
}

// ParseWholeInt converts a decimal text as a whole: leading blanks and a sign are accepted,
// nothing may follow the digits.
bool ParseWholeInt(const std::string& text, long long& value) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])) != 0) {
        ++pos;
    }
    if (pos < text.size() && text[pos] == '+') {
        ++pos;
        if (pos < text.size() && text[pos] == '-') {
            return false;
        }
    }
    const char* begin = text.data() + pos;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(begin, end, value);
    return error == std::errc() && stop == end && begin != end;
}

std::string AddressText(const void* address) {
    std::ostringstream text;
    text << address;
    return text.str();
}

// AddUrlFailure is the ERROR line of a prefix that could not be registered.
std::string AddUrlFailure(const std::string& url, std::uint32_t rc) {
    const std::string head = "[WinHttpServer::Run]HttpAddUrl(" + url + ") FAIL : ";
    switch (rc) {
        case SysError::ACCESS_DENIED:
            return head + "ERROR_ACCESS_DENIED!";
        case SysError::NOT_ENOUGH_MEMORY:
            return head + "ERROR_NOT_ENOUGH_MEMORY!";
        case SysError::INVALID_PARAMETER:
            return head + "ERROR_INVALID_PARAMETER!";
        case SysError::ALREADY_EXISTS:
            return head + "ERROR_ALREADY_EXISTS!";
        case 1114:
            return head + "ERROR_DLL_INIT_FAILED!";
        default:
            break;
    }
    if (rc == SysError::FILE_NOT_FOUND && url.rfind("https://", 0) == 0) {
        // The queue loads the certificate itself where the system does not bind it.
        std::string folder;
        FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder);
        return head + "certificate or private key missing or unusable (" +
               ToolBox::JoinPath(folder, WinHttpServer::kCertificateFile) + ", " +
               ToolBox::JoinPath(folder, WinHttpServer::kPrivateKeyFile) + ") !";
    }
    return "[WinHttpServer::Run]HttpAddUrl(" + url + ") FAIL ! rc : " + std::to_string(rc);
}

platform::HttpQueueOptions QueueOptions() {
    platform::HttpQueueOptions options;
    std::string folder;
    if (FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder)) {
        options.certificateFile = ToolBox::JoinPath(folder, WinHttpServer::kCertificateFile);
        options.privateKeyFile = ToolBox::JoinPath(folder, WinHttpServer::kPrivateKeyFile);
    }
    options.onRefusal = [](const platform::HttpRefusal& refusal) {
        NoteRefusal(refusal.status, refusal.reason);
    };
    return options;
}

void ReadBasePortFromEnvironment() {
    const char* value = std::getenv("QVYLD_BasePort");
    if (value == nullptr) {
        return;
    }
    long long port = 0;
    if (ParseWholeInt(value, port) && port >= 1 && port <= 65534) {
        State().mainPort = static_cast<std::int32_t>(port);
        return;
    }
    Logger::Warn(std::string("[WinHttpServer::Run] Invalid environment variable "
                             "'QVYLD_BasePort'! Its content '") +
                 value +
                 "' cannot be converted to integer or it's not a valid value (a port must be in "
                 "[0, " +
                 "65535" + "])");
}

void RegisterUrls(platform::HttpRequestQueue& queue) {
    for (const std::string& url : State().urls) {
        Logger::Debug("[WinHttpServer::Run]try to add Url : " + url);
        const std::uint32_t rc = queue.AddUrl(url);
        if (rc == SysError::SUCCESS) {
            Logger::Debug("[WinHttpServer::Run]HttpAddUrl success : " + url);
        } else {
            Logger::Error(AddUrlFailure(url, rc));
        }
    }
}

// WaitForRequestThreads gives the request threads still running a short time to end.
void WaitForRequestThreads() {
    ServerState& s = State();
    std::unique_lock lock(s.requestsMutex);
    if (!s.requestsDone.wait_for(lock, kRequestDrain, [&s] { return s.activeRequests == 0; })) {
        Logger::Warn("[WinHttpServer::Run] " + std::to_string(s.activeRequests) +
                     " request thread(s) still running after the shut-down.");
    }
}

void ReleaseStopSemaphore() {
    ServerState& s = State();
    // At most one release is pending: a Stop that gave up waiting leaves it set.
    [[maybe_unused]] const bool stale = s.stopSemaphore.try_acquire();
    s.stopSemaphore.release();
    std::lock_guard lock(s.queueMutex);
    s.stopPending = false;
}

void CleanUp(const std::shared_ptr<platform::HttpRequestQueue>& queue) {
    ServerState& s = State();
    if (queue) {
        for (const std::string& url : s.urls) {
            const std::uint32_t rc = queue->RemoveUrl(url);
            if (rc == SysError::SUCCESS) {
                Logger::Debug("[WinHttpServer::Run] Url removed : " + url);
            } else {
                Logger::Debug("[WinHttpServer::Run] HttpRemoveUrl failed[" + std::to_string(rc) +
                              "] : " + url);
            }
        }
        queue->Shutdown();
        Logger::Debug("[WinHttpServer::Run] HTTP's Queue Handle closed !");
    }
    Logger::Debug("[WinHttpServer::Run] HttpTerminate successed !");
    WaitForRequestThreads();
    ReleaseStopSemaphore();
}

// ReadBody gathers the request body; false when it is larger than the queue's limit (it was
// answered 413 then). The queue hands a whole body over in one piece where it can.
bool ReadBody(platform::HttpRequestQueue& queue, platform::HttpRequest& request,
              std::string& body) {
    const bool debug = LevelOn(LogLevel::Debug);
    if (!request.MoreEntityBody()) {
        if (debug) {
            Logger::Debug("[WinHttpServer::DoReceiveRequests] No body to get for this request!");
        }
        return true;
    }
    if (debug) {
        Logger::Debug(
            "[WinHttpServer::DoReceiveRequests] try to retrieve the body of the request  "
            "[count:0] ... ");
    }
    const std::size_t limit = platform::HttpQueueOptions().maxBodyBytes;
    std::string chunk;
    for (;;) {
        const std::uint32_t rc = queue.ReceiveEntityBody(request, chunk, limit + 1);
        if (rc == SysError::SUCCESS || rc == SysError::HANDLE_EOF) {
            if (body.empty()) {
                body.swap(chunk);
            } else {
                body.append(chunk);
            }
        }
        if (body.size() > limit) {
            NoteRefusal(413, "body larger than the limit");
            WinHttpServer::SendHttpResponse(request, 413, "Payload Too Large", "");
            return false;
        }
        if (rc == SysError::HANDLE_EOF) {
            return true;
        }
        if (rc != SysError::SUCCESS) {
            Logger::Debug(
                "[WinHttpServer::DoReceiveRequests] HttpReceiveRequestEntityBody failed ! rc:" +
                std::to_string(rc));
            return true;
        }
    }
}

// TakeRequestSlot counts a request in once fewer than the bound are being handled, waiting a
// moment for one to end: a burst waits, only requests that stay (stalled operations) make
// the others fail. It tells whether a new request thread should start, so that one loop
// keeps waiting for requests.
bool TakeRequestSlot(bool& startThread) {
    ServerState& s = State();
    std::unique_lock lock(s.requestsMutex);
    const auto free = [&s] { return s.busyRequests < WinHttpServer::kMaxRequestThreads; };
    // Once a wait was in vain, the next requests fail at once until a request ends.
    if (s.saturated ? !free() : !s.slotFree.wait_for(lock, kSlotWait, free)) {
        s.saturated = true;
        return false;
    }
    ++s.busyRequests;
    startThread = s.idleReceivers == 0 && s.activeRequests < WinHttpServer::kMaxRequestThreads;
    if (startThread) {
        ++s.activeRequests;  // reserved before the start, so that two loops do not both start one
    }
    return true;
}

// ReleaseRequestSlot counts a request out; true when this request thread should end because
// enough others wait.
bool ReleaseRequestSlot(bool primary) {
    ServerState& s = State();
    std::lock_guard lock(s.requestsMutex);
    --s.busyRequests;
    s.saturated = false;
    s.slotFree.notify_one();
    return !primary && s.idleReceivers >= kSpareRequestThreads;
}

void EndRequestThread() {
    ServerState& s = State();
    {
        std::lock_guard lock(s.requestsMutex);
        --s.activeRequests;
    }
    s.requestsDone.notify_all();
}

// ReceiverWaiting counts a loop in or out of its wait for a request.
class ReceiverWaiting {
  public:
    ReceiverWaiting() { Count(1); }
    ~ReceiverWaiting() { Count(-1); }
    ReceiverWaiting(const ReceiverWaiting&) = delete;
    ReceiverWaiting& operator=(const ReceiverWaiting&) = delete;

  private:
    static void Count(int step) {
        ServerState& s = State();
        std::lock_guard lock(s.requestsMutex);
        if (step > 0) {
            ++s.idleReceivers;
        } else {
            --s.idleReceivers;
        }
    }
};

bool IsLoopback(const platform::HttpLocalAddress& address) {
    const char* family = address.family == 4   ? "AF_INET"
                         : address.family == 6 ? "AF_INET6"
                                               : "unknown";
    if (LevelOn(LogLevel::Debug)) {
        Logger::Debug(std::string("[WinHttpServer::DoReceiveRequests] local address family : ") +
                      family);
    }
    return (address.family == 4 && address.text == "127.0.0.1") ||
           (address.family == 6 && address.text == "::1");
}

std::string ElapsedSeconds(std::chrono::steady_clock::time_point start) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    char text[64];
    std::snprintf(text, sizeof text, "%f", elapsed.count());
    return text;
}

std::string ExceptionAnswer() {
    std::string reason;
    ReturnCode::GetReason(ReturnCode::RC_INTERNAL_EXCEPTION, reason);
    std::string answer;
    return ReturnCode::BuildJSONReponseObject(answer, ReturnCode::RC_INTERNAL_EXCEPTION, nullptr,
                                              reason);
}

}  // namespace

std::string WinHttpServer::VerbName(int verbCode) {
    static const char* const kNames[] = {
        "<Error::UnparsedVerb>",
        "<Error::UnknownVerb>",
        "<Error::InvalidVerb>",
        "OPTIONS",
        "GET",
        "HEAD",
        "POST",
        "PUT",
        "DELETE",
        "TRACE",
        "CONNECT",
        "TRACK",
        "MOVE",
        "COPY",
        "PROPFIND",
        "PROPPATCH",
        "MKCOL",
        "LOCK",
        "UNLOCK",
        "SEARCH",
        "<Error::InvalidEnumValue>",
    };
    if (verbCode < 0 || verbCode >= static_cast<int>(std::size(kNames))) {
        return "<Error::UnknownEnumValue>";
    }
    return kNames[verbCode];
}

std::uint32_t WinHttpServer::Run() {
    ServerState& s = State();
    if (s.running) {
        Logger::Debug("[WinHttpServer::Run] server already running ...");
        return 0;
    }
    Logger::Debug("[WinHttpServer::Run] server starting ...");
    s.domain = LoadDomain();
    ReadBasePortFromEnvironment();
    s.semaphoreReady = true;
    ResolvePort();
    s.urls.clear();
    s.mainUrl.clear();
    if (s.mainPort != -1) {
        s.mainUrl = "https://" + s.domain + ":" + std::to_string(s.mainPort) + "/";
        s.urls.push_back(s.mainUrl);
    }
    if (s.internalPort != -1) {
        s.urls.push_back("http://127.0.0.1:" + std::to_string(s.internalPort) + "/");
    }
    if (s.mainPort == -1) {
        Logger::Error("[WinHttpServer::Run] Invalid port to bind [-1] !");
        // Nothing was opened: a Stop waiting for the clean-up may go on at once.
        ReleaseStopSemaphore();
        return kNoPort;
    }
    Logger::Debug("[WinHttpServer::Run]Http layer sucessfully initialized !");

    std::uint32_t result = SysError::SUCCESS;
    std::unique_ptr<platform::HttpRequestQueue> created =
        platform::HttpRequestQueue::Create(QueueOptions(), result);
    if (!created) {
        Logger::Error("[WinHttpServer::Run]HttpCreateHttpHandle failed : " +
                      std::to_string(result));
        CleanUp(nullptr);
        return result;
    }
    std::shared_ptr<platform::HttpRequestQueue> queue = std::move(created);
    {
        std::lock_guard lock(s.queueMutex);
        s.queue = queue;
    }
    RegisterUrls(*queue);

    bool stopped = false;
    {
        std::lock_guard lock(s.queueMutex);
        stopped = s.stopPending;
        s.running = !stopped;
    }
    if (!stopped) {
        Logger::ThrowEvent(LogLevel::Info, std::to_string(s.mainPort));
        result = DoReceiveRequests();
        if (result != SysError::SUCCESS) {
            Logger::Error("[WinHttpServer::Run]DoReceiveRequests failed : " +
                          std::to_string(result));
        } else {
            Logger::Debug("[WinHttpServer::Run]DoReceiveRequests success !");
        }
    }
    s.running = false;
    CleanUp(queue);
    return result;
}

std::string WinHttpServer::LoadDomain() {
    std::string folder;
    FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder);
    const std::string path = ToolBox::JoinPath(folder, "serv.domain");
    if (!ToolBox::PathExists(path)) {
        return kDefaultDomain;
    }
    Logger::Debug("[WinHttpServer::LoadDomain]a Http server's domain file found here : " + path);
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(path, lines)) {
        Logger::Error("[WinHttpServer::LoadDomain]Failed to open this file: " + path);
        return kDefaultDomain;
    }
    if (lines.empty() || lines.front().empty()) {
        return kDefaultDomain;
    }
    Logger::Debug("[WinHttpServer::LoadDomain]domain to use: " + lines.front());
    return lines.front();
}

void WinHttpServer::ResolvePort() {
    ServerState& s = State();
    std::string folder;
    FileAndFoldersManager::GetFolder(Folder::DAEMON_INSTALL_PATH, folder);
    const std::string mainPath = ToolBox::JoinPath(folder, "serv.port");
    if (ToolBox::IsFile(mainPath)) {
        s.mainPort = extractPortFromFile(mainPath);
    } else {
        Logger::Error(
            "[WinHttpServer::ResolvePort]The Http server's config file not found here : " +
            mainPath);
    }
    if (s.mainPort != -1) {
        Logger::Info("[WinHttpServer::ResolvePort]main port in use : " +
                     std::to_string(s.mainPort));
    }
    const std::string internalPath = ToolBox::JoinPath(folder, "serv.internal.port");
    if (ToolBox::IsFile(internalPath)) {
        s.internalPort = extractPortFromFile(internalPath);
    }
    if (s.internalPort != -1 && s.internalPort == s.mainPort) {
        Logger::Warn("[WinHttpServer::ResolvePort]Internal port(" + std::to_string(s.internalPort) +
                     ") is setup  to the same value of the Main port(" +
                     std::to_string(s.mainPort) + "). ignore the custom value !");
        s.internalPort = -1;
    }
    if (s.internalPort == -1) {
        Logger::Info(
            "[WinHttpServer::ResolvePort]No default value detected for the internal port, use a "
            "free port.");
        const std::uint16_t port = platform::FindFreeTcpPort();
        if (port != 65535) {
            s.internalPort = port;
        }
    }
    if (s.internalPort != -1) {
        Logger::Info("[WinHttpServer::ResolvePort]internal port in use : " +
                     std::to_string(s.internalPort));
    }
}

std::int32_t WinHttpServer::extractPortFromFile(const std::string& path) {
    std::vector<std::string> lines;
    if (!ToolBox::File::ReadLines(path, lines)) {
        Logger::Error("[WinHttpServer::extractPortFromFile]Failed to open this file: " + path);
        return -1;
    }
    const std::string line = lines.empty() ? std::string() : lines.front();
    Logger::Debug("[WinHttpServer::extractPortFromFile] data extracted from file {" + path +
                  "} : [" + line + "]");
    long long port = 0;
    if (!ParseWholeInt(line, port) || port < 0 || port > 65535) {
        Logger::Error("[WinHttpServer::extractPortFromFile] Invalid port value '" + line +
                      "'! It's value does not have a valid value (a port must be in [0, " +
                      "65535" + "])");
        return -1;
    }
    return static_cast<std::int32_t>(port);
}

std::uint32_t WinHttpServer::DoReceiveRequests(bool primary) {
    ServerState& s = State();
    const std::shared_ptr<platform::HttpRequestQueue> queue = Queue();
    if (!queue) {
        return SysError::INVALID_HANDLE;
    }
    if (primary) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] started");
    }
    std::uint32_t rc = SysError::SUCCESS;
    while (s.running) {
        if (LevelOn(LogLevel::Debug)) {
            Logger::Debug("[WinHttpServer::DoReceiveRequests] waiting for request ...");
        }
        std::unique_ptr<platform::HttpRequest> request;
        {
            const ReceiverWaiting waiting;
            rc = queue->ReceiveRequest(request);
        }
        if (rc == SysError::CONNECTION_INVALID) {
            Logger::Error("[WinHttpServer::DoReceiveRequests] ERROR_CONNECTION_INVALID detected !");
            continue;
        }
        if (rc != SysError::SUCCESS || !request) {
            Logger::Debug(
                "[WinHttpServer::DoReceiveRequests] HttpReceiveHttpRequest "
                "aborted(ERROR_OPERATION_ABORTED) !");
            continue;
        }
        bool startThread = false;
        if (!Acceptable(*request)) {
            continue;
        }
        if (!TakeRequestSlot(startThread)) {
            NoteRefusal(503,
                        "all " + std::to_string(kMaxRequestThreads) + " request threads are busy");
            SendHttpResponse(*request, 503, "Service Unavailable", "");
            continue;
        }
        if (startThread) {
            StartRequestThread();
        }
        ServeRequest(*queue, std::move(request));
        if (ReleaseRequestSlot(primary)) {
            break;
        }
    }
    if (!primary) {
        return rc;
    }
    Logger::Debug("[WinHttpServer::DoReceiveRequests] Http server loop break !");
    if (rc == SysError::OPERATION_ABORTED) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests]server is shutdown...");
        return SysError::SUCCESS;
    }
    return rc;
}

void WinHttpServer::ServeRequest(platform::HttpRequestQueue& queue,
                                 std::unique_ptr<platform::HttpRequest> request) {
    std::string body;
    if (ReadBody(queue, *request, body)) {
        HandleConnection(std::move(request), std::move(body));
    }
}

void WinHttpServer::HandleConnection(std::unique_ptr<platform::HttpRequest> request,
                                     std::string body) {
    const auto start = std::chrono::steady_clock::now();
    const bool debug = LevelOn(LogLevel::Debug);
    const std::string id = std::to_string(request->Id());
    if (debug) {
        Logger::Debug(
            "[WinHttpServer::HandleConnection]******************* request handling start "
            "[id:" +
            id + "] ******************* ");
    }
    const auto finish = [&] {
        if (LevelOn(LogLevel::Internal)) {
            Logger::Internal("[WinHttpServer::HandleConnection] Free buffer : " +
                             AddressText(request.get()));
        }
        request.reset();
        if (debug) {
            Logger::Debug(
                "[WinHttpServer::HandleConnection]******************* request finished [id:" + id +
                "][duration:" + ElapsedSeconds(start) + "] ******************* ");
        }
    };
    if (!State().running) {
        Logger::Warn(
            "[WinHttpServer::HandleConnection] base serv is being stopped. Requet can't be "
            "processed.");
        return finish();
    }
    if (request->AbsPath().empty()) {
        // Answered, so that the connection does not wait for an answer that never comes.
        Logger::Error("[WinHttpServer::HandleConnection] NO URL !!!");
        SendHttpResponse(*request, 400, "Bad Request", "");
        return finish();
    }
    // The request's own stop, requested when its client is gone.
    std::stop_source stop;
    const std::stop_callback relay(request->ClientGone(), [&stop] { stop.request_stop(); });
    try {
        Dispatch(*request, body, stop);
    } catch (const std::exception& e) {
        Logger::Error("[WinHttpServer::HandleConnection]Exception thrown : " +
                      std::string(e.what()));
        SendHttpResponse(*request, 500, "InternalError", ExceptionAnswer());
    } catch (...) {
        Logger::Error("[WinHttpServer::HandleConnection]Exception thrown : unknown exception");
        SendHttpResponse(*request, 500, "InternalError", ExceptionAnswer());
    }
    finish();
}

void WinHttpServer::Dispatch(platform::HttpRequest& request, const std::string& body,
                             std::stop_source& stop) {
    const std::string& cooked = request.AbsPath();
    const std::string urlParamStr = cooked.substr(1);
    const std::size_t question = urlParamStr.find('?');
    const std::string urlPath = urlParamStr.substr(0, question);
    const std::string optionString =
        question == std::string::npos ? std::string() : urlParamStr.substr(question + 1);
    const std::string verb = VerbName(request.VerbCode());
    const bool isHttps = request.FullUrl().rfind("https://", 0) == 0;
    if (LevelOn(LogLevel::Debug)) {
        // The request's texts are escaped; its body is logged once, masked, by HandleRequest.
        Logger::Debug("[WinHttpServer::HandleConnection] cooked url : " +
                      ToolBox::EscapeControls(request.FullUrl()));
        Logger::Debug(
            "[WinHttpServer::HandleConnection] urlPath : " + ToolBox::EscapeControls(urlPath) +
            "//reqVerb : " + verb + "//Request body size : " + std::to_string(body.size()));
    }
    std::string answer = LaunchDaemonCore::HandleRequest(urlPath, optionString, body, verb, isHttps,
                                                         stop.get_token());
    if (stop.stop_requested()) {
        Logger::Warn("[WinHttpServer::HandleConnection] client gone before its answer [id:" +
                     std::to_string(request.Id()) + "]");
        return;
    }
    const std::uint32_t rc = SendHttpResponse(request, 200, "OK", std::move(answer));
    if (rc != SysError::SUCCESS) {
        Logger::Error("[WinHttpServer::HandleConnection] SendHttpResponse failed ! ( rc : " +
                      std::to_string(rc) + " )");
    }
}

bool WinHttpServer::Acceptable(platform::HttpRequest& request) {
    const bool debug = LevelOn(LogLevel::Debug);
    if (debug) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] request caught with url " +
                      ToolBox::EscapeControls(request.FullUrl()) +
                      " ! (byteRead:" + std::to_string(request.RawUrl().size()) + ")");
    }
    const platform::HttpLocalAddress& local = request.LocalAddress();
    const bool loopback = IsLoopback(local);
    if (debug) {
        Logger::Debug(
            "[WinHttpServer::DoReceiveRequests] HttpReceiveHttpRequest successful ! ( local ip : " +
            local.text + ")");
    }
    if (!loopback) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] invalid IP address : " + local.text +
                      ". Only Loopback is allowed");
        SendHttpResponse(request, 401, "Unauthorized", "");
        return false;
    }
    if (request.VersionMajor() != 1 || request.VersionMinor() != 1) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] invalid http version : " +
                      std::to_string(request.VersionMajor()) + "." +
                      std::to_string(request.VersionMinor()));
        const std::uint32_t sent = SendHttpResponse(request, 505, "HTTP Version not supported", "");
        if (sent != SysError::SUCCESS) {
            Logger::Warn(
                "[WinHttpServer::DoReceiveRequests] failed to send HTTP 505 response due to "
                "error : " +
                std::to_string(sent));
        }
        return false;
    }
    return true;
}

void WinHttpServer::StartRequestThread() {
    try {
        std::thread([] {
            const platform::ThreadCrashStack crashStack;
            DoReceiveRequests(false);
            EndRequestThread();
        }).detach();
    } catch (const std::system_error& e) {
        // The loops already running take the requests; only the bound is lower for now.
        EndRequestThread();
        Logger::Error("[WinHttpServer::DoReceiveRequests] request thread start failed : " +
                      std::string(e.what()));
    }
}

std::uint32_t WinHttpServer::SendHttpResponse(platform::HttpRequest& request, int statusCode,
                                              const std::string& reason, std::string body) {
    if (LevelOn(LogLevel::Internal)) {
        Logger::Internal(
            "[WinHttpServer::SendHttpResponse] try to send packet :\n\n#With this "
            "HTTP_REQUEST//[ConnectionId]:" +
            std::to_string(request.ConnectionId()) + "//[RequestId]:" +
            std::to_string(request.Id()) + "//[Verb]" + std::to_string(request.VerbCode()) +
            "//[pRawUrl]:" + request.RawUrl() + "\n#With this content :\n" + body);
    }
    const platform::HttpHeaders headers{{"Access-Control-Allow-Origin", "*"}};
    if (LevelOn(LogLevel::Debug)) {
        Logger::Debug("[WinHttpServer::SendHttpResponse]{Before}Unknow header : " +
                      headers.front().first + ": " + headers.front().second);
        Logger::Debug("[WinHttpServer::SendHttpResponse]{After}Unknow header : " +
                      headers.front().first + ": " + headers.front().second);
    }
    const std::shared_ptr<platform::HttpRequestQueue> queue = Queue();
    std::uint32_t rc = SysError::INVALID_HANDLE;
    if (queue) {
        if (const auto nul = body.find('\0'); nul != std::string::npos) {
            body.resize(nul);
        }
        rc = queue->SendResponse(request, statusCode, reason, headers, std::move(body));
    }
    if (rc != SysError::SUCCESS) {
        Logger::Error("[WinHttpServer::SendHttpResponse]HttpSendHttpResponse failed! ( rc : " +
                      std::to_string(rc) + " )");
    }
    return rc;
}

bool WinHttpServer::Stop() {
    ServerState& s = State();
    Logger::Info("[WinHttpServer::Stop]HTTP server stopping ...");
    s.running = false;
    {
        std::lock_guard lock(s.queueMutex);
        s.stopPending = true;
        if (s.queue) {
            s.queue->Shutdown();
        }
    }
    if (!s.semaphoreReady) {
        Logger::Error("[WinHttpServer::Stop]Fail to stop HTTP server! (WAIT_FAILED)");
        return false;
    }
    if (!s.stopSemaphore.try_acquire_for(kStopWait)) {
        Logger::Error("[WinHttpServer::Stop]Fail to stop HTTP server! (WAIT_TIMEOUT)");
        return false;
    }
    Logger::Debug("[WinHttpServer::Stop]HTTP server successfully stopped !");
    return true;
}

bool WinHttpServer::IsRunning() {
    return State().running;
}

std::int32_t WinHttpServer::MainPort() {
    return State().mainPort;
}

std::int32_t WinHttpServer::InternalPort() {
    return State().internalPort;
}

std::size_t WinHttpServer::ActiveRequests() {
    ServerState& s = State();
    std::lock_guard lock(s.requestsMutex);
    return s.activeRequests;
}

std::size_t WinHttpServer::RequestsInHand() {
    ServerState& s = State();
    std::lock_guard lock(s.requestsMutex);
    return s.busyRequests;
}

void WinHttpServer::ResetForTests() {
    ServerState& s = State();
    s.running = false;
    s.mainPort = -1;
    s.internalPort = -1;
    s.domain.clear();
    s.mainUrl.clear();
    s.urls.clear();
    std::lock_guard lock(s.queueMutex);
    s.queue.reset();
    s.stopPending = false;
    s.semaphoreReady = false;
    [[maybe_unused]] const bool drained = s.stopSemaphore.try_acquire();
}
