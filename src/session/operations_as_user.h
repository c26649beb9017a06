// Operations::AsUser are carried out by the worker of the requesting session, as the
// logged-on user. Each builds the "args" of a request, sends the envelope
// {"op", "cinfo", "args"} through RunOperationByUserExtension and interprets the reply
// {"rc", "content"}.
//
// Result codes: 0 the worker answered rc 0 with a content of the expected type; 2 no worker
// or a failed exchange; 3 a reply without "rc" or "content", or a content of the wrong
// type; any other value is the worker's own rc, passed through. Outputs are written only on
// 0. Nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json/json.h"

class UserExtension;
class ZorvidRequestInfo;

namespace Operations::AsUser {

inline constexpr std::uint32_t kResultOk = 0;
inline constexpr std::uint32_t kResultNoWorker = 2;
inline constexpr std::uint32_t kResultBadReply = 3;

// RunOperationByUserExtension sends one request (verb, and args or none) to the worker of
// the request's session; on 0, content holds a copy of the reply's "content".
std::uint32_t RunOperationByUserExtension(const ZorvidRequestInfo& request, const std::string& verb,
                                          const JSON::JSONItem* args, JSON::ItemPtr& content);

// RunOperationOnExtension is the same exchange with a given worker.
std::uint32_t RunOperationOnExtension(UserExtension* extension, const ZorvidRequestInfo& request,
                                      const std::string& verb, const JSON::JSONItem* args,
                                      JSON::ItemPtr& content);

// MakeFolderAsUser creates the folder and its parents as the user; exists tells whether it
// exists now. An empty path is refused without asking the worker (0, exists untouched).
std::uint32_t MakeFolderAsUser(const ZorvidRequestInfo& request, const std::string& path,
                               bool& exists);

// CheckFile asks whether the path has the kind and the access the worker checks for
// (Companions::kCheckKind...; access as the C run-time's _access: 0 existence, 2 write,
// 4 read, 6 both). An empty path is refused as for MakeFolderAsUser.
std::uint32_t CheckFile(const ZorvidRequestInfo& request, const std::string& path,
                        std::int32_t kind, std::int32_t access, bool& result);

// ExecuteCommandAsUser runs the command in the user's session (elevated with runas) and
// waits up to timeoutMs (-1 without limit, 0 not at all); exitCode is the command's. With
// handOver, the command is handed over to the user's session (it outlives the worker and
// the daemon, see Operations::Local) and still waited for.
std::uint32_t ExecuteCommandAsUser(const ZorvidRequestInfo& request,
                                   const std::vector<std::string>& command, std::uint32_t& exitCode,
                                   std::int32_t timeoutMs, bool runas, bool handOver = false);

// PostMessageToWindowAsUser posts a message to a window of the class in the user's session.
std::uint32_t PostMessageToWindowAsUser(const ZorvidRequestInfo& request,
                                        const std::string& windowClass, std::uint32_t message,
                                        std::uint64_t wparam, std::int64_t lparam);

}  // namespace Operations::AsUser
