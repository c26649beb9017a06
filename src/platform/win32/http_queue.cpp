#include "platform/http_queue.h"

// Winsock first, so that nothing pulls the old winsock.h in.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <http.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <iterator>
#include <limits>
#include <memory>
#include <stop_token>
#include <string_view>
#include <vector>

#include "platform/http_text.h"
#include "platform/sys_error.h"
#include "platform/win32/win_handle.h"
#include "platform/win32/win_text.h"

namespace platform {
namespace {

// Verb texts by the system's verb code, for the codes that have one.
constexpr const char* kVerbTexts[] = {
    nullptr,    nullptr,     nullptr, "OPTIONS", "GET",    "HEAD",   "POST",
    "PUT",      "DELETE",    "TRACE", "CONNECT", "TRACK",  "MOVE",   "COPY",
    "PROPFIND", "PROPPATCH", "MKCOL", "LOCK",    "UNLOCK", "SEARCH",
};

constexpr std::size_t kFirstRequestBuffer = 4096;
// One body read asks the system for at most this much, whatever the caller allows.
constexpr std::size_t kBodyReadBytes = 64 * 1024;

// UrlText converts a cooked URL part, whose lengths count bytes. URLs travel as UTF-8 in the
// daemon, whatever the ANSI code page.
std::string UrlText(const wchar_t* text, std::size_t bytes) {
    return win32::WideToUtf8(text, static_cast<int>(bytes / sizeof(wchar_t)));
}

HttpLocalAddress LocalAddressOf(const SOCKADDR* address) {
    HttpLocalAddress local;
    char text[INET6_ADDRSTRLEN] = {};
    if (address != nullptr && address->sa_family == AF_INET) {
        local.family = 4;
        ::inet_ntop(AF_INET, &reinterpret_cast<const SOCKADDR_IN*>(address)->sin_addr, text,
                    sizeof text);
    } else if (address != nullptr && address->sa_family == AF_INET6) {
        local.family = 6;
        ::inet_ntop(AF_INET6, &reinterpret_cast<const SOCKADDR_IN6*>(address)->sin6_addr, text,
                    sizeof text);
    }
    local.text = text;
    return local;
}

// QueueHandle owns the system queue's handle. Requests keep it weakly: a request destroyed
// without an answer cancels itself while the queue is still there.
class QueueHandle {
  public:
    QueueHandle() = default;
    ~QueueHandle() {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
    QueueHandle(const QueueHandle&) = delete;
    QueueHandle& operator=(const QueueHandle&) = delete;

    HANDLE handle = nullptr;
};

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// UnderWine is true under Wine, whose HTTP Server API (Wine 8) exports HttpWaitForDisconnect,
// HttpShutdownRequestQueue and HttpCancelHttpRequest as stubs that end the process when called.
bool UnderWine() {
    static const bool wine =
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

// ManualEvent makes an event that stays set once set.
HANDLE ManualEvent() {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

// AsksToClose tells whether the request's client wants the connection closed after the answer.
bool AsksToClose(const HTTP_REQUEST& raw) {
    const HTTP_KNOWN_HEADER& header = raw.Headers.KnownHeaders[HttpHeaderConnection];
    const std::string_view value(header.pRawValue != nullptr ? header.pRawValue : "",
                                 header.RawValueLength);
    if (raw.Version.MajorVersion == 1 && raw.Version.MinorVersion == 0) {
        return value.empty() || !SameName(value, "keep-alive");
    }
    return SameName(value, "close");
}

// DisconnectWatch stops a request's client-gone source when the system reports that the
// request's connection closed, or that the queue shut down, through a wait of the system
// thread pool. It holds the queue handle until its own wait is over.
class DisconnectWatch {
  public:
    DisconnectWatch(std::shared_ptr<QueueHandle> queue, HTTP_CONNECTION_ID connection,
                    std::stop_source gone)
        : queue_(std::move(queue)), gone_(std::move(gone)) {
        if (UnderWine()) {
            return;
        }
        event_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (event_ == nullptr) {
            return;
        }
        overlapped_.hEvent = event_;
        const ULONG rc = ::HttpWaitForDisconnect(queue_->handle, connection, &overlapped_);
        if (rc == NO_ERROR) {
            gone_.request_stop();  // already closed
            return;
        }
        pending_ = rc == ERROR_IO_PENDING;
        if (pending_ && !::RegisterWaitForSingleObject(&wait_, event_, &DisconnectWatch::OnSignal,
                                                       this, INFINITE, WT_EXECUTEONLYONCE)) {
            wait_ = nullptr;
        }
    }
    ~DisconnectWatch() {
        if (wait_ != nullptr) {
            ::UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);  // returns once no callback runs
        }
        if (pending_) {
            ::CancelIoEx(queue_->handle, &overlapped_);
            DWORD bytes = 0;
            ::GetOverlappedResult(queue_->handle, &overlapped_, &bytes, TRUE);
        }
        if (event_ != nullptr) {
            ::CloseHandle(event_);
        }
    }
    DisconnectWatch(const DisconnectWatch&) = delete;
    DisconnectWatch& operator=(const DisconnectWatch&) = delete;

  private:
    static void CALLBACK OnSignal(PVOID context, BOOLEAN) {
        static_cast<DisconnectWatch*>(context)->gone_.request_stop();
    }

    std::shared_ptr<QueueHandle> queue_;
    std::stop_source gone_;
    OVERLAPPED overlapped_{};
    HANDLE event_ = nullptr;
    HANDLE wait_ = nullptr;
    bool pending_ = false;
};

// Win32RequestState ties a request to the system queue's request id.
class Win32RequestState final : public HttpRequestState {
  public:
    ~Win32RequestState() override {
        const auto owner = queue.lock();
        if (!answered && owner && !UnderWine()) {
            // The system then closes the connection: its client does not wait for nothing.
            ::HttpCancelHttpRequest(owner->handle, id, nullptr);
        }
    }

    std::weak_ptr<QueueHandle> queue;
    HTTP_REQUEST_ID id = HTTP_NULL_ID;
    bool bodyLeft = false;
    bool answered = false;
    bool closeAsked = false;  // the answer closes the connection
    std::unique_ptr<DisconnectWatch> watch;
};

class Win32Queue final : public HttpRequestQueue {
  public:
    ~Win32Queue() override {
        Shutdown();
        owner_.reset();  // the handle closes here unless a request is cancelling itself
        if (initialized_) {
            ::HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
        }
    }

    std::uint32_t Open() {
        const ULONG rc = ::HttpInitialize(HTTPAPI_VERSION_1, HTTP_INITIALIZE_SERVER, nullptr);
        initialized_ = rc == NO_ERROR;
        if (!initialized_) {
            return rc;
        }
        owner_ = std::make_shared<QueueHandle>();
        const ULONG created = ::HttpCreateHttpHandle(&owner_->handle, 0);
        queue_ = owner_->handle;
        return created;
    }

    std::uint32_t AddUrl(const std::string& prefix) override {
        return ::HttpAddUrl(queue_, win32::Utf8ToWide(prefix).c_str(), nullptr);
    }

    std::uint32_t RemoveUrl(const std::string& prefix) override {
        return ::HttpRemoveUrl(queue_, win32::Utf8ToWide(prefix).c_str());
    }

    std::uint32_t ReceiveRequest(std::unique_ptr<HttpRequest>& request) override try {
        // 8-byte units: the system lays pointers and 64-bit ids out in the buffer.
        std::vector<std::uint64_t> buffer(kFirstRequestBuffer / sizeof(std::uint64_t));
        HTTP_REQUEST_ID id = HTTP_NULL_ID;
        for (;;) {
            auto* raw = reinterpret_cast<HTTP_REQUEST*>(buffer.data());
            ULONG bytes = 0;
            const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t));
            // Only the wait for a new request is long: the rest of a request is there already.
            const ULONG rc = id == HTTP_NULL_ID ? Overlapped([&](OVERLAPPED* overlapped) {
                return ::HttpReceiveHttpRequest(queue_, id, 0, raw, size, nullptr, overlapped);
            })
                                                : ::HttpReceiveHttpRequest(queue_, id, 0, raw, size,
                                                                           &bytes, nullptr);
            if (rc == ERROR_MORE_DATA) {
                // An overlapped call tells no size: the next call, synchronous, does.
                id = raw->RequestId;
                buffer.assign(std::max(bytes / sizeof(std::uint64_t) + 1, buffer.size()), 0);
            } else if (rc == ERROR_CONNECTION_INVALID && id != HTTP_NULL_ID) {
                id = HTTP_NULL_ID;  // the client left while the buffer grew
            } else if (rc != NO_ERROR) {
                return rc;
            } else {
                request = MakeRequest(*raw, owner_);
                return SysError::SUCCESS;
            }
        }
    } catch (const std::exception&) {
        return SysError::NOT_ENOUGH_MEMORY;
    }

    std::uint32_t ReceiveEntityBody(HttpRequest& request, std::string& chunk,
                                    std::size_t max) override try {
        auto* state = dynamic_cast<Win32RequestState*>(request.State());
        if (state == nullptr || max == 0) {
            return SysError::INVALID_PARAMETER;
        }
        chunk.clear();
        if (!state->bodyLeft) {
            return SysError::HANDLE_EOF;
        }
        chunk.resize(std::min(max, kBodyReadBytes));
        ULONG bytes = 0;
        const ULONG rc = Overlapped(
            [&](OVERLAPPED* overlapped) {
                return ::HttpReceiveRequestEntityBody(queue_, state->id, 0, chunk.data(),
                                                      static_cast<ULONG>(chunk.size()), nullptr,
                                                      overlapped);
            },
            &bytes);
        chunk.resize(rc == NO_ERROR || rc == ERROR_HANDLE_EOF ? bytes : 0);
        state->bodyLeft = rc == NO_ERROR;
        return rc;
    } catch (const std::exception&) {
        return SysError::NOT_ENOUGH_MEMORY;
    }

    std::uint32_t SendResponse(HttpRequest& request, int status, const std::string& reason,
                               const HttpHeaders& headers, std::string body) override try {
        auto* state = dynamic_cast<Win32RequestState*>(request.State());
        const bool bodyless = status == 204 || status == 304;
        if (state == nullptr || status < 200 || status > 999 || !CleanText(reason) ||
            (bodyless && !body.empty())) {
            return SysError::INVALID_PARAMETER;
        }
        if (state->answered) {
            return SysError::CONNECTION_INVALID;
        }
        HTTP_RESPONSE response{};
        response.Version = HTTP_VERSION_1_1;
        response.StatusCode = static_cast<USHORT>(status);
        response.pReason = reason.c_str();
        response.ReasonLength = static_cast<USHORT>(reason.size());
        std::vector<HTTP_UNKNOWN_HEADER> unknown;
        // The system closes after the answer when its client asked so; under Wine it ignores
        // the flag and keeps the connection open.
        ULONG flags = state->closeAsked ? HTTP_SEND_RESPONSE_FLAG_DISCONNECT : 0;
        for (const auto& [name, value] : headers) {
            if (!ValidHeaderName(name) || !CleanText(value) || SameName(name, "Content-Length") ||
                SameName(name, "Transfer-Encoding")) {
                return SysError::INVALID_PARAMETER;
            }
            if (SameName(name, "Content-Type")) {
                SetKnown(response, HttpHeaderContentType, value);
            } else if (SameName(name, "Connection")) {
                flags |= SameName(value, "close") ? HTTP_SEND_RESPONSE_FLAG_DISCONNECT : 0;
            } else {
                unknown.push_back({static_cast<USHORT>(name.size()),
                                   static_cast<USHORT>(value.size()), name.c_str(), value.c_str()});
            }
        }
        response.Headers.UnknownHeaderCount = static_cast<USHORT>(unknown.size());
        response.Headers.pUnknownHeaders = unknown.data();
        HTTP_DATA_CHUNK chunk{};
        if (!body.empty()) {
            chunk.DataChunkType = HttpDataChunkFromMemory;
            chunk.FromMemory.pBuffer = const_cast<char*>(body.data());
            chunk.FromMemory.BufferLength = static_cast<ULONG>(body.size());
            response.EntityChunkCount = 1;
            response.pEntityChunks = &chunk;
        }
        state->answered = true;
        ULONG sent = 0;
        return ::HttpSendHttpResponse(queue_, state->id, flags, &response, nullptr, &sent, nullptr,
                                      0, nullptr, nullptr);
    } catch (const std::exception&) {
        return SysError::NOT_ENOUGH_MEMORY;
    }

    // Shutdown wakes the waits through the stop event itself: Wine has no queue shutdown.
    void Shutdown() override {
        if (queue_ != nullptr && !shutdown_.exchange(true)) {
            ::SetEvent(stop_.Get());
            if (!UnderWine()) {
                ::HttpShutdownRequestQueue(queue_);
            }
        }
    }

  private:
    // Overlapped runs one overlapped call of the queue and waits for it: its result (with the
    // bytes it moved), or OPERATION_ABORTED once Shutdown came first and cancelled it.
    template <typename Call>
    ULONG Overlapped(Call call, ULONG* bytes = nullptr) {
        win32::Handle done(ManualEvent());
        if (done.Get() == nullptr || stop_.Get() == nullptr) {
            return ::GetLastError();
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = done.Get();
        const ULONG rc = call(&overlapped);
        if (rc != NO_ERROR && rc != ERROR_IO_PENDING) {
            return rc;
        }
        const HANDLE events[] = {done.Get(), stop_.Get()};
        if (rc == ERROR_IO_PENDING &&
            ::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            ::CancelIoEx(queue_, &overlapped);
        }
        DWORD moved = 0;
        const BOOL ok = ::GetOverlappedResult(queue_, &overlapped, &moved, TRUE);
        if (bytes != nullptr) {
            *bytes = moved;
        }
        return ok ? NO_ERROR : ::GetLastError();
    }

    static void SetKnown(HTTP_RESPONSE& response, HTTP_HEADER_ID id, const std::string& value) {
        response.Headers.KnownHeaders[id].pRawValue = value.c_str();
        response.Headers.KnownHeaders[id].RawValueLength = static_cast<USHORT>(value.size());
    }

    static std::unique_ptr<HttpRequest> MakeRequest(const HTTP_REQUEST& raw,
                                                    const std::shared_ptr<QueueHandle>& owner) {
        HttpRequestHead head;
        head.id = raw.RequestId;
        head.connectionId = raw.ConnectionId;
        head.verbCode = static_cast<int>(raw.Verb);
        if (raw.Verb == HttpVerbUnknown && raw.pUnknownVerb != nullptr) {
            head.verb.assign(raw.pUnknownVerb, raw.UnknownVerbLength);
        } else if (head.verbCode >= 0 && head.verbCode < static_cast<int>(std::size(kVerbTexts)) &&
                   kVerbTexts[head.verbCode] != nullptr) {
            head.verb = kVerbTexts[head.verbCode];
        }
        head.versionMajor = raw.Version.MajorVersion;
        head.versionMinor = raw.Version.MinorVersion;
        head.fullUrl = UrlText(raw.CookedUrl.pFullUrl, raw.CookedUrl.FullUrlLength);
        // The query string follows the path in the same text.
        head.absPath = UrlText(raw.CookedUrl.pAbsPath,
                               raw.CookedUrl.AbsPathLength + raw.CookedUrl.QueryStringLength);
        if (raw.pRawUrl != nullptr) {
            head.rawUrl.assign(raw.pRawUrl, raw.RawUrlLength);
        }
        head.localAddress = LocalAddressOf(raw.Address.pLocalAddress);
        auto state = std::make_unique<Win32RequestState>();
        Win32RequestState& kept = *state;
        state->queue = owner;
        state->id = raw.RequestId;
        state->bodyLeft = (raw.Flags & HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS) != 0;
        state->closeAsked = AsksToClose(raw);
        head.moreEntityBody = state->bodyLeft;
        auto request = std::make_unique<HttpRequest>(std::move(head), std::move(state));
        kept.watch =
            std::make_unique<DisconnectWatch>(owner, raw.ConnectionId, request->GoneSource());
        return request;
    }

    std::shared_ptr<QueueHandle> owner_;
    HANDLE queue_ = nullptr;  // owner_'s handle
    bool initialized_ = false;
    std::atomic<bool> shutdown_{false};
    win32::Handle stop_{ManualEvent()};  // set by Shutdown
};

// WinsockSession keeps Winsock started for one scope.
class WinsockSession {
  public:
    WinsockSession() {
        WSADATA data;
        ok_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockSession() {
        if (ok_) {
            ::WSACleanup();
        }
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool Ok() const { return ok_; }

  private:
    bool ok_ = false;
};

}  // namespace

std::unique_ptr<HttpRequestQueue> HttpRequestQueue::Create(const HttpQueueOptions&,
                                                           std::uint32_t& error) try {
    // Limits, timeouts and the certificate binding belong to the system's HTTP service here.
    auto queue = std::make_unique<Win32Queue>();
    error = queue->Open();
    if (error != SysError::SUCCESS) {
        return nullptr;
    }
    return queue;
} catch (const std::exception&) {
    error = SysError::NOT_ENOUGH_MEMORY;
    return nullptr;
}

std::uint16_t FindFreeTcpPort() {
    constexpr std::uint16_t kNone = 65535;
    WinsockSession winsock;
    if (!winsock.Ok()) {
        return kNone;
    }
    const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) {
        return kNone;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    std::uint16_t port = kNone;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::closesocket(probe);
    return port;
}

}  // namespace platform
