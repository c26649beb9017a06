#include "http_queue/curl_client.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace vl_test {
namespace {

struct Upload {
    const std::string* body;
    std::size_t sent = 0;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
    auto& reply = *static_cast<CurlReply*>(user);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    if (line.rfind("HTTP/", 0) == 0) {
        if (line.find(" 100 ") == std::string::npos) {
            reply.statusLine = line;
            reply.headers.clear();
        }
    } else if (!line.empty()) {
        reply.headers.push_back(line);
    }
    return size * count;
}

size_t ProvideBody(char* buffer, size_t size, size_t count, void* user) {
    auto& upload = *static_cast<Upload*>(user);
    // Small pieces, so that a chunked body really comes in several chunks.
    const std::size_t n =
        std::min({size * count, upload.body->size() - upload.sent, std::size_t{700}});
    std::memcpy(buffer, upload.body->data() + upload.sent, n);
    upload.sent += n;
    return n;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

bool CurlReply::HasHeader(const std::string& line) const {
    return std::find(headers.begin(), headers.end(), line) != headers.end();
}

bool CurlReply::HasHeaderNamed(const std::string& name) const {
    const std::string wanted = Lower(name) + ":";
    return std::any_of(headers.begin(), headers.end(),
                       [&](const std::string& line) { return Lower(line).rfind(wanted, 0) == 0; });
}

CurlClient::CurlClient(std::string caFile) : curl_(curl_easy_init()), caFile_(std::move(caFile)) {}

CurlClient::~CurlClient() {
    curl_easy_cleanup(curl_);
    curl_slist_free_all(resolve_);
}

void CurlClient::Resolve(const std::string& host, unsigned port, const std::string& address) {
    resolve_ =
        curl_slist_append(resolve_, (host + ":" + std::to_string(port) + ":" + address).c_str());
}

CurlReply CurlClient::Fetch(const CurlCall& call) {
    CurlReply reply;
    Upload upload{&call.body};
    curl_slist* headers = nullptr;
    for (const auto& header : call.headers) {
        headers = curl_slist_append(headers, header.c_str());
    }
    if (call.chunked) {
        headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    }
    curl_easy_setopt(curl_, CURLOPT_URL, call.url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, call.httpVersion);
    curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, call.verb.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOBODY, call.verb == "HEAD" ? 1L : 0L);
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve_);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &reply);
    if (!caFile_.empty()) {
        curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.c_str());
    }
    const bool sendsBody = !call.body.empty() || call.verb == "POST" || call.verb == "PUT";
    curl_easy_setopt(curl_, CURLOPT_UPLOAD, sendsBody ? 1L : 0L);
    if (sendsBody) {
        curl_easy_setopt(curl_, CURLOPT_READFUNCTION, ProvideBody);
        curl_easy_setopt(curl_, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl_, CURLOPT_INFILESIZE_LARGE,
                         call.chunked ? curl_off_t{-1} : static_cast<curl_off_t>(call.body.size()));
    }
    reply.code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &reply.newConnections);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return reply;
}

RawConnection::RawConnection(unsigned port) : curl_(curl_easy_init()) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl_, CURLOPT_CONNECT_ONLY, 1L);
    connected_ = curl_easy_perform(curl_) == CURLE_OK;
}

RawConnection::~RawConnection() {
    Close();
}

void RawConnection::Close() {
    if (curl_ != nullptr) {
        curl_easy_cleanup(curl_);
        curl_ = nullptr;
    }
}

void RawConnection::HalfClose() {
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_ != nullptr && curl_easy_getinfo(curl_, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
        socket != CURL_SOCKET_BAD) {
        ::shutdown(socket, SHUT_WR);
    }
}

bool RawConnection::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        size_t sent = 0;
        const CURLcode rc = curl_easy_send(curl_, bytes.data() + done, bytes.size() - done, &sent);
        if (rc == CURLE_AGAIN) {
            std::this_thread::yield();
            continue;
        }
        if (rc != CURLE_OK) {
            return false;
        }
        done += sent;
    }
    return true;
}

bool RawConnection::ReadUntilClosed(std::string& received) {
    char buffer[4096];
    // Bounded so that a server that never closes fails the test instead of hanging it.
    for (int idle = 0; idle < 20000;) {
        size_t n = 0;
        const CURLcode rc = curl_easy_recv(curl_, buffer, sizeof buffer, &n);
        if (rc == CURLE_AGAIN) {
            ++idle;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (rc != CURLE_OK || n == 0) {
            return true;
        }
        received.append(buffer, n);
    }
    return false;
}

}  // namespace vl_test
