// WebCall is the worker's "CallWS": a POST of the argument text to a web service, as the
// user, with the user's single sign-on ticket as the "CASTGC" cookie unless the call is
// unauthenticated. The answer text is the reply's content. Failure codes are listed with
// WebOperationCodes::kTransportBase. A call that carries the ticket follows a redirect only
// to the same origin (scheme, host and port) as its URL; a redirect elsewhere fails with
// its HTTP status, and nothing is sent there.
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"
#include "worker/ops/op_reply.h"

namespace WorkerOps {

class WebCall {
  public:
    // kTransferSeconds bounds a whole call: services answer small texts.
    static constexpr long kTransferSeconds = 120;

    struct Request {
        std::string url;
        std::string body;  // sent as it is; empty sends an empty body
        std::string casTgc;
        bool noAuth = false;
    };

    // Post makes the call; rc 0 and answer, or a failure rc and why.
    static std::int32_t Post(const Request& request, std::string& answer, std::string& why);

    // Run answers a "CallWS" request: args {"arg", "url", "noAuth"}, the ticket from the
    // request's identity ("cCas" of cinfo).
    static OpReply Run(const JSON::JSONItem& args, const JSON::JSONItem* cinfo);
};

}  // namespace WorkerOps
