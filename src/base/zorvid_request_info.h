// ZorvidRequestInfo is the identity of one request: the calling page instance and its origin,
// the user's single-sign-on ticket, the web-service addresses and the protocol level the page
// speaks. The dispatcher builds it once per request and passes it by reference; callees copy
// what they keep. It also carries the request's stop token, which is stopped once the client
// that sent the request has gone: whoever waits on the request's behalf may give up then.
#pragma once

#include <stop_token>
#include <string>
#include <utility>

#include "base/daemon_version.h"
#include "base/json/json.h"

class ZorvidRequestInfo {
  public:
    // The full identity of a page request: the level text is parsed (a text that does not
    // parse leaves the level unset, with a warning) and Init runs.
    ZorvidRequestInfo(std::string zorvidId, std::string casTgc, std::string encryptionWsUrl,
                      std::string authWsUrl, std::string zorvidUrl, const std::string& versionText);
    // An identity for requests the service makes on its own: only the page id is known, and
    // the record stays uninitialised.
    explicit ZorvidRequestInfo(std::string zorvidId);

    // Init drops any "#" fragment of the decryption URL and applies the configured
    // authentication URL, then marks the record initialised.
    void Init();

    bool IsInitialised() const { return initialised_; }
    const std::string& GetZorvidId() const { return zorvidId_; }
    const std::string& GetCasTgc() const { return casTgc_; }
    const std::string& GetEncryptionWsUrl() const { return encryptionWsUrl_; }
    const std::string& GetAuthWsUrl() const { return authWsUrl_; }
    const std::string& GetZorvidUrl() const { return zorvidUrl_; }
    const DaemonVersion& GetProtocolVersion() const { return protocolVersion_; }
    // The stop token of the request; by default a token that never stops.
    const std::stop_token& GetStopToken() const { return stopToken_; }
    void SetStopToken(std::stop_token token) { stopToken_ = std::move(token); }

    std::string ToString() const;
    // ToJSON is the form handed to the user-session worker. "cId" and "pVersion" are null
    // when empty; the other members keep an empty text.
    JSON::ItemPtr ToJSON() const;

  private:
    bool initialised_ = false;
    std::string zorvidId_;
    std::string casTgc_;
    std::string encryptionWsUrl_;
    std::string authWsUrl_;
    std::string zorvidUrl_;
    DaemonVersion protocolVersion_;
    std::stop_token stopToken_;
};
