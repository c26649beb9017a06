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

// SplitTarget splits an origin-form ("/p?q") or absolute-form ("http://host:port/p?q")
// request target into the authority (empty for the origin form) and path with query. False
// for a target without an absolute path: "*", the authority form of CONNECT, "x".
bool SplitTarget(std::string_view target, std::string_view& authority, std::string& rest) {
    if (!target.empty() && target.front() == '/') {
        rest = std::string(target);
        return true;
    }
    std::size_t skip = 0;
    if (StartsWithNoCase(target, "http://")) {
        skip = 7;
    } else if (StartsWithNoCase(target, "https://")) {
        skip = 8;
    } else {
        return false;
    }
    const auto end = target.find_first_of("/?#", skip);
    authority = target.substr(skip, end == std::string_view::npos ? target.npos : end - skip);
    const auto tail = end == std::string_view::npos ? std::string_view{} : target.substr(end);
    rest = tail.empty() || tail.front() != '/' ? "/" + std::string(tail) : std::string(tail);
    return !authority.empty() && authority.find('@') == std::string_view::npos;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// DecodePath percent-decodes a path and reads a backslash as "/". A broken escape or a
// decoded control character makes it unusable.
bool DecodePath(std::string_view path, std::string& decoded) {
    decoded.clear();
    decoded.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == '%') {
            const int high = i + 2 < path.size() ? HexValue(path[i + 1]) : -1;
            const int low = high < 0 ? -1 : HexValue(path[i + 2]);
            if (low < 0) {
                return false;
            }
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return false;
        }
        decoded.push_back(c == '\\' ? '/' : c);
    }
    return true;
}

// RemoveDotSegments resolves "." and ".." in a path that begins with "/"; ".." never climbs
// above the root.
std::string RemoveDotSegments(std::string_view path) {
    std::vector<std::string_view> kept;
    bool trailing = false;
    std::size_t begin = 1;
    while (begin <= path.size()) {
        const auto end = std::min(path.find('/', begin), path.size());
        const auto segment = path.substr(begin, end - begin);
        const bool last = end == path.size();
        if (segment == "." || segment == "..") {
            if (segment == ".." && !kept.empty()) {
                kept.pop_back();
            }
            trailing = last;
        } else {
            kept.push_back(segment);
        }
        begin = end + 1;
    }
    std::string out;
    out.reserve(path.size());
    for (const auto segment : kept) {
        out.append("/").append(segment);
    }
    if (out.empty() || (trailing && out.back() != '/')) {
        out.push_back('/');
    }
    return out;
}

// CookTarget makes absPath from path and query: the path decoded and normalised, the query
// as sent.
bool CookTarget(std::string_view rest, std::string& absPath) {
    const auto question = rest.find('?');
    std::string decoded;
    if (!DecodePath(rest.substr(0, question), decoded)) {
        return false;
    }
    absPath = RemoveDotSegments(decoded);
    if (question != std::string_view::npos) {
        absPath.append(rest.substr(question));
    }
    return true;
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

// FieldProblem applies the framing and Host rules: one non-empty Host field (required from
// HTTP/1.1 on) and no transfer coding but a lone "chunked". Empty when the fields are usable.
std::string_view FieldProblem(const http::request<http::string_body>& request) {
    const auto hosts = request.count(http::field::host);
    if (hosts > 1) {
        return "repeated Host field";
    }
    if (hosts == 0 && request.version() >= 11) {
        return "missing Host field";
    }
    if (hosts == 1 && request[http::field::host].empty()) {
        return "empty Host field";
    }
    const auto codings = request.count(http::field::transfer_encoding);
    if (codings > 1 ||
        (codings == 1 && (!beast::iequals(request[http::field::transfer_encoding], "chunked") ||
                          request.count(http::field::content_length) != 0))) {
        return "transfer coding other than chunked";
    }
    return {};
}

std::int64_t SteadyTicks() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
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
        MarkClosed();
        Lowest().close();
    }

    void CheckPeer() override {
        net::post(stream_.get_executor(), beast::bind_front_handler(&Session::LookAtPeer, Self()));
    }

  private:
    std::shared_ptr<Session> Self() {
        return std::static_pointer_cast<Session>(shared_from_this());
    }
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
    std::chrono::seconds Idle() const { return owner_.Options().idleTimeout; }
    bool KeepAlive() const {
        const auto& request = parser_->get();
        return request.version() == 11 && request.keep_alive();
    }

    void PostWrite(Response response) override {
        net::post(stream_.get_executor(), [self = Self(), r = std::move(response)]() mutable {
            try {
                self->Write(std::move(r));
            } catch (const std::exception&) {
                self->Close();  // the answer is lost; the client must not wait for it
            }
        });
    }

    void Begin() {
        SetWaiting(true);
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
        SetWaiting(true);
        Lowest().expires_after(Idle());
        http::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::OnHeader, Self()));
    }

    void OnHeader(error_code ec, std::size_t) {
        if (ec) {
            return OnReadError(ec);
        }
        SetWaiting(false);
        if (!Admissible()) {
            return;
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

    // Admissible checks target, fields and route before any body is read; a request that
    // fails is answered here.
    bool Admissible() {
        const auto& request = parser_->get();
        std::string_view authority;
        std::string rest;
        if (!SplitTarget(Std(request.target()), authority, rest)) {
            return Refuse(400, "no absolute path in the target");
        }
        if (const auto problem = FieldProblem(request); !problem.empty()) {
            return Refuse(400, problem);
        }
        if (!CookTarget(rest, absPath_)) {
            return Refuse(400, "undecodable path");
        }
        // A whole URL names its own host; the Host field then only has to be there.
        const auto host = authority.empty() ? Std(request[http::field::host]) : authority;
        urlBase_.clear();
        switch (port_->Route(host, PathOf(absPath_), local_.text, urlBase_)) {
            case Port::Match::Found:
                return true;
            case Port::Match::BadHost:
                return Refuse(400, "host not served here");
            case Port::Match::NoPath:
                break;
        }
        Answer(404, "Not Found", KeepAlive() && parser_->is_done());
        return false;
    }

    bool Refuse(unsigned status, std::string_view reason) {
        owner_.Refused(static_cast<int>(status), reason);
        Answer(status, http::obsolete_reason(static_cast<http::status>(status)), false);
        return false;
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
            Refuse(431, "header fields too large");
        } else if (ec == http::error::body_limit) {
            Refuse(413, "body larger than the limit");
        } else if (IsParseError(ec)) {
            Refuse(400, "malformed request");
        } else {
            Close();
        }
    }

    void Deliver() {
        auto& request = parser_->get();
        HttpRequestHead head;
        head.id = owner_.NextRequestId();
        head.connectionId = id_;
        head.verb = std::string(request.method_string());
        head.verbCode = VerbCode(head.verb);
        head.versionMajor = static_cast<int>(request.version() / 10);
        head.versionMinor = static_cast<int>(request.version() % 10);
        head.fullUrl = std::move(urlBase_) + absPath_;
        head.absPath = std::move(absPath_);
        head.rawUrl = std::string(Std(request.target()));
        head.localAddress = local_;

        auto state = std::make_unique<PosixRequestState>();
        state->connection = weak_from_this();
        state->requestId = head.id;
        state->body = std::move(request.body());
        state->keepAlive = KeepAlive();
        state->headRequest = head.verbCode == kHeadVerb;
        head.moreEntityBody = !state->body.empty();
        version11_ = request.version() == 11;
        probed_ = false;
        parser_.reset();
        if (buffer_.size() == 0 && buffer_.capacity() > kIdleBufferBytes) {
            buffer_.shrink_to_fit();  // idle connections should not keep a large body's room
        }

        // Nothing is read until the answer is written, so no timer runs meanwhile: the
        // handler may take as long as its operation does. The owner's watch looks at the
        // client now and then instead.
        auto handed = std::make_unique<HttpRequest>(std::move(head), std::move(state));
        Awaiting(handed->Id(), handed->GoneSource());
        owner_.Watch();
        owner_.Deliver(std::move(handed));
    }

    // Answer writes a response of the queue's own (a refused request).
    void Answer(unsigned status, beast::string_view reason, bool keepAlive) {
        parser_.reset();
        Response response{static_cast<http::status>(status), 11};
        response.reason(reason);
        response.keep_alive(keepAlive);
        response.content_length(0);
        Write(std::move(response));
    }

    void Write(Response response) {
        if (down_) {
            return;
        }
        if (probing_) {
            pending_ = std::move(response);  // written once the probe is out
            hasPending_ = true;
            return;
        }
        response_ = std::move(response);
        Lowest().expires_after(Idle());
        http::async_write(stream_, response_, beast::bind_front_handler(&Session::OnWrite, Self()));
    }

    void OnWrite(error_code ec, std::size_t) {
        if (ec) {
            return Close();
        }
        if (response_.need_eof()) {
            return Finish();
        }
        response_ = {};
        ReadHeader();
    }

    // LookAtPeer tells a client that hung up from one that only closed its sending side. A
    // reset or hang-up shows at once. An end of stream alone may be either: an interim
    // "100 Continue" goes out, which a half-closed client reads and ignores, and a closed
    // one answers with a reset that the next look sees.
    void LookAtPeer() {
        if (down_ || probing_ || !InHand()) {
            return;
        }
        pollfd watch{};
        watch.fd = Lowest().socket().native_handle();
        watch.events = POLLRDHUP;
        if (::poll(&watch, 1, 0) <= 0) {
            return;
        }
        if ((watch.revents & (POLLHUP | POLLERR)) != 0) {
            return Close();
        }
        if ((watch.revents & POLLRDHUP) != 0 && !probed_ && version11_) {
            probing_ = true;
            Lowest().expires_after(Idle());
            net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                             beast::bind_front_handler(&Session::OnProbe, Self()));
        }
    }

    void OnProbe(error_code ec, std::size_t) {
        probing_ = false;
        probed_ = true;
        if (ec) {
            return Close();
        }
        if (hasPending_) {
            hasPending_ = false;
            Write(std::move(pending_));
        }
    }

    // Finish ends the connection politely: TLS close_notify, or a half close followed by
    // reading what the client still sends, so that it gets the last answer and no reset.
    void Finish() {
        MarkClosed();
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
        MarkClosed();
        Lowest().close();
        owner_.Forget(id_);
    }

    const HttpLocalAddress local_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::string absPath_;  // of the request being read, once its head is checked
    std::string urlBase_;
    Response response_;
    Response pending_;
    bool down_ = false;
    bool probing_ = false;
    bool probed_ = false;
    bool hasPending_ = false;
    bool version11_ = false;
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
    {
        std::lock_guard lock(mutex_);
        if (closed_ || requestId == 0 || awaiting_ != requestId) {
            return SysError::CONNECTION_INVALID;
        }
        awaiting_ = 0;
        gone_ = std::stop_source(std::nostopstate);
    }
    try {
        PostWrite(std::move(response));
    } catch (const std::exception&) {
        MarkClosed();
        return SysError::NOT_ENOUGH_MEMORY;
    }
    return SysError::SUCCESS;
}

void Connection::Abandon(std::uint64_t requestId) {
    {
        std::lock_guard lock(mutex_);
        if (closed_ || requestId == 0 || awaiting_ != requestId) {
            return;
        }
        awaiting_ = 0;
        closed_ = true;
        gone_ = std::stop_source(std::nostopstate);
    }
    try {
        CloseSoon();
    } catch (const std::exception&) {
        // Out of memory: the idle timer of the next read never starts, the queue's shut-down
        // still closes the socket.
    }
}

bool Connection::InHand() const {
    std::lock_guard lock(mutex_);
    return awaiting_ != 0;
}

void Connection::Awaiting(std::uint64_t requestId, std::stop_source gone) {
    std::lock_guard lock(mutex_);
    awaiting_ = requestId;
    gone_ = std::move(gone);
}

void Connection::MarkClosed() {
    std::stop_source gone(std::nostopstate);
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        awaiting_ = 0;
        gone.swap(gone_);
    }
    gone.request_stop();
}

void Connection::SetWaiting(bool waiting) {
    waitingSince_.store(waiting ? std::max<std::int64_t>(SteadyTicks(), 1) : 0,
                        std::memory_order_relaxed);
}

}  // namespace platform::posix_http
