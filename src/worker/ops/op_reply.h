// OpReply is what one worker operation answers: its "rc", its "content" and, when rc is not
// 0, a message for the log. The worker turns it into the reply object.
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"

namespace WorkerOps {

struct OpReply {
    std::int32_t rc = 0;
    JSON::ItemPtr content;
    std::string message;
};

// ReplyOk and ReplyFailed build the two shapes of a reply.
inline OpReply ReplyOk(JSON::ItemPtr content) {
    return OpReply{0, std::move(content), {}};
}
inline OpReply ReplyFailed(std::int32_t rc, std::string message, JSON::ItemPtr content = nullptr) {
    return OpReply{rc, std::move(content), std::move(message)};
}

}  // namespace WorkerOps
