// http_text.h: the checks that both backends of the HTTP queue make on what a handler
// wants to send, so that neither lets a header or status line be split or forged.
#pragma once

#include <string_view>

namespace platform {

// CleanText is true when the text has no CR, LF or NUL: it can stand in a status line or a
// header value as it is.
bool CleanText(std::string_view text);

// ValidHeaderName is true for a non-empty HTTP token (no controls, spaces or separators).
bool ValidHeaderName(std::string_view name);

}  // namespace platform
