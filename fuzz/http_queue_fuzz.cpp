// Fuzz target of the request queue's HTTP reading, fed raw bytes over a real loopback
// connection. Whatever a client sends, the queue answers with HTTP responses or not at all,
// and closes the connection once the client has sent everything (half-close): no input may
// keep a connection open, crash the queue or stop it serving the next client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "fuzz_support.h"
#include "platform/http_queue.h"
#include "platform/sys_error.h"

namespace {

using platform::HttpRequest;
using platform::HttpRequestQueue;
namespace SysError = platform::SysError;

constexpr int kAnswerWaitMs = 5000;

void Fail(const std::string& what) {
    fuzz_support::Fail("http_queue_fuzz", what);
}

// Serve answers every request with the size of its body, read in pieces.
void Serve(HttpRequestQueue& queue) {
    for (;;) {
        std::unique_ptr<HttpRequest> request;
        if (queue.ReceiveRequest(request) != SysError::SUCCESS) {
            return;
        }
        std::size_t total = 0;
        for (std::uint32_t rc = SysError::SUCCESS; rc == SysError::SUCCESS;) {
            std::string piece;
            rc = queue.ReceiveEntityBody(*request, piece);
            total += piece.size();
        }
        queue.SendResponse(*request, 200, "OK", {}, std::to_string(total));
    }
}

// The queue and its receive loop live as long as the process.
std::uint16_t QueuePort() {
    static const std::uint16_t port = [] {
        platform::HttpQueueOptions options;
        options.idleTimeout = std::chrono::seconds(2);
        options.ioThreads = 1;
        std::uint32_t error = 0;
        // Never destroyed: the receive loop blocks in it until the process ends.
        static HttpRequestQueue* const queue = HttpRequestQueue::Create(options, error).release();
        const std::uint16_t number = platform::FindFreeTcpPort();
        const std::string base = "http://127.0.0.1:" + std::to_string(number);
        if (!queue || queue->AddUrl(base + "/") != 0 ||
            queue->AddUrl("http://localhost:" + std::to_string(number) + "/app/") != 0) {
            Fail("the queue does not start");
        }
        std::thread(Serve, std::ref(*queue)).detach();
        return number;
    }();
    return port;
}

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0) {
        Fail("cannot make a socket");
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        // Interrupted by one of the fuzzer's signals, the connection goes on by itself.
        pollfd wait{fd, POLLOUT, 0};
        int error = errno;
        socklen_t length = sizeof error;
        while (error == EINTR && ::poll(&wait, 1, kAnswerWaitMs) < 0) {
        }
        if (error == EINTR && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            error = errno;
        }
        if (error != 0 && error != EISCONN) {
            Fail("cannot connect to the queue: errno " + std::to_string(error));
        }
    }
    return fd;
}

// Exchange sends the input, half-closes and reads until the queue closes; it reads while
// it writes, so that answers to pipelined requests never stall the sender.
std::string Exchange(std::string_view input) {
    const int fd = Connect(QueuePort());
    std::string received;
    std::size_t sent = 0;
    bool writing = true;
    for (;;) {
        if (writing && sent == input.size()) {
            ::shutdown(fd, SHUT_WR);
            writing = false;
        }
        pollfd wait{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        const int ready = ::poll(&wait, 1, kAnswerWaitMs);
        if (ready < 0 && errno == EINTR) {
            continue;  // the fuzzer's own timers and leak checks interrupt the wait
        }
        if (ready <= 0) {
            ::close(fd);
            Fail("the connection stayed open " + std::to_string(kAnswerWaitMs) +
                 " ms after the client finished; received: " + received);
        }
        if ((wait.revents & POLLOUT) != 0) {
            const ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
            sent = n > 0 ? sent + static_cast<std::size_t>(n) : input.size();
        }
        if ((wait.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return received;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string received = Exchange(fuzz_support::Text(data, size));
    if (!received.empty() && received.rfind("HTTP/1.1 ", 0) != 0) {
        Fail("not an HTTP answer: " + received);
    }
    // The queue still serves a plain request afterwards. A client that has closed its
    // sending side may first get the interim answer that tells it from one that hung up.
    std::string check =
        Exchange("GET /ok HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(QueuePort()) + "\r\n\r\n");
    constexpr std::string_view kInterim = "HTTP/1.1 100 Continue\r\n\r\n";
    if (check.starts_with(kInterim)) {
        check.erase(0, kInterim.size());
    }
    if (check.rfind("HTTP/1.1 200 ", 0) != 0) {
        Fail("a valid request after the input got: " + check);
    }
    return 0;
}
