// http_queue.h: the daemon's loopback HTTP endpoint as a request queue. URL prefixes are
// registered on the queue; one receive loop takes parsed requests from it, reads their bodies
// in pieces and answers each one from whatever thread handles it. Error results use the
// numbers of sys_error.h (MORE_DATA never happens: a request always fits).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// HttpRefusal is a request or a connection that the queue turned away on its own, before any
// receiver saw it.
struct HttpRefusal {
    int status = 0;      // the answer sent (400, 413, 431), 0 for a connection closed unanswered
    std::string reason;  // what was wrong, e.g. "repeated Host field", "connection limit reached"
};

// HttpQueueOptions are the limits that keep slow or greedy clients from holding the daemon.
// Where the system runs the HTTP service itself (Windows), the system's own limits and
// certificate binding apply instead.
struct HttpQueueOptions {
    // PEM certificate chain and private key of the https prefixes.
    std::string certificateFile;
    std::string privateKeyFile;
    std::size_t maxHeaderBytes = 16 * 1024;  // request line and header fields
    // What pages send fits in far less; a larger body is refused with 413 before it is read.
    std::size_t maxBodyBytes = 1024 * 1024;
    // idleTimeout bounds every wait on a client: TLS handshake, a keep-alive connection
    // without a request, a slow request, a response that the client does not read.
    std::chrono::seconds idleTimeout{30};
    // At the limit, the connection that has waited longest for its next request is closed to
    // make room; a new connection is refused only when every connection has a request in hand.
    std::size_t maxConnections = 1024;
    std::size_t ioThreads = 2;  // ignored by backends that have no threads of their own
    // onRefusal hears of every refusal, on the queue's own threads; it must not block.
    std::function<void(const HttpRefusal&)> onRefusal;
};

// HttpLocalAddress is the address that a request arrived on: family 4 or 6 (0 for any other
// family) and its numeric text ("127.0.0.1", "::1").
struct HttpLocalAddress {
    int family = 0;
    std::string text;
};

// HttpRequestHead is what a request says about itself.
struct HttpRequestHead {
    std::uint64_t id = 0;            // unique in the queue, never 0
    std::uint64_t connectionId = 0;  // shared by the requests of one connection
    std::string verb;                // as sent ("GET", "TRACK", "BREW")
    // verbCode numbers the known verbs: 3 OPTIONS, 4 GET, 5 HEAD, 6 POST, 7 PUT, 8 DELETE,
    // 9 TRACE, 10 CONNECT, 11 TRACK, 12 MOVE, 13 COPY, 14 PROPFIND, 15 PROPPATCH, 16 MKCOL,
    // 17 LOCK, 18 UNLOCK, 19 SEARCH; any other verb is 1.
    int verbCode = 0;
    int versionMajor = 0;
    int versionMinor = 0;
    // fullUrl is scheme, host and port of the matching prefix followed by absPath, e.g.
    // "https://host:port/getVersion?x=1". The host of a wildcard prefix is the one that the
    // client named.
    std::string fullUrl;
    // absPath is "/path?query": the path percent-decoded, a backslash read as "/", the "." and
    // ".." segments resolved; the query as sent. A target without a path ("*", the
    // authority form of CONNECT, "x") is refused with 400 and never received.
    std::string absPath;
    std::string rawUrl;  // the request target exactly as sent
    HttpLocalAddress localAddress;
    bool moreEntityBody = false;  // a body waits for ReceiveEntityBody
};

// HttpRequestState is what a backend keeps with a request it handed out.
class HttpRequestState {
  public:
    virtual ~HttpRequestState() = default;
};

// HttpRequest is one received request; it belongs to the thread that handles it and may
// outlive the queue (answering it then fails). A request destroyed without an answer closes
// its connection: the client learns at once that none will come.
class HttpRequest {
  public:
    explicit HttpRequest(HttpRequestHead head, std::unique_ptr<HttpRequestState> state = {})
        : head_(std::move(head)), state_(std::move(state)) {}
    HttpRequest(HttpRequest&&) noexcept = default;
    HttpRequest& operator=(HttpRequest&&) noexcept = default;
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;
    ~HttpRequest() = default;

    std::uint64_t Id() const { return head_.id; }
    std::uint64_t ConnectionId() const { return head_.connectionId; }
    const std::string& Verb() const { return head_.verb; }
    int VerbCode() const { return head_.verbCode; }
    int VersionMajor() const { return head_.versionMajor; }
    int VersionMinor() const { return head_.versionMinor; }
    const std::string& FullUrl() const { return head_.fullUrl; }
    const std::string& AbsPath() const { return head_.absPath; }
    const std::string& RawUrl() const { return head_.rawUrl; }
    const HttpLocalAddress& LocalAddress() const { return head_.localAddress; }
    bool MoreEntityBody() const { return head_.moreEntityBody; }

    // ClientGone is stopped when the answer can no longer reach the client: it hung up or
    // reset the connection, or the queue closed the connection. A client that only closed its
    // sending side still counts as present and gets its answer.
    std::stop_token ClientGone() const { return gone_.get_token(); }

    // State is the backend's part, for the queue that made the request.
    HttpRequestState* State() const { return state_.get(); }
    // GoneSource is what the backend stops when the client is gone.
    const std::stop_source& GoneSource() const { return gone_; }

  private:
    HttpRequestHead head_;
    std::stop_source gone_;
    // Declared last: a backend state that closes the connection on destruction still sees the
    // head and the stop source.
    std::unique_ptr<HttpRequestState> state_;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// HttpRequestQueue is the endpoint: one per process, shared by the receive loop and the
// request threads (every method is thread-safe).
class HttpRequestQueue {
  public:
    // Create makes a queue without prefixes; null and error set when the system refuses.
    static std::unique_ptr<HttpRequestQueue> Create(const HttpQueueOptions& options,
                                                    std::uint32_t& error);
    virtual ~HttpRequestQueue() = default;

    // AddUrl registers "scheme://host:port/path/" (scheme http or https, the path ends with
    // "/"). Only loopback addresses listen: a host name or wildcard ("+", "*") listens on
    // 127.0.0.1 and ::1 when it exists, an address literal on itself and it must be
    // loopback. Results: 0; INVALID_PARAMETER for a malformed prefix or a non-loopback
    // address; ALREADY_EXISTS when the prefix is registered or the port is taken (also by
    // the other scheme); ACCESS_DENIED; FILE_NOT_FOUND when the certificate or key of an
    // https prefix is missing or unusable. A request whose Host field names a host or port
    // that no prefix of its port serves is refused with 400 and never received.
    virtual std::uint32_t AddUrl(const std::string& prefix) = 0;
    // RemoveUrl forgets a prefix; the port closes with its last prefix. FILE_NOT_FOUND when
    // the prefix is not registered.
    virtual std::uint32_t RemoveUrl(const std::string& prefix) = 0;

    // ReceiveRequest blocks until a request arrives (0) or Shutdown is called
    // (OPERATION_ABORTED).
    virtual std::uint32_t ReceiveRequest(std::unique_ptr<HttpRequest>& request) = 0;
    // ReceiveEntityBody gives the next piece of the body, at most max bytes: 0 while more
    // follows, HANDLE_EOF with the last piece (and afterwards with none).
    virtual std::uint32_t ReceiveEntityBody(HttpRequest& request, std::string& chunk,
                                            std::size_t max = 2048) = 0;
    // SendResponse answers a request, at most once: the status line with the reason text, the
    // headers, Content-Length and the body (no Content-Type unless given). It returns once the
    // answer is handed to the connection, without waiting for the client to read it. A
    // "Connection: close" header closes the connection after.
    // CONNECTION_INVALID when the client is known gone or the request was answered already;
    // INVALID_PARAMETER for a status outside 200..999, a body with 204 or 304, a header with CR or
    // LF, or a framing header (Content-Length, Transfer-Encoding) that the queue writes itself.
    virtual std::uint32_t SendResponse(HttpRequest& request, int status, const std::string& reason,
                                       const HttpHeaders& headers, std::string body) = 0;
    // Shutdown makes every ReceiveRequest return OPERATION_ABORTED and closes the ports and
    // connections. Afterwards only RemoveUrl still succeeds.
    virtual void Shutdown() = 0;
};

// FindFreeTcpPort is a TCP port that is free on 127.0.0.1 right now, 65535 when none is.
std::uint16_t FindFreeTcpPort();

}  // namespace platform
