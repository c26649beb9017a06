// CurlSession is one transfer handle of the transfer library with the settings every worker
// transfer shares: https only (redirects included, at most kMaxRedirects), the peer's certificate
// and name always verified against the system's trust store, connection and stall time limits.
//
// QVYLD_TEST_CA_FILE (test-only): a PEM file of certificate authorities that replaces the
// system's trust store, so that tests can serve https with a throwaway authority. It never
// turns verification off. Production installations do not set it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace WorkerOps {

class CurlSession {
  public:
    // Limits of every transfer: a connection (TLS included) must be made within
    // kConnectSeconds, and a transfer that moves less than one byte per second for
    // kStallSeconds is given up.
    static constexpr long kConnectSeconds = 30;
    static constexpr long kStallSeconds = 60;
    // kMaxRedirects bounds the redirects of one transfer.
    static constexpr long kMaxRedirects = 10;

    explicit CurlSession(const std::string& url);
    CurlSession(const CurlSession&) = delete;
    CurlSession& operator=(const CurlSession&) = delete;

    // Valid is false when the library could not give a handle.
    bool Valid() const { return handle_ != nullptr; }
    CURL* Handle() const { return handle_.get(); }

    // AddHeader adds a request header ("Name: value").
    void AddHeader(const std::string& header);
    // Perform runs the transfer; status is the HTTP status (0 without an answer).
    CURLcode Perform(long& status);
    // ErrorText is the library's text for the last failure, with its details.
    std::string ErrorText(CURLcode code) const;

  private:
    struct HandleDeleter {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };
    struct ListDeleter {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    std::unique_ptr<CURL, HandleDeleter> handle_;
    std::unique_ptr<curl_slist, ListDeleter> headers_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
};

}  // namespace WorkerOps
