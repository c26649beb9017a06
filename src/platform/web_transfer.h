// web_transfer.h: one HTTPS exchange of the worker, made as the user it runs as: a web-service
// call (a POST whose answer is gathered) or a download (a GET streamed to a receiver, resumed
// with a range). Only https is spoken, redirects included, and the peer's certificate and
// name are always verified against the system's trust store.
//
// POSIX: libcurl. Windows: WinHTTP.
//
// QVYLD_TEST_CA_FILE (test-only, POSIX): a PEM file of certificate authorities that replaces
// the system's trust store, so that tests can serve https with a throwaway authority. It
// never turns verification off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// WebError numbers why a transfer got no usable answer. The numbers are those the worker's
// replies have always carried (the transfer library's), whatever the backend.
namespace WebError {
inline constexpr int kNone = 0;
inline constexpr int kUnsupportedScheme = 1;  // not https, or a redirect to another scheme
inline constexpr int kFailedInit = 2;
inline constexpr int kBadUrl = 3;
inline constexpr int kUnknownHost = 6;
inline constexpr int kConnect = 7;
inline constexpr int kPartial = 18;     // the answer ended before its announced length
inline constexpr int kHttpStatus = 22;  // failOnHttpError and a status of 400 or more
inline constexpr int kAborted = 23;     // the receiver refused the bytes
inline constexpr int kTimeout = 28;     // a time limit ran out
inline constexpr int kTlsHandshake = 35;
inline constexpr int kTooManyRedirects = 47;
inline constexpr int kGotNothing = 52;
inline constexpr int kSend = 55;
inline constexpr int kReceive = 56;
inline constexpr int kUntrustedPeer = 60;  // the certificate or its name is not trusted
inline constexpr int kOther = 99;
}  // namespace WebError

// WebRequest describes one transfer.
struct WebRequest {
    // Limits of every transfer: a connection (TLS included) within kConnectSeconds, and an
    // answer that moves nothing for kStallSeconds is given up; at most kMaxRedirects hops.
    static constexpr long kConnectSeconds = 30;
    static constexpr long kStallSeconds = 60;
    static constexpr int kMaxRedirects = 10;

    std::string url;
    bool post = false;  // POST with body (kept through every redirect), else GET
    std::string body;
    std::vector<std::string> headers;  // "Name: value"
    std::string cookie;                // "name=value", sent when not empty
    // followRedirects false: a redirect answer ends the transfer with its status and its
    // target in WebResult::location, so that the caller decides where its data may go.
    bool followRedirects = true;
    long timeoutSeconds = 0;       // bound of the whole transfer; 0: none
    std::int64_t rangeFrom = 0;    // > 0: ask the bytes from this offset on
    bool failOnHttpError = false;  // a status >= 400 ends with kHttpStatus, body unread
};

// WebResult is how a transfer ended: error kNone with the last HTTP status (any status,
// redirects included), or an error with the status when one came and a text that says why.
struct WebResult {
    int error = WebError::kNone;
    long status = 0;
    std::string location;  // absolute target of a redirect not followed
    std::string why;
};

// WebReceiver takes the answer's bytes as they arrive, with the answer's status; it
// returns false to stop the transfer (kAborted).
using WebReceiver = std::function<bool(long status, const char* data, std::size_t size)>;

// WebTransfer runs one transfer. Thread-safe: every call has its own connection.
WebResult WebTransfer(const WebRequest& request, const WebReceiver& receiver);

}  // namespace platform
