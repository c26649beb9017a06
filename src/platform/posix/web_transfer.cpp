#include "platform/web_transfer.h"

#include <curl/curl.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace platform {

namespace {

struct HandleDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HandlePtr = std::unique_ptr<CURL, HandleDeleter>;
using ListPtr = std::unique_ptr<curl_slist, ListDeleter>;

// The library's global set-up is not thread-safe; do it once before any handle.
void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Share keeps connections, TLS sessions and name lookups between the transfers of the
// process: the calls of one installation (catalogue, monitoring, download) go to the same
// hosts, and each would otherwise pay for a new connection and handshake.
class Share {
  public:
    static CURLSH* Handle() {
        static Share share;
        return share.handle_.get();
    }

  private:
    struct ShareDeleter {
        void operator()(CURLSH* share) const { curl_share_cleanup(share); }
    };

    Share() : handle_(curl_share_init()) {
        if (!handle_) {
            return;
        }
        curl_share_setopt(handle_.get(), CURLSHOPT_LOCKFUNC, Lock);
        curl_share_setopt(handle_.get(), CURLSHOPT_UNLOCKFUNC, Unlock);
        curl_share_setopt(handle_.get(), CURLSHOPT_USERDATA, this);
        for (const curl_lock_data data :
             {CURL_LOCK_DATA_CONNECT, CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_DNS}) {
            curl_share_setopt(handle_.get(), CURLSHOPT_SHARE, data);
        }
    }

    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<Share*>(self)->mutexes_.at(static_cast<std::size_t>(data)).lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<Share*>(self)->mutexes_.at(static_cast<std::size_t>(data)).unlock();
    }

    std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
    std::unique_ptr<CURLSH, ShareDeleter> handle_;
};

struct Feed {
    CURL* curl = nullptr;
    const WebReceiver* receiver = nullptr;
};

size_t Receive(char* data, size_t size, size_t count, void* state) {
    const Feed& feed = *static_cast<Feed*>(state);
    long status = 0;
    curl_easy_getinfo(feed.curl, CURLINFO_RESPONSE_CODE, &status);
    return (*feed.receiver)(status, data, size * count) ? size * count : 0;
}

// SetCommon gives a handle the settings of every transfer: https only, verified peers,
// connection and stall limits.
void SetCommon(CURL* curl, const WebRequest& request, char* errorBuffer) {
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, static_cast<long>(WebRequest::kMaxRedirects));
    // A 301/302/303 must not turn a call into a GET that drops its body.
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* caFile = std::getenv("QVYLD_TEST_CA_FILE"); caFile != nullptr && *caFile) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, WebRequest::kConnectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, WebRequest::kStallSeconds);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "VantaroLauncher");
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 512L * 1024L);
    if (CURLSH* share = Share::Handle(); share != nullptr) {
        curl_easy_setopt(curl, CURLOPT_SHARE, share);
    }
}

// SetRequest gives a handle what this transfer sends and how it ends.
void SetRequest(CURL* curl, const WebRequest& request, const std::string& range) {
    if (request.post) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    }
    if (!request.cookie.empty()) {
        curl_easy_setopt(curl, CURLOPT_COOKIE, request.cookie.c_str());
    }
    if (request.timeoutSeconds > 0) {
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, request.timeoutSeconds);
    }
    if (!range.empty()) {
        // A plain range header, not the library's resume: that one fails outright when the
        // server answers with the whole file, which the receiver handles instead.
        curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, request.failOnHttpError ? 1L : 0L);
}

}  // namespace

WebResult WebTransfer(const WebRequest& request, const WebReceiver& receiver) {
    GlobalInit();
    WebResult result;
    HandlePtr handle(curl_easy_init());
    if (!handle) {
        result.error = WebError::kFailedInit;
        result.why = "no transfer handle";
        return result;
    }
    CURL* curl = handle.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    SetCommon(curl, request, errorBuffer);
    const std::string range =
        request.rangeFrom > 0 ? std::to_string(request.rangeFrom) + "-" : std::string();
    SetRequest(curl, request, range);
    ListPtr headers;
    for (const std::string& header : request.headers) {
        if (curl_slist* list = curl_slist_append(headers.get(), header.c_str()); list != nullptr) {
            headers.release();
            headers.reset(list);
        }
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    Feed feed{curl, &receiver};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Receive);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &feed);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    char* location = nullptr;
    if (code == CURLE_OK && curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
        location != nullptr) {
        result.location = location;
    }
    if (code != CURLE_OK) {
        result.error = static_cast<int>(code);
        result.why = curl_easy_strerror(code);
        if (errorBuffer[0] != '\0') {
            result.why += std::string(" (") + errorBuffer + ")";
        }
    }
    return result;
}

}  // namespace platform
