// curl_client.h: the clients that the queue tests talk through, built on libcurl.
//
//   CurlClient client(caFile);          one keep-alive connection at a time (an easy handle)
//   client.Resolve("vl.test", port);    the name reaches 127.0.0.1 without the hosts file
//   client.Fetch({"POST", url, body})   one request; status, headers, body of the answer
//   RawConnection raw(port);            a bare TCP connection for bytes curl would not send
#pragma once

#include <curl/curl.h>

#include <string>
#include <utility>
#include <vector>

namespace vl_test {

struct CurlCall {
    CurlCall(std::string verb, std::string url, std::string body = {},
             std::vector<std::string> headers = {})
        : verb(std::move(verb)),
          url(std::move(url)),
          body(std::move(body)),
          headers(std::move(headers)) {}

    std::string verb;
    std::string url;
    std::string body;
    std::vector<std::string> headers;  // "Name: value"
    bool chunked = false;              // send the body with chunked transfer encoding
    long httpVersion = CURL_HTTP_VERSION_1_1;
};

struct CurlReply {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string statusLine;  // "HTTP/1.1 200 OK"
    std::vector<std::string> headers;
    std::string body;
    long newConnections = 0;  // connections opened for this call (0 when one was reused)

    bool HasHeader(const std::string& line) const;
    bool HasHeaderNamed(const std::string& name) const;
};

class CurlClient {
  public:
    explicit CurlClient(std::string caFile = {});
    ~CurlClient();
    CurlClient(const CurlClient&) = delete;
    CurlClient& operator=(const CurlClient&) = delete;

    void Resolve(const std::string& host, unsigned port, const std::string& address = "127.0.0.1");
    CurlReply Fetch(const CurlCall& call);

  private:
    CURL* curl_;
    curl_slist* resolve_ = nullptr;
    std::string caFile_;
};

class RawConnection {
  public:
    explicit RawConnection(unsigned port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes);
    // ReadUntilClosed collects what the server sends until it closes the connection; false
    // when it did not close within some seconds.
    bool ReadUntilClosed(std::string& received);
    // HalfClose ends the sending side only; answers can still be read.
    void HalfClose();
    void Close();

  private:
    CURL* curl_;
    bool connected_ = false;
};

}  // namespace vl_test
