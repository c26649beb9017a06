// Texts that come from outside (a request, a page, a worker's reply) and go into a log line.
// Such a text may hold line breaks that would forge log lines, and secrets that every reader
// of the log would learn; these helpers make it safe to print.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/json/json.h"

namespace ToolBox {

// HasControlChars tells whether the text holds a byte below 0x20 or the byte 0x7f.
bool HasControlChars(std::string_view text);

// EscapeControls writes every control byte as "\n", "\r", "\t" or "\xHH", so that a text
// always stays on its own log line. Other bytes are copied.
std::string EscapeControls(std::string_view text);

// MaskSecret stands for a secret in a log line: its first characters (at most 4, and never
// more than a quarter of it) and its length, e.g. "TGT-...(26 chars)". Empty stays empty.
std::string MaskSecret(std::string_view secret);

// kMaxLoggedBody is how much of a request body a log line shows.
inline constexpr std::size_t kMaxLoggedBody = 4096;

// RequestBodyForLog is a "key=value&..." body as a log line may show it: the value of
// "castgc" masked, control bytes escaped, and cut after kMaxLoggedBody characters with a
// note of the full length. It reads only the part it shows.
std::string RequestBodyForLog(std::string_view body);

// EnvelopeForLog prints a worker envelope ({"op", "cinfo", "args"}) with the ticket of its
// identity ("cCas" of "cinfo") masked; any other JSON value is printed as it is.
std::string EnvelopeForLog(const JSON::JSONItem* envelope);

}  // namespace ToolBox
