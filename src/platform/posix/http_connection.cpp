#include "platform/posix/http_connection.h"

#include <poll.h>

#include <algorithm>
#include <array>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

namespace platform::posix_http {
namespace {

namespace beast = boost::beast;
using beast::error_code;

struct VerbEntry {
    std::string_view text;
    int code;
};

constexpr VerbEntry kVerbs[] = {
    {"OPTIONS", 3}, {"GET", 4},       {"HEAD", 5},       {"POST", 6},   {"PUT", 7},
    {"DELETE", 8},  {"TRACE", 9},     {"CONNECT", 10},   {"TRACK", 11}, {"MOVE", 12},
    {"COPY", 13},   {"PROPFIND", 14}, {"PROPPATCH", 15}, {"MKCOL", 16}, {"LOCK", 17},
    {"UNLOCK", 18}, {"SEARCH", 19},
};
constexpr int kUnknownVerb = 1;
constexpr int kHeadVerb = 5;

// Answer to "Expect: 100-continue", so that clients send the body without waiting.
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

constexpr std::size_t kIdleBufferBytes = 16 * 1024;

// How long a closing connection waits for the client to finish (TLS close, unread body).
constexpr std::chrono::seconds kLingerTime{2};

int VerbCode(std::string_view verb) {
    for (const auto& entry : kVerbs) {
        if (entry.text == verb) {
            return entry.code;
        }
    }
    return kUnknownVerb;
}

// Beast 1.74 speaks boost::string_view; these bridge to the standard one.
std::string_view Std(beast::string_view text) {
    return {text.data(), text.size()};
}
beast::string_view Beast(std::string_view text) {
    return {text.data(), text.size()};
}

bool StartsWithNoCase(std::string_view text, std::string_view head) {
    return text.size() >= head.size() &&
           beast::iequals(Beast(text.substr(0, head.size())), Beast(head));
}

// AbsPathOf keeps path and query of a request target; an absolute-form target loses its
// scheme and authority, "*" and the authority form of CONNECT have none.
std::string AbsPathOf(std::string_view target) {
    if (!target.empty() && target.front() == '/') {
        return std::string(target);
    }
    const auto scheme = target.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    const auto rest = target.find_first_of("/?", scheme + 3);
    if (rest == std::string_view::npos) {
        return "/";
    }
    if (target[rest] == '?') {
        return "/" + std::string(target.substr(rest));
    }
    return std::string(target.substr(rest));
}

std::string_view PathOf(std::string_view absPath) {
    const auto path = absPath.substr(0, absPath.find('?'));
    return path.empty() ? std::string_view("/") : path;
}

bool ValidHostChars(std::string_view host) {
    return std::none_of(host.begin(), host.end(), [](unsigned char c) {
        return c <= ' ' || c >= 0x7f || c == '/' || c == '?' || c == '#' || c == '@' || c == '[' ||
               c == ']' || c == ':';
    });
}

// SplitHostField splits "name:port", "[v6]:port" or a bare name; port is empty when absent.
void SplitHostField(std::string_view field, std::string_view& host, std::string_view& port) {
    if (!field.empty() && field.front() == '[') {
        const auto close = field.find(']');
        host = field.substr(1, close == std::string_view::npos ? field.npos : close - 1);
        const auto rest =
            close == std::string_view::npos ? std::string_view{} : field.substr(close + 1);
        port = rest.empty() ? rest : rest.substr(1);
        return;
    }
    const auto colon = field.rfind(':');
    host = field.substr(0, colon);
    port = colon == std::string_view::npos ? std::string_view{} : field.substr(colon + 1);
}

std::string HostForUrl(std::string_view host) {
    if (host.find(':') != std::string_view::npos) {
        return "[" + std::string(host) + "]";
    }
    return std::string(host);
}

bool IsParseError(const error_code& ec) {
    return ec.category() == beast::http::make_error_code(http::error::end_of_stream).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

// Session is a connection over one stream type: beast::tcp_stream for http, an ssl_stream
// over it for https. Everything it does runs on the strand of its socket.
template <class Stream>
class Session final : public Connection {
  public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class... StreamArgs>
    Session(ConnectionOwner& owner, std::shared_ptr<Port> port, std::uint64_t id,
            HttpLocalAddress local, StreamArgs&&... streamArgs)
        : Connection(owner, std::move(port), id),
          local_(std::move(local)),
          stream_(std::forward<StreamArgs>(streamArgs)...) {}

    void Start() override {
        net::dispatch(stream_.get_executor(), beast::bind_front_handler(&Session::Begin, Self()));
    }

    void CloseSoon() override {
        net::post(stream_.get_executor(), beast::bind_front_handler(&Session::Close, Self()));
    }

    void Abort() override {
        down_ = true;
        MarkClosed(true);
        Lowest().close();
    }

  private:
    std::shared_ptr<Session> Self() {
        return std::static_pointer_cast<Session>(shared_from_this());
    }
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
    std::chrono::seconds Idle() const { return owner_.Options().idleTimeout; }

    void PostWrite(Response response) override {
        net::post(stream_.get_executor(), [self = Self(), r = std::move(response)]() mutable {
            try {
                self->Write(std::move(r), true);
            } catch (const std::exception&) {
                // The sender must not stay blocked on a write that never started.
                self->FinishSend(SysError::CONNECTION_INVALID);
                self->Close();
            }
        });
    }

    void Begin() {
        if constexpr (kTls) {
            Lowest().expires_after(Idle());
            stream_.async_handshake(net::ssl::stream_base::server,
                                    beast::bind_front_handler(&Session::OnHandshake, Self()));
        } else {
            ReadHeader();
        }
    }

    void OnHandshake(error_code ec) {
        if (ec) {
            return Close();
        }
        ReadHeader();
    }

    void ReadHeader() {
        const auto& options = owner_.Options();
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(
            options.maxHeaderBytes, std::numeric_limits<std::uint32_t>::max())));
        parser_->body_limit(options.maxBodyBytes);
        Lowest().expires_after(Idle());
        http::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::OnHeader, Self()));
    }

    void OnHeader(error_code ec, std::size_t) {
        if (ec) {
            return OnReadError(ec);
        }
        if (parser_->is_done()) {
            return Deliver();
        }
        const auto& request = parser_->get();
        if (request.version() >= 11 &&
            beast::iequals(request[http::field::expect], "100-continue")) {
            Lowest().expires_after(Idle());
            net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                             beast::bind_front_handler(&Session::OnContinue, Self()));
            return;
        }
        ReadBody();
    }

    void OnContinue(error_code ec, std::size_t) {
        if (ec) {
            return Close();
        }
        ReadBody();
    }

    void ReadBody() {
        Lowest().expires_after(Idle());
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&Session::OnBody, Self()));
    }

    void OnBody(error_code ec, std::size_t) {
        if (ec) {
            return OnReadError(ec);
        }
        Deliver();
    }

    // OnReadError answers what the client got wrong and drops what merely went away
    // (closed, reset, timed out, TLS truncated).
    void OnReadError(const error_code& ec) {
        if (ec == http::error::header_limit) {
            return Answer(431, "Request Header Fields Too Large", false);
        }
        if (ec == http::error::body_limit) {
            return Answer(413, "Payload Too Large", false);
        }
        if (IsParseError(ec)) {
            return Answer(400, "Bad Request", false);
        }
        Close();
    }

    void Deliver() {
        auto& request = parser_->get();
        const bool keepAlive = request.version() == 11 && request.keep_alive();
        HttpRequestHead head;
        head.absPath = AbsPathOf(Std(request.target()));
        std::string urlBase;
        switch (port_->Route(Std(request[http::field::host]), PathOf(head.absPath), local_.text,
                             urlBase)) {
            case Port::Match::Found:
                break;
            case Port::Match::BadHost:
                return Answer(400, "Bad Request", false);
            case Port::Match::NoPath:
                return Answer(404, "Not Found", keepAlive);
        }
        head.id = owner_.NextRequestId();
        head.connectionId = id_;
        head.verb = std::string(request.method_string());
        head.verbCode = VerbCode(head.verb);
        head.versionMajor = static_cast<int>(request.version() / 10);
        head.versionMinor = static_cast<int>(request.version() % 10);
        head.fullUrl = std::move(urlBase) + head.absPath;
        head.rawUrl = std::string(Std(request.target()));
        head.localAddress = local_;

        auto state = std::make_unique<PosixRequestState>();
        state->connection = weak_from_this();
        state->body = std::move(request.body());
        state->keepAlive = keepAlive;
        state->headRequest = head.verbCode == kHeadVerb;
        head.moreEntityBody = !state->body.empty();
        parser_.reset();
        if (buffer_.size() == 0 && buffer_.capacity() > kIdleBufferBytes) {
            buffer_.shrink_to_fit();  // idle connections should not keep a large body's room
        }

        // Nothing is read until the answer is written, so no timer runs meanwhile: the
        // handler may take as long as its operation does.
        Awaiting(head.id);
        owner_.Deliver(std::make_unique<HttpRequest>(std::move(head), std::move(state)));
    }

    // Answer writes a response of the queue's own (a refused request).
    void Answer(unsigned status, std::string_view reason, bool keepAlive) {
        parser_.reset();
        Response response{static_cast<http::status>(status), 11};
        response.reason(Beast(reason));
        response.keep_alive(keepAlive);
        response.content_length(0);
        Write(std::move(response), false);
    }

    void Write(Response response, bool forSend) {
        if (down_) {
            if (forSend) {
                FinishSend(SysError::CONNECTION_INVALID);
            }
            return;
        }
        if (forSend && PeerGone()) {
            FinishSend(SysError::CONNECTION_INVALID);
            return Close();
        }
        response_ = std::move(response);
        Lowest().expires_after(Idle());
        http::async_write(stream_, response_,
                          beast::bind_front_handler(&Session::OnWrite, Self(), forSend));
    }

    // PeerGone tells whether the client closed its side while its request was being
    // handled; the write alone would still succeed, and the answer would go nowhere.
    bool PeerGone() {
        pollfd watch{};
        watch.fd = Lowest().socket().native_handle();
        watch.events = POLLRDHUP;
        return ::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLRDHUP | POLLHUP | POLLERR));
    }

    void OnWrite(bool forSend, error_code ec, std::size_t) {
        if (forSend) {
            FinishSend(ec ? SysError::CONNECTION_INVALID : SysError::SUCCESS);
        }
        if (ec) {
            return Close();
        }
        if (response_.need_eof()) {
            return Finish();
        }
        response_ = {};
        ReadHeader();
    }

    // Finish ends the connection politely: TLS close_notify, or a half close followed by
    // reading what the client still sends, so that it gets the last answer and no reset.
    void Finish() {
        MarkClosed(false);
        Lowest().expires_after(std::min(Idle(), std::chrono::seconds(kLingerTime)));
        if constexpr (kTls) {
            stream_.async_shutdown(beast::bind_front_handler(&Session::OnFinished, Self()));
        } else {
            error_code ignored;
            Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
            Drain();
        }
    }

    void Drain() {
        Lowest().async_read_some(net::buffer(drain_),
                                 beast::bind_front_handler(&Session::OnDrained, Self()));
    }

    void OnDrained(error_code ec, std::size_t bytes) {
        drained_ += bytes;
        if (ec || drained_ > owner_.Options().maxBodyBytes) {
            return Close();
        }
        Drain();
    }

    void OnFinished(error_code) { Close(); }

    void Close() {
        if (down_) {
            return;
        }
        down_ = true;
        MarkClosed(false);
        Lowest().close();
        owner_.Forget(id_);
    }

    const HttpLocalAddress local_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Response response_;
    bool down_ = false;
    std::array<char, 512> drain_{};
    std::size_t drained_ = 0;
};

}  // namespace

bool Prefix::SameAs(const Prefix& other) const {
    return https == other.https && port == other.port && hostKey == other.hostKey &&
           beast::iequals(Beast(path), Beast(other.path));
}

bool ParsePrefix(const std::string& text, Prefix& prefix) {
    std::string_view rest(text);
    if (StartsWithNoCase(rest, "https://")) {
        prefix.https = true;
        rest.remove_prefix(8);
    } else if (StartsWithNoCase(rest, "http://")) {
        prefix.https = false;
        rest.remove_prefix(7);
    } else {
        return false;
    }
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos || rest.back() != '/') {
        return false;
    }
    const auto authority = rest.substr(0, slash);
    const auto path = rest.substr(slash);
    const bool bracketed = !authority.empty() && authority.front() == '[';
    const auto close = authority.find(']');
    if (bracketed && (close == std::string_view::npos || close + 1 >= authority.size() ||
                      authority[close + 1] != ':')) {
        return false;
    }
    std::string_view host;
    std::string_view port;
    SplitHostField(authority, host, port);
    if (host.empty() || port.empty() || port.size() > 5 || (!bracketed && !ValidHostChars(host))) {
        return false;
    }
    unsigned number = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number == 0 || number > 65535) {
        return false;
    }
    if (std::any_of(path.begin(), path.end(), [](unsigned char c) {
            return c <= ' ' || c >= 0x7f || c == '?' || c == '#';
        })) {
        return false;
    }
    prefix.host = std::string(bracketed ? authority.substr(0, host.size() + 2) : host);
    prefix.hostKey = std::string(host);
    std::transform(prefix.hostKey.begin(), prefix.hostKey.end(), prefix.hostKey.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    prefix.port = static_cast<std::uint16_t>(number);
    prefix.path = std::string(path);
    return true;
}

void Port::Add(const Prefix& prefix) {
    std::lock_guard lock(mutex_);
    prefixes_.push_back(prefix);
    // Longest path first, so that Route takes the most specific prefix.
    std::stable_sort(prefixes_.begin(), prefixes_.end(), [](const Prefix& a, const Prefix& b) {
        return a.path.size() > b.path.size();
    });
}

bool Port::Remove(const Prefix& prefix) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(prefixes_.begin(), prefixes_.end(),
                                 [&](const Prefix& p) { return p.SameAs(prefix); });
    if (it == prefixes_.end()) {
        return false;
    }
    prefixes_.erase(it);
    return true;
}

bool Port::Has(const Prefix& prefix) const {
    std::lock_guard lock(mutex_);
    return std::any_of(prefixes_.begin(), prefixes_.end(),
                       [&](const Prefix& p) { return p.SameAs(prefix); });
}

bool Port::Empty() const {
    std::lock_guard lock(mutex_);
    return prefixes_.empty();
}

Port::Match Port::Route(std::string_view hostField, std::string_view path,
                        std::string_view localHost, std::string& fullUrlBase) const {
    std::string_view host;
    std::string_view hostPort;
    SplitHostField(hostField, host, hostPort);
    // A host field naming another port or another host is a page that reached us under a
    // name we do not serve (a rebound DNS name, for one): it is not ours to answer.
    if (!hostPort.empty() && hostPort != std::to_string(number_)) {
        return Match::BadHost;
    }
    bool hostKnown = false;
    std::lock_guard lock(mutex_);
    for (const auto& prefix : prefixes_) {
        if (!host.empty() && !prefix.Wildcard() && !beast::iequals(Beast(host), prefix.hostKey)) {
            continue;
        }
        hostKnown = true;
        const bool under =
            StartsWithNoCase(path, prefix.path) ||
            (path.size() + 1 == prefix.path.size() && StartsWithNoCase(prefix.path, path));
        if (!under) {
            continue;
        }
        std::string_view urlHost = prefix.host;
        std::string named;
        if (prefix.Wildcard()) {
            named = HostForUrl(host.empty() ? localHost : host);
            urlHost = named;
        }
        fullUrlBase.reserve(prefix.host.size() + path.size() + 16);
        fullUrlBase.append(https_ ? "https://" : "http://")
            .append(urlHost)
            .append(":")
            .append(std::to_string(number_));
        return Match::Found;
    }
    return hostKnown ? Match::NoPath : Match::BadHost;
}

std::shared_ptr<Connection> Connection::Make(ConnectionOwner& owner, std::shared_ptr<Port> port,
                                             tcp::socket socket, net::ssl::context* tls,
                                             std::uint64_t id, HttpLocalAddress local) {
    if (tls != nullptr) {
        return std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            owner, std::move(port), id, std::move(local), std::move(socket), *tls);
    }
    return std::make_shared<Session<beast::tcp_stream>>(owner, std::move(port), id,
                                                        std::move(local), std::move(socket));
}

std::uint32_t Connection::Send(std::uint64_t requestId, Response response) {
    SendWait wait;
    {
        std::lock_guard lock(mutex_);
        if (closed_ || requestId == 0 || awaiting_ != requestId) {
            return SysError::CONNECTION_INVALID;
        }
        awaiting_ = 0;
        sending_ = &wait;
    }
    try {
        PostWrite(std::move(response));
    } catch (const std::exception&) {
        std::lock_guard lock(mutex_);
        if (sending_ == &wait) {
            sending_ = nullptr;
        }
        return SysError::NOT_ENOUGH_MEMORY;
    }
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return wait.done; });
    return wait.result;
}

void Connection::Awaiting(std::uint64_t requestId) {
    std::lock_guard lock(mutex_);
    awaiting_ = requestId;
}

void Connection::FinishSend(std::uint32_t result) {
    std::lock_guard lock(mutex_);
    if (sending_ != nullptr) {
        sending_->result = result;
        sending_->done = true;
        sending_ = nullptr;
    }
    done_.notify_all();
}

void Connection::MarkClosed(bool wakeWriter) {
    std::lock_guard lock(mutex_);
    closed_ = true;
    awaiting_ = 0;
    if (wakeWriter && sending_ != nullptr) {
        sending_->result = SysError::CONNECTION_INVALID;
        sending_->done = true;
        sending_ = nullptr;
        done_.notify_all();
    }
}

}  // namespace platform::posix_http
