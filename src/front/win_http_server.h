// WinHttpServer is the daemon's only network endpoint: an HTTPS prefix on the configured domain
// and main port, and a plain-HTTP prefix on 127.0.0.1 and an internal port, both registered on
// the platform's request queue. Receive loops accept requests that arrived on a loopback
// address and speak HTTP/1.1, gather their bodies, call the dispatcher and send the answer:
// the thread that called Run and a bounded set of request threads, started as requests come
// in and ended when too many are idle, each taking the next request as soon as it is free.
// When kMaxRequestThreads requests are in hand and none ends within a second, the next
// request is answered 503.
//
// Ports and domain come from "serv.port", "serv.internal.port" and "serv.domain" in the
// DAEMON_INSTALL_PATH folder (first line of each), and from the environment variable
// "QVYLD_BasePort". The HTTPS certificate is the platform's business: on POSIX the queue loads
// "serv.crt" and "serv.key" (PEM) from the same folder as "serv.port".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>

namespace platform {
class HttpRequest;
class HttpRequestQueue;
}  // namespace platform

class WinHttpServer {
  public:
    // kDefaultDomain is the HTTPS host name when "serv.domain" gives none: names below
    // ".localhost" reach the loopback address in browsers without any resolver set-up.
    static constexpr const char* kDefaultDomain = "vantaro-launcher.localhost";
    // Certificate and key of the HTTPS prefix, beside "serv.port" (POSIX).
    static constexpr const char* kCertificateFile = "serv.crt";
    static constexpr const char* kPrivateKeyFile = "serv.key";
    // Requests handled at once; past it, after a second's wait for one to end, the answer is
    // 503 "Service Unavailable".
    static constexpr std::size_t kMaxRequestThreads = 32;

    WinHttpServer() = delete;

    // Run serves until Stop: 0 after a clean shut-down, 0xFFFFFFFF when no main port is known,
    // otherwise the error of the step that failed. Blocks the calling thread.
    static std::uint32_t Run();
    // Stop ends the receive loop and waits up to 5 seconds for Run's clean-up; true when it
    // finished in time.
    static bool Stop();

    // SendHttpResponse answers a request with the status, the reason text, the CORS header and
    // the body (up to its first NUL); 0 or the queue's error.
    static std::uint32_t SendHttpResponse(platform::HttpRequest& request, int statusCode,
                                          const std::string& reason, std::string body);

    // The steps of Run, public for the tests that drive them one by one.
    static std::string LoadDomain();
    static void ResolvePort();
    static std::int32_t extractPortFromFile(const std::string& path);

    // VerbName is the text that the dispatcher receives for a queue verb code.
    static std::string VerbName(int verbCode);

    static bool IsRunning();
    static std::int32_t MainPort();
    static std::int32_t InternalPort();
    // ActiveRequests counts the request threads (beside Run's own) that have not ended yet.
    static std::size_t ActiveRequests();
    // RequestsInHand counts the requests being handled.
    static std::size_t RequestsInHand();
    // ResetForTests forgets ports, domain and prefixes, as before the first Run.
    static void ResetForTests();

  private:
    // DoReceiveRequests is the receive loop; a request thread runs it too (primary false)
    // and may end after a request when enough others wait.
    static std::uint32_t DoReceiveRequests(bool primary = true);
    // Acceptable answers 401 or 505 to a request that may not go on.
    static bool Acceptable(platform::HttpRequest& request);
    static void StartRequestThread();
    static void ServeRequest(platform::HttpRequestQueue& queue,
                             std::unique_ptr<platform::HttpRequest> request);
    static void HandleConnection(std::unique_ptr<platform::HttpRequest> request, std::string body);
    // Dispatch calls the dispatcher and sends its answer, unless stop says the client is gone.
    static void Dispatch(platform::HttpRequest& request, const std::string& body,
                         std::stop_source& stop);
};
