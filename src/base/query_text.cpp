#include "base/query_text.h"

#include <algorithm>

#include "base/toolbox.h"

namespace ToolBox {

std::vector<std::string> SplitText(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::string PercentDecode(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        const std::string::size_type count =
            std::min<std::string::size_type>(2, text.size() - i - 1);
        decoded.push_back(static_cast<char>(HexToChar(text.substr(i + 1, count))));
        i += count;
    }
    return decoded;
}

std::map<std::string, std::string> ParseQueryBody(const std::string& body) {
    std::map<std::string, std::string> pairs;
    for (const std::string& piece : SplitText(body, '&')) {
        const std::string::size_type equal = piece.find('=');
        if (equal == std::string::npos) {
            continue;
        }
        pairs[piece.substr(0, equal)] = PercentDecode(piece.substr(equal + 1));
    }
    return pairs;
}

}  // namespace ToolBox
