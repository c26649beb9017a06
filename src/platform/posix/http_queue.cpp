#include "platform/http_queue.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/crash_handler.h"
#include "platform/http_text.h"
#include "platform/posix/http_connection.h"
#include "platform/sys_error.h"

namespace platform {
namespace {

using namespace posix_http;
namespace beast = boost::beast;
using boost::system::error_code;

// A failed accept for want of descriptors is retried after this pause rather than at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// While requests are in hand, their clients are looked at this often: a client that left is
// noticed within about two periods (one to see its end of stream, one to see its reset).
constexpr std::chrono::milliseconds kWatchPeriod{200};

std::uint32_t BindError(const error_code& ec) {
    if (ec == net::error::address_in_use) {
        return SysError::ALREADY_EXISTS;
    }
    return ErrorFromErrno(ec.value());
}

bool ResourceShortage(const error_code& ec) {
    return ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
           ec == net::error::no_memory || ec.value() == ENFILE;
}

// ListenAddress is one address that a prefix listens on.
struct ListenAddress {
    net::ip::address address;
    bool optional = false;  // ::1 may be missing when the host has IPv6 off
};

// ListenAddresses maps a prefix host to loopback addresses: an address literal listens on
// itself and must be loopback, a name or wildcard listens on both loopback addresses.
bool ListenAddresses(const Prefix& prefix, std::vector<ListenAddress>& addresses) {
    error_code ec;
    const auto literal = net::ip::make_address(prefix.hostKey, ec);
    const bool bracketed = prefix.host.front() == '[';
    if (!ec) {
        if (!literal.is_loopback() || literal.is_v6() != bracketed) {
            return false;
        }
        addresses.push_back({literal, false});
        return true;
    }
    if (bracketed) {
        return false;
    }
    addresses.push_back({net::ip::address_v4::loopback(), false});
    addresses.push_back({net::ip::address_v6::loopback(), true});
    return true;
}

HttpLocalAddress LocalAddressOf(const tcp::endpoint& endpoint) {
    HttpLocalAddress local;
    const auto address = endpoint.address();
    local.family = address.is_v4() ? 4 : 6;
    local.text = address.to_string();
    return local;
}

class PosixQueue;

// Acceptor takes the connections of one address of a port. Close may come from any thread,
// so every call on the socket goes through its lock.
class Acceptor : public std::enable_shared_from_this<Acceptor> {
  public:
    Acceptor(PosixQueue& queue, std::shared_ptr<Port> port, net::io_context& io)
        : queue_(queue),
          port_(std::move(port)),
          io_(io),
          acceptor_(net::make_strand(io)),
          retry_(acceptor_.get_executor()) {}

    std::uint32_t Open(const net::ip::address& address, error_code& ec);
    void Start();
    void Close();
    const net::ip::address& Address() const { return address_; }

  private:
    void Accept();
    void OnAccept(error_code ec, tcp::socket socket);

    PosixQueue& queue_;
    const std::shared_ptr<Port> port_;
    net::io_context& io_;
    std::mutex mutex_;
    tcp::acceptor acceptor_;
    net::steady_timer retry_;
    net::ip::address address_;
    bool closed_ = false;
};

// Listener is one port: its prefixes and the addresses it listens on.
struct Listener {
    std::shared_ptr<Port> port;
    std::vector<std::shared_ptr<Acceptor>> acceptors;
};

class PosixQueue final : public HttpRequestQueue, private ConnectionOwner {
  public:
    explicit PosixQueue(const HttpQueueOptions& options)
        : options_(options),
          io_(static_cast<int>(std::max<std::size_t>(options.ioThreads, 1))),
          watch_(net::make_strand(io_)) {}
    ~PosixQueue() override { Shutdown(); }

    std::uint32_t Start();

    std::uint32_t AddUrl(const std::string& prefix) override;
    std::uint32_t RemoveUrl(const std::string& prefix) override;
    std::uint32_t ReceiveRequest(std::unique_ptr<HttpRequest>& request) override;
    std::uint32_t ReceiveEntityBody(HttpRequest& request, std::string& chunk,
                                    std::size_t max) override;
    std::uint32_t SendResponse(HttpRequest& request, int status, const std::string& reason,
                               const HttpHeaders& headers, std::string body) override;
    void Shutdown() override;

    // Admit takes an accepted socket, or closes it when the queue is full or stopping.
    void Admit(const std::shared_ptr<Port>& port, tcp::socket socket);

  private:
    const HttpQueueOptions& Options() const override { return options_; }
    std::uint64_t NextRequestId() override { return ++lastRequestId_; }
    void Deliver(std::unique_ptr<HttpRequest> request) override;
    void Forget(std::uint64_t connectionId) override;
    void Refused(int status, std::string_view reason) override;
    void Watch() override;
    void OnWatch(error_code ec);
    // MakeRoom picks, at the connection limit, the connection that has waited longest for a
    // request; null when every connection has one in hand. Called under mutex_.
    std::shared_ptr<Connection> MakeRoom();

    std::uint32_t EnsureTls();
    std::uint32_t Listen(Listener& listener, const std::vector<ListenAddress>& addresses);
    void RunIo();

    const HttpQueueOptions options_;
    std::atomic<std::uint64_t> lastRequestId_{0};
    std::uint64_t lastConnectionId_ = 0;
    // Declared before the I/O context: streams made from it end with the context.
    std::unique_ptr<net::ssl::context> tls_;
    net::io_context io_;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work_;
    net::steady_timer watch_;  // on its own strand
    std::atomic<bool> watching_{false};

    std::mutex mutex_;  // guards what follows down to the request list
    bool stopping_ = false;
    std::map<std::uint16_t, Listener> listeners_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Connection>> connections_;
    std::size_t evicting_ = 0;  // connections closed to make room, not yet gone

    std::mutex requestsMutex_;
    std::condition_variable requestsReady_;
    std::deque<std::unique_ptr<HttpRequest>> requests_;
    bool aborted_ = false;

    std::vector<std::thread> threads_;
};

std::uint32_t Acceptor::Open(const net::ip::address& address, error_code& ec) {
    const tcp::endpoint endpoint(address, 0);
    address_ = address;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec && address.is_v6()) {
        acceptor_.set_option(net::ip::v6_only(true), ec);
    }
    if (!ec) {
        // Lets a restarted daemon take its port back while old connections linger; it does
        // not let two listeners share the port.
        acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        acceptor_.bind(tcp::endpoint(address, port_->Number()), ec);
    }
    if (!ec) {
        acceptor_.listen(net::socket_base::max_listen_connections, ec);
    }
    return ec ? BindError(ec) : SysError::SUCCESS;
}

void Acceptor::Start() {
    net::post(acceptor_.get_executor(),
              beast::bind_front_handler(&Acceptor::Accept, shared_from_this()));
}

void Acceptor::Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void Acceptor::Accept() {
    std::lock_guard lock(mutex_);
    if (closed_) {
        return;
    }
    acceptor_.async_accept(net::make_strand(io_),
                           beast::bind_front_handler(&Acceptor::OnAccept, shared_from_this()));
}

void Acceptor::OnAccept(error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) {
        return;
    }
    if (ResourceShortage(ec)) {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            retry_.expires_after(kAcceptRetry);
            retry_.async_wait([self = shared_from_this()](error_code waitError) {
                if (!waitError) {
                    self->Accept();
                }
            });
        }
        return;
    }
    if (!ec) {
        queue_.Admit(port_, std::move(socket));
    }
    Accept();
}

std::uint32_t PosixQueue::Start() {
    work_.emplace(io_.get_executor());
    const std::size_t count = std::max<std::size_t>(options_.ioThreads, 1);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                const ThreadCrashStack crashStack;
                RunIo();
            });
        }
    } catch (const std::system_error&) {
        Shutdown();
        return SysError::NOT_ENOUGH_MEMORY;
    }
    return SysError::SUCCESS;
}

void PosixQueue::RunIo() {
    for (;;) {
        try {
            io_.run();
            return;
        } catch (const std::exception&) {
            // A handler ran out of memory; its connection is lost, the others go on.
        }
    }
}

std::uint32_t PosixQueue::EnsureTls() {
    if (tls_) {
        return SysError::SUCCESS;
    }
    if (options_.certificateFile.empty() || options_.privateKeyFile.empty()) {
        return SysError::FILE_NOT_FOUND;
    }
    auto context = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
    error_code ec;
    context->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                             net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                             net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use,
                         ec);
    SSL_CTX* native = context->native_handle();
    bool usable = !ec && SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) == 1;
    if (usable) {
        context->use_certificate_chain_file(options_.certificateFile, ec);
        usable = !ec;
    }
    if (usable) {
        context->use_private_key_file(options_.privateKeyFile, net::ssl::context::pem, ec);
        usable = !ec && SSL_CTX_check_private_key(native) == 1;
    }
    if (!usable) {
        ERR_clear_error();
        return SysError::FILE_NOT_FOUND;
    }
    tls_ = std::move(context);
    return SysError::SUCCESS;
}

std::uint32_t PosixQueue::Listen(Listener& listener, const std::vector<ListenAddress>& addresses) {
    std::vector<std::shared_ptr<Acceptor>> opened;
    for (const auto& wanted : addresses) {
        const bool bound = std::any_of(
            listener.acceptors.begin(), listener.acceptors.end(),
            [&](const auto& acceptor) { return acceptor->Address() == wanted.address; });
        if (bound) {
            continue;
        }
        auto acceptor = std::make_shared<Acceptor>(*this, listener.port, io_);
        error_code ec;
        const std::uint32_t rc = acceptor->Open(wanted.address, ec);
        if (rc == SysError::SUCCESS) {
            opened.push_back(std::move(acceptor));
            continue;
        }
        if (wanted.optional && (ec == boost::system::errc::address_not_available ||
                                ec == net::error::address_family_not_supported)) {
            continue;
        }
        for (auto& done : opened) {
            done->Close();
        }
        return rc;
    }
    for (auto& acceptor : opened) {
        acceptor->Start();
        listener.acceptors.push_back(std::move(acceptor));
    }
    return SysError::SUCCESS;
}

std::uint32_t PosixQueue::AddUrl(const std::string& text) try {
    Prefix prefix;
    std::vector<ListenAddress> addresses;
    if (!ParsePrefix(text, prefix) || !ListenAddresses(prefix, addresses)) {
        return SysError::INVALID_PARAMETER;
    }
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return SysError::OPERATION_ABORTED;
    }
    auto found = listeners_.find(prefix.port);
    if (found != listeners_.end() &&
        (found->second.port->Https() != prefix.https || found->second.port->Has(prefix))) {
        return SysError::ALREADY_EXISTS;
    }
    if (prefix.https) {
        if (const auto rc = EnsureTls(); rc != SysError::SUCCESS) {
            return rc;
        }
    }
    const bool created = found == listeners_.end();
    if (created) {
        auto port = std::make_shared<Port>(prefix.port, prefix.https);
        found = listeners_.emplace(prefix.port, Listener{std::move(port), {}}).first;
    }
    if (const auto rc = Listen(found->second, addresses); rc != SysError::SUCCESS) {
        if (created) {
            listeners_.erase(found);
        }
        return rc;
    }
    found->second.port->Add(prefix);
    return SysError::SUCCESS;
} catch (const std::exception&) {
    return SysError::NOT_ENOUGH_MEMORY;
}

std::uint32_t PosixQueue::RemoveUrl(const std::string& text) try {
    Prefix prefix;
    if (!ParsePrefix(text, prefix)) {
        return SysError::INVALID_PARAMETER;
    }
    std::vector<std::shared_ptr<Acceptor>> acceptors;
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        const auto found = listeners_.find(prefix.port);
        if (found == listeners_.end() || !found->second.port->Remove(prefix)) {
            return SysError::FILE_NOT_FOUND;
        }
        if (!found->second.port->Empty()) {
            return SysError::SUCCESS;
        }
        acceptors = std::move(found->second.acceptors);
        for (const auto& [id, connection] : connections_) {
            if (&connection->OwnerPort() == found->second.port.get()) {
                connections.push_back(connection);
            }
        }
        listeners_.erase(found);
    }
    for (auto& acceptor : acceptors) {
        acceptor->Close();
    }
    for (auto& connection : connections) {
        connection->CloseSoon();
    }
    return SysError::SUCCESS;
} catch (const std::exception&) {
    return SysError::NOT_ENOUGH_MEMORY;
}

void PosixQueue::Admit(const std::shared_ptr<Port>& port, tcp::socket socket) {
    error_code ec;
    const auto local = socket.local_endpoint(ec);
    if (ec) {
        return;  // already reset by the client; the socket closes with this scope
    }
    // Answers are small and written whole; waiting to fill a segment only adds delay.
    socket.set_option(tcp::no_delay(true), ec);
    std::shared_ptr<Connection> connection;
    std::shared_ptr<Connection> evicted;
    {
        std::unique_lock lock(mutex_);
        if (stopping_) {
            return;
        }
        if (connections_.size() - evicting_ >= options_.maxConnections) {
            evicted = MakeRoom();
            if (!evicted) {
                lock.unlock();
                Refused(0, "connection limit reached");
                return;
            }
        }
        connection =
            Connection::Make(*this, port, std::move(socket), port->Https() ? tls_.get() : nullptr,
                             ++lastConnectionId_, LocalAddressOf(local));
        connections_.emplace(connection->Id(), connection);
    }
    if (evicted) {
        evicted->CloseSoon();
        Refused(0, "connection limit reached, the longest waiting connection closed");
    }
    connection->Start();
}

std::shared_ptr<Connection> PosixQueue::MakeRoom() {
    std::shared_ptr<Connection> oldest;
    for (const auto& [id, connection] : connections_) {
        const auto since = connection->WaitingSince();
        if (since != 0 && !connection->Evicted() && (!oldest || since < oldest->WaitingSince())) {
            oldest = connection;
        }
    }
    if (oldest && oldest->MarkEvicted()) {
        ++evicting_;
        return oldest;
    }
    return nullptr;
}

void PosixQueue::Forget(std::uint64_t connectionId) {
    std::shared_ptr<Connection> last;  // released after the lock
    std::lock_guard lock(mutex_);
    const auto found = connections_.find(connectionId);
    if (found != connections_.end()) {
        last = std::move(found->second);
        connections_.erase(found);
        evicting_ -= last->Evicted() && evicting_ > 0 ? 1 : 0;
    }
}

void PosixQueue::Refused(int status, std::string_view reason) {
    if (!options_.onRefusal) {
        return;
    }
    try {
        options_.onRefusal(HttpRefusal{status, std::string(reason)});
    } catch (const std::exception&) {
        // A listener that fails loses its report; the queue goes on.
    }
}

void PosixQueue::Watch() {
    if (watching_.exchange(true)) {
        return;
    }
    net::post(watch_.get_executor(), [this] {
        watch_.expires_after(kWatchPeriod);
        watch_.async_wait([this](error_code ec) { OnWatch(ec); });
    });
}

void PosixQueue::OnWatch(error_code ec) {
    if (ec) {
        return;
    }
    watching_ = false;  // before the look, so that a request handed out meanwhile re-arms
    std::vector<std::shared_ptr<Connection>> inHand;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, connection] : connections_) {
            if (connection->InHand()) {
                inHand.push_back(connection);
            }
        }
    }
    for (const auto& connection : inHand) {
        connection->CheckPeer();
    }
    if (!inHand.empty()) {
        Watch();
    }
}

void PosixQueue::Deliver(std::unique_ptr<HttpRequest> request) {
    {
        std::lock_guard lock(requestsMutex_);
        if (aborted_) {
            return;
        }
        requests_.push_back(std::move(request));
    }
    requestsReady_.notify_one();
}

std::uint32_t PosixQueue::ReceiveRequest(std::unique_ptr<HttpRequest>& request) {
    std::unique_lock lock(requestsMutex_);
    requestsReady_.wait(lock, [this] { return aborted_ || !requests_.empty(); });
    if (aborted_) {
        return SysError::OPERATION_ABORTED;
    }
    request = std::move(requests_.front());
    requests_.pop_front();
    return SysError::SUCCESS;
}

std::uint32_t PosixQueue::ReceiveEntityBody(HttpRequest& request, std::string& chunk,
                                            std::size_t max) try {
    auto* state = dynamic_cast<PosixRequestState*>(request.State());
    if (state == nullptr || max == 0) {
        return SysError::INVALID_PARAMETER;
    }
    if (state->bodyRead == 0 && max >= state->body.size()) {
        chunk.clear();
        chunk.swap(state->body);  // the whole body at once: handed over, not copied
        return SysError::HANDLE_EOF;
    }
    const std::size_t count = std::min(max, state->body.size() - state->bodyRead);
    chunk.assign(state->body, state->bodyRead, count);
    state->bodyRead += count;
    return state->bodyRead < state->body.size() ? SysError::SUCCESS : SysError::HANDLE_EOF;
} catch (const std::exception&) {
    return SysError::NOT_ENOUGH_MEMORY;
}

// The queue frames every body itself.
bool FramingHeader(std::string_view name) {
    const beast::string_view text(name.data(), name.size());
    return beast::iequals(text, "Content-Length") || beast::iequals(text, "Transfer-Encoding");
}

std::uint32_t PosixQueue::SendResponse(HttpRequest& request, int status, const std::string& reason,
                                       const HttpHeaders& headers, std::string body) try {
    auto* state = dynamic_cast<PosixRequestState*>(request.State());
    const bool bodyless = status == 204 || status == 304;
    if (state == nullptr || status < 200 || status > 999 || !CleanText(reason) ||
        (bodyless && !body.empty())) {
        return SysError::INVALID_PARAMETER;
    }
    Response response{static_cast<http::status>(status), 11};
    response.reason(beast::string_view(reason));
    for (const auto& [name, value] : headers) {
        if (!ValidHeaderName(name) || !CleanText(value) || FramingHeader(name)) {
            return SysError::INVALID_PARAMETER;
        }
        response.insert(beast::string_view(name), value);
    }
    response.keep_alive(state->keepAlive && response.keep_alive());
    if (!bodyless) {
        response.content_length(body.size());
    }
    if (!state->headRequest) {
        response.body() = std::move(body);
    }
    const auto connection = state->connection.lock();
    if (!connection) {
        return SysError::CONNECTION_INVALID;
    }
    return connection->Send(request.Id(), std::move(response));
} catch (const std::exception&) {
    return SysError::NOT_ENOUGH_MEMORY;
}

void PosixQueue::Shutdown() {
    {
        std::lock_guard lock(requestsMutex_);
        if (aborted_) {
            return;
        }
        aborted_ = true;
        requests_.clear();
    }
    requestsReady_.notify_all();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.reset();
    io_.stop();
    for (auto& thread : threads_) {
        thread.join();
    }
    threads_.clear();

    // No I/O thread runs any more: sockets are closed from here.
    std::unordered_map<std::uint64_t, std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(mutex_);
        connections.swap(connections_);
        for (auto& [number, listener] : listeners_) {
            for (auto& acceptor : listener.acceptors) {
                acceptor->Close();
            }
            listener.acceptors.clear();
        }
    }
    for (auto& [id, connection] : connections) {
        connection->Abort();
    }
}

}  // namespace

std::unique_ptr<HttpRequestQueue> HttpRequestQueue::Create(const HttpQueueOptions& options,
                                                           std::uint32_t& error) try {
    auto queue = std::make_unique<PosixQueue>(options);
    error = queue->Start();
    if (error != SysError::SUCCESS) {
        return nullptr;
    }
    return queue;
} catch (const std::exception&) {
    error = SysError::NOT_ENOUGH_MEMORY;
    return nullptr;
}

std::uint16_t FindFreeTcpPort() try {
    net::io_context io(1);
    tcp::acceptor probe(io);
    error_code ec;
    probe.open(tcp::v4(), ec);
    if (!ec) {
        probe.bind(tcp::endpoint(net::ip::address_v4::loopback(), 0), ec);
    }
    const auto endpoint = ec ? tcp::endpoint() : probe.local_endpoint(ec);
    return ec ? 65535 : endpoint.port();
} catch (const std::exception&) {
    return 65535;
}

}  // namespace platform
