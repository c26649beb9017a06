// Text rules shared by the request body and the protocol level: how a text is cut into
// pieces and how a body value is percent-decoded.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ToolBox {

// SplitText cuts the text at every separator. An empty piece between two separators stays in
// the list; an empty piece at the end does not, so "a.b." and "a.b" both give two pieces
// and "" gives none.
std::vector<std::string> SplitText(const std::string& text, char separator);

// PercentDecode replaces each "%" and the (up to) two characters after it by the byte they
// spell in hexadecimal; every other character, "+" included, is copied.
std::string PercentDecode(const std::string& text);

// ParseQueryBody reads "key=value" pieces separated by "&". A piece without "=" is skipped,
// keys are taken as they are, values are percent-decoded, and a repeated key keeps the last
// value.
std::map<std::string, std::string> ParseQueryBody(const std::string& body);

}  // namespace ToolBox
