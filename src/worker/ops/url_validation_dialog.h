// UrlValidationDialog is the worker's "url" operation: it asks the user, in their session,
// whether a page may use a web service address. Answers: 43 always allow, 42 allow once,
// 40 refuse; WebOperationCodes::kDialogFailed when no dialog could be shown (no display in
// the session, no dialog program) or it gave no answer.
//
// The dialog program is zenity, else kdialog, found in PATH. QVYLD_DIALOG_PROGRAM names
// another program that behaves as zenity does (tests use a script): it gets zenity's
// "--question" arguments, exits 0 for "Always allow", and exits 1 after printing
// "Allow once" for that button or nothing for "Refuse".
#pragma once

#include <cstdint>
#include <string>

#include "base/json/json.h"
#include "worker/ops/op_reply.h"

namespace WorkerOps {

class UrlValidationDialog {
  public:
    // kWaitMs is how long the user has to answer before the dialog counts as failed.
    static constexpr std::uint32_t kWaitMs = 10 * 60 * 1000;

    static std::int32_t Ask(const std::string& url);

    // Run answers a "url" request whose args are the address as a JSON string; content is
    // the answer, rc non-zero when the dialog failed.
    static OpReply Run(const JSON::JSONItem* args);
};

}  // namespace WorkerOps
