#include "worker/ops/curl_session.h"

#include <cstdlib>
#include <mutex>

namespace WorkerOps {

namespace {

// The library's global set-up is not thread-safe; do it once before any handle.
void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

CurlSession::CurlSession(const std::string& url) {
    GlobalInit();
    handle_.reset(curl_easy_init());
    if (!handle_) {
        return;
    }
    CURL* curl = handle_.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* caFile = std::getenv("QVYLD_TEST_CA_FILE"); caFile != nullptr && *caFile) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile);
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "VantaroLauncher");
}

void CurlSession::AddHeader(const std::string& header) {
    curl_slist* list = curl_slist_append(headers_.get(), header.c_str());
    if (list != nullptr) {
        headers_.release();
        headers_.reset(list);
        curl_easy_setopt(handle_.get(), CURLOPT_HTTPHEADER, list);
    }
}

CURLcode CurlSession::Perform(long& status) {
    errorBuffer_[0] = '\0';
    const CURLcode code = curl_easy_perform(handle_.get());
    status = 0;
    curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    return code;
}

std::string CurlSession::ErrorText(CURLcode code) const {
    std::string text = curl_easy_strerror(code);
    if (errorBuffer_[0] != '\0') {
        text += std::string(" (") + errorBuffer_ + ")";
    }
    return text;
}

}  // namespace WorkerOps
