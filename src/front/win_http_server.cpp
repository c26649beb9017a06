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
#include "platform/http_queue.h"
#include "platform/sys_error.h"

namespace {

namespace SysError = platform::SysError;

constexpr std::uint32_t kNoPort = 0xFFFFFFFFu;
constexpr std::chrono::milliseconds kStopWait{5000};
// Request threads still running when the server ends get this long to send their answers
// (they fail at once: the queue is shut down) before Run's clean-up reports done.
constexpr std::chrono::milliseconds kRequestDrain{2000};

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

    std::mutex requestsMutex;
    std::condition_variable requestsDone;
    std::size_t activeRequests = 0;
};

ServerState& State() {
    static ServerState state;
    return state;
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

// RequestThreadCount keeps the count of running request threads.
class RequestThreadCount {
  public:
    RequestThreadCount() {
        ServerState& s = State();
        std::lock_guard lock(s.requestsMutex);
        ++s.activeRequests;
    }
    ~RequestThreadCount() {
        ServerState& s = State();
        {
            std::lock_guard lock(s.requestsMutex);
            --s.activeRequests;
        }
        s.requestsDone.notify_all();
    }
    RequestThreadCount(const RequestThreadCount&) = delete;
    RequestThreadCount& operator=(const RequestThreadCount&) = delete;
};

std::string ReadBody(platform::HttpRequestQueue& queue, platform::HttpRequest& request) {
    std::string body;
    if (!request.MoreEntityBody()) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] No body to get for this request!");
        return body;
    }
    Logger::Debug(
        "[WinHttpServer::DoReceiveRequests] try to retrieve the body of the request  [count:0] "
        "... ");
    std::string chunk;
    for (;;) {
        const std::uint32_t rc = queue.ReceiveEntityBody(request, chunk, 2048);
        if (rc == SysError::SUCCESS || rc == SysError::HANDLE_EOF) {
            body += chunk;
        }
        if (rc == SysError::HANDLE_EOF) {
            return body;
        }
        if (rc != SysError::SUCCESS) {
            Logger::Debug(
                "[WinHttpServer::DoReceiveRequests] HttpReceiveRequestEntityBody failed ! rc:" +
                std::to_string(rc));
            return body;
        }
    }
}

bool IsLoopback(const platform::HttpLocalAddress& address) {
    if (address.family == 4) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] local address family : AF_INET");
        return address.text == "127.0.0.1";
    }
    if (address.family == 6) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests] local address family : AF_INET6");
        return address.text == "::1";
    }
    Logger::Debug("[WinHttpServer::DoReceiveRequests] local address family : unknown");
    return false;
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

std::uint32_t WinHttpServer::DoReceiveRequests() {
    ServerState& s = State();
    const std::shared_ptr<platform::HttpRequestQueue> queue = Queue();
    Logger::Debug("[WinHttpServer::DoReceiveRequests] started");
    std::uint64_t buffers = 0;
    bool newBuffer = true;
    std::uint32_t rc = SysError::SUCCESS;
    while (s.running) {
        if (newBuffer) {
            ++buffers;
            Logger::Debug("[WinHttpServer::DoReceiveRequests] new request Buffer created : buf[" +
                          std::to_string(buffers) + "]");
            newBuffer = false;
        } else {
            Logger::Debug("[WinHttpServer::DoReceiveRequests] reuse current request Buffer: buf[" +
                          std::to_string(buffers) + "]");
        }
        Logger::Debug("[WinHttpServer::DoReceiveRequests] waiting for request ...");
        std::unique_ptr<platform::HttpRequest> request;
        rc = queue->ReceiveRequest(request);
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
        Logger::Debug("[WinHttpServer::DoReceiveRequests] request caught with url " +
                      request->FullUrl() +
                      " ! (byteRead:" + std::to_string(request->RawUrl().size()) + ")");
        const platform::HttpLocalAddress& local = request->LocalAddress();
        const bool loopback = IsLoopback(local);
        Logger::Debug(
            "[WinHttpServer::DoReceiveRequests] HttpReceiveHttpRequest successful ! ( local ip : " +
            local.text + ")");
        if (!loopback) {
            Logger::Debug("[WinHttpServer::DoReceiveRequests] invalid IP address : " + local.text +
                          ". Only Loopback is allowed");
            SendHttpResponse(*request, 401, "Unauthorized", "");
            continue;
        }
        if (request->VersionMajor() != 1 || request->VersionMinor() != 1) {
            Logger::Debug("[WinHttpServer::DoReceiveRequests] invalid http version : " +
                          std::to_string(request->VersionMajor()) + "." +
                          std::to_string(request->VersionMinor()));
            const std::uint32_t sent =
                SendHttpResponse(*request, 505, "HTTP Version not supported", "");
            if (sent != SysError::SUCCESS) {
                Logger::Warn(
                    "[WinHttpServer::DoReceiveRequests] failed to send HTTP 505 response due to "
                    "error : " +
                    std::to_string(sent));
            }
            continue;
        }
        std::string body = ReadBody(*queue, *request);
        // The thread adopts the request once it runs; until the thread exists the loop keeps
        // it, so a failed start can still be answered.
        platform::HttpRequest* handed = request.get();
        try {
            std::thread([handed, text = std::move(body)]() mutable {
                HandleConnection(std::unique_ptr<platform::HttpRequest>(handed), std::move(text));
            }).detach();
            [[maybe_unused]] platform::HttpRequest* adopted = request.release();
        } catch (const std::system_error& e) {
            Logger::Error("[WinHttpServer::DoReceiveRequests] request thread start failed : " +
                          std::string(e.what()));
            SendHttpResponse(*request, 500, "InternalError", ExceptionAnswer());
            continue;
        }
        newBuffer = true;
    }
    Logger::Debug("[WinHttpServer::DoReceiveRequests] Http server loop break !");
    if (rc == SysError::OPERATION_ABORTED) {
        Logger::Debug("[WinHttpServer::DoReceiveRequests]server is shutdown...");
        return SysError::SUCCESS;
    }
    return rc;
}

void WinHttpServer::HandleConnection(std::unique_ptr<platform::HttpRequest> request,
                                     std::string body) {
    const RequestThreadCount counted;
    const auto start = std::chrono::steady_clock::now();
    const std::string id = std::to_string(request->Id());
    Logger::Debug(
        "[WinHttpServer::HandleConnection]******************* request handling start "
        "[id:" +
        id + "] ******************* ");
    const auto finish = [&] {
        Logger::Internal("[WinHttpServer::HandleConnection] Free buffer : " +
                         AddressText(request.get()));
        request.reset();
        Logger::Debug("[WinHttpServer::HandleConnection]******************* request finished [id:" +
                      id + "][duration:" + ElapsedSeconds(start) + "] ******************* ");
    };
    if (!State().running) {
        Logger::Warn(
            "[WinHttpServer::HandleConnection] base serv is being stopped. Requet can't be "
            "processed.");
        return finish();
    }
    if (request->AbsPath().empty()) {
        Logger::Error("[WinHttpServer::HandleConnection] NO URL !!!");
        return finish();
    }
    try {
        const std::string& cooked = request->AbsPath();
        const std::string urlParamStr = cooked.substr(1);
        const std::size_t question = urlParamStr.find('?');
        const std::string urlPath = urlParamStr.substr(0, question);
        const std::string optionString =
            question == std::string::npos ? std::string() : urlParamStr.substr(question + 1);
        // The request's texts are escaped; its body is logged once, masked, by HandleRequest.
        Logger::Debug("[WinHttpServer::HandleConnection] cooked url : " +
                      ToolBox::EscapeControls(request->FullUrl()));
        Logger::Debug("[WinHttpServer::HandleConnection]Request body size : " +
                      std::to_string(body.size()));
        const std::string verb = VerbName(request->VerbCode());
        const bool isHttps = request->FullUrl().rfind("https://", 0) == 0;
        const std::string answer =
            LaunchDaemonCore::HandleRequest(urlPath, optionString, body, verb, isHttps);
        const std::uint32_t rc = SendHttpResponse(*request, 200, "OK", answer);
        if (rc != SysError::SUCCESS) {
            Logger::Error("[WinHttpServer::HandleConnection] SendHttpResponse failed ! ( rc : " +
                          std::to_string(rc) + " )");
        }
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

std::uint32_t WinHttpServer::SendHttpResponse(platform::HttpRequest& request, int statusCode,
                                              const std::string& reason, const std::string& body) {
    Logger::Internal(
        "[WinHttpServer::SendHttpResponse] try to send packet :\n\n#With this "
        "HTTP_REQUEST//[ConnectionId]:" +
        std::to_string(request.ConnectionId()) + "//[RequestId]:" + std::to_string(request.Id()) +
        "//[Verb]" + std::to_string(request.VerbCode()) + "//[pRawUrl]:" + request.RawUrl() +
        "\n#With this content :\n" + body);
    const platform::HttpHeaders headers{{"Access-Control-Allow-Origin", "*"}};
    Logger::Debug("[WinHttpServer::SendHttpResponse]{Before}Unknow header : " +
                  headers.front().first + ": " + headers.front().second);
    Logger::Debug("[WinHttpServer::SendHttpResponse]{After}Unknow header : " +
                  headers.front().first + ": " + headers.front().second);
    const std::shared_ptr<platform::HttpRequestQueue> queue = Queue();
    std::uint32_t rc = SysError::INVALID_HANDLE;
    if (queue) {
        rc = queue->SendResponse(request, statusCode, reason, headers,
                                 body.substr(0, body.find('\0')));
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
