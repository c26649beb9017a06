#include "base/log_text.h"

#include <algorithm>

namespace ToolBox {

namespace {

constexpr std::string_view kTicketKey = "castgc=";

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

void AppendEscaped(std::string& out, std::string_view text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (!IsControl(c)) {
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += "0123456789abcdef"[c >> 4];
            out += "0123456789abcdef"[c & 15];
        }
    }
}

}  // namespace

bool HasControlChars(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return IsControl(static_cast<unsigned char>(c)); });
}

std::string EscapeControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscaped(out, text);
    return out;
}

std::string MaskSecret(std::string_view secret) {
    if (secret.empty()) {
        return {};
    }
    const std::size_t shown = std::min<std::size_t>(4, secret.size() / 4);
    return EscapeControls(secret.substr(0, shown)) + "...(" + std::to_string(secret.size()) +
           " chars)";
}

std::string RequestBodyForLog(std::string_view body) {
    const std::string_view shown = body.substr(0, kMaxLoggedBody);
    std::string out;
    out.reserve(shown.size() + 32);
    std::size_t start = 0;
    while (start <= shown.size()) {
        std::size_t end = shown.find('&', start);
        if (end == std::string_view::npos) {
            end = shown.size();
        }
        const std::string_view piece = shown.substr(start, end - start);
        if (start != 0) {
            out += '&';
        }
        if (piece.substr(0, kTicketKey.size()) == kTicketKey) {
            // The length of a cut ticket would mislead: mask what the full body holds.
            const std::size_t valueAt = start + kTicketKey.size();
            const std::size_t valueEnd = std::min(body.find('&', valueAt), body.size());
            out += kTicketKey;
            out += MaskSecret(body.substr(valueAt, valueEnd - valueAt));
        } else {
            AppendEscaped(out, piece);
        }
        start = end + 1;
    }
    if (body.size() > shown.size()) {
        out += "...(" + std::to_string(body.size()) + " bytes in all)";
    }
    return out;
}

std::string EnvelopeForLog(const JSON::JSONItem* envelope) {
    if (envelope == nullptr) {
        return "null";
    }
    const JSON::JSONItem* cinfo = envelope->Get("cinfo");
    const JSON::JSONItem* ticket = cinfo != nullptr ? cinfo->Get("cCas") : nullptr;
    if (ticket == nullptr || !ticket->IsString() || ticket->GetString().empty()) {
        return envelope->Print();
    }
    const JSON::ItemPtr copy = envelope->Clone();
    copy->Get("cinfo")->AsObject()->Set("cCas",
                                        JSON::CreateString(MaskSecret(ticket->GetString())));
    return copy->Print();
}

}  // namespace ToolBox
