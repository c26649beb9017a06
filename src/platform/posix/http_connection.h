// http_connection.h: the parts of the POSIX request queue that its connections see: the
// registered prefixes of a port, the owner that takes parsed requests, and one client
// connection (plain or TLS) that parses requests and writes their answers.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http_queue.h"
#include "platform/sys_error.h"

namespace platform::posix_http {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using Response = http::response<http::string_body>;

// Prefix is one registered URL prefix, split for matching.
struct Prefix {
    bool https = false;
    std::string host;     // as registered, brackets kept for IPv6 ("[::1]")
    std::string hostKey;  // lower case, without brackets; "+" and "*" match any host
    std::uint16_t port = 0;
    std::string path;  // begins and ends with "/"
    bool Wildcard() const { return hostKey == "+" || hostKey == "*"; }
    bool SameAs(const Prefix& other) const;
};

// ParsePrefix accepts "scheme://host:port/path/" with scheme http or https.
bool ParsePrefix(const std::string& text, Prefix& prefix);

// Port holds the prefixes registered on one TCP port. Connections read them for every
// request while AddUrl and RemoveUrl change them, hence the lock.
class Port {
  public:
    Port(std::uint16_t number, bool https) : number_(number), https_(https) {}
    std::uint16_t Number() const { return number_; }
    bool Https() const { return https_; }

    void Add(const Prefix& prefix);
    bool Remove(const Prefix& prefix);  // false when it was not there
    bool Has(const Prefix& prefix) const;
    bool Empty() const;

    enum class Match { Found, BadHost, NoPath };
    // Route finds the prefix for a request: the host named by the client ("Host" field,
    // may be empty) and the request path. On Found, fullUrlBase receives "scheme://host:port"
    // (a wildcard prefix takes the client's host, or localHost when it named none).
    Match Route(std::string_view hostField, std::string_view path, std::string_view localHost,
                std::string& fullUrlBase) const;

  private:
    const std::uint16_t number_;
    const bool https_;
    mutable std::mutex mutex_;
    std::vector<Prefix> prefixes_;
};

// ConnectionOwner is the queue as its connections see it.
class ConnectionOwner {
  public:
    virtual ~ConnectionOwner() = default;
    virtual const HttpQueueOptions& Options() const = 0;
    virtual std::uint64_t NextRequestId() = 0;
    // Deliver queues a parsed request for ReceiveRequest.
    virtual void Deliver(std::unique_ptr<HttpRequest> request) = 0;
    // Forget drops a closed connection from the owner's table.
    virtual void Forget(std::uint64_t connectionId) = 0;
    // Refused reports a request or connection turned away (HttpQueueOptions::onRefusal).
    virtual void Refused(int status, std::string_view reason) = 0;
    // Watch asks for CheckPeer calls while a request is in hand.
    virtual void Watch() = 0;
};

// Connection is one accepted client. It reads one request at a time: after handing a request
// to the owner it reads nothing more until the answer is written.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // Make wraps an accepted socket; tls is null for plain HTTP.
    static std::shared_ptr<Connection> Make(ConnectionOwner& owner, std::shared_ptr<Port> port,
                                            tcp::socket socket, net::ssl::context* tls,
                                            std::uint64_t id, HttpLocalAddress local);
    virtual ~Connection() = default;

    std::uint64_t Id() const { return id_; }
    const Port& OwnerPort() const { return *port_; }

    // Start begins the TLS handshake or the first read, on the connection's strand.
    virtual void Start() = 0;
    // CloseSoon closes the connection on its strand.
    virtual void CloseSoon() = 0;
    // Abort closes the connection from outside once no I/O thread runs any more.
    virtual void Abort() = 0;
    // CheckPeer looks, on the strand, whether the client of the request in hand is still
    // there, and closes the connection when it is not.
    virtual void CheckPeer() = 0;

    // Send hands the answer to requestId over for writing: 0, or CONNECTION_INVALID when the
    // connection is closed or the request is not the one in hand.
    std::uint32_t Send(std::uint64_t requestId, Response response);
    // Abandon closes the connection when requestId is still without an answer.
    void Abandon(std::uint64_t requestId);
    // InHand tells whether a request of this connection waits for its answer.
    bool InHand() const;

    // WaitingSince is when the connection began to wait for its next request (steady clock
    // ticks), 0 while a request is read, handled or answered.
    std::int64_t WaitingSince() const { return waitingSince_.load(std::memory_order_relaxed); }
    // MarkEvicted is true for the first caller only: the one that closes it to make room.
    bool MarkEvicted() { return !evicted_.exchange(true); }
    bool Evicted() const { return evicted_.load(); }

  protected:
    Connection(ConnectionOwner& owner, std::shared_ptr<Port> port, std::uint64_t id)
        : owner_(owner), port_(std::move(port)), id_(id) {}

    // The write itself, on the strand.
    virtual void PostWrite(Response response) = 0;

    // Awaiting marks requestId as the request in hand; gone is stopped if the connection
    // closes before the answer is handed over.
    void Awaiting(std::uint64_t requestId, std::stop_source gone);
    // MarkClosed refuses further answers and stops the request in hand.
    void MarkClosed();
    void SetWaiting(bool waiting);

    ConnectionOwner& owner_;
    const std::shared_ptr<Port> port_;
    const std::uint64_t id_;

  private:
    mutable std::mutex mutex_;
    std::uint64_t awaiting_ = 0;  // request id whose answer is expected, 0 when none
    std::stop_source gone_{std::nostopstate};
    bool closed_ = false;
    std::atomic<std::int64_t> waitingSince_{0};
    std::atomic<bool> evicted_{false};
};

// PosixRequestState is what a request keeps from its connection.
class PosixRequestState final : public HttpRequestState {
  public:
    ~PosixRequestState() override {
        if (const auto owner = connection.lock()) {
            owner->Abandon(requestId);
        }
    }

    std::weak_ptr<Connection> connection;
    std::uint64_t requestId = 0;
    std::string body;
    std::size_t bodyRead = 0;
    bool keepAlive = true;  // the client lets the connection live after the answer
    bool headRequest = false;
};

}  // namespace platform::posix_http
