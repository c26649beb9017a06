// Command lines are texts: items joined by blanks, an item that needs it between double
// quotes. SplitCommandLine and QuoteCommandLineArg follow the rules of the Windows command
// line (CommandLineToArgvW), so a text built for Windows means the same program and
// arguments on every platform. Nothing ever goes through a shell.
//
// Splitting rules:
//  - Leading blanks are skipped; an empty or blank text gives no item.
//  - The first item is the program: when it starts with a double quote it runs to the next
//    double quote, else to the first blank (space or tab); backslashes are ordinary there.
//  - Other items end at a blank outside double quotes. A double quote opens or closes a
//    quoted part and is dropped; inside a quoted part, a closing quote immediately followed
//    by another one gives one literal quote and ends the quoted part.
//  - 2n backslashes before a double quote give n backslashes, and the quote acts as above;
//    2n+1 backslashes before a double quote give n backslashes and a literal quote.
//    Backslashes before anything else are kept as they are.
//  - An unterminated quoted part runs to the end of the text.
//
//   text                      items
//   "a b c" d e               [a b c] [d] [e]          (first item: program rule)
//   p "ab\"c" "\\" d          [p] [ab"c] [\] [d]
//   p a\\\b d"e f"g h         [p] [a\\\b] [de fg] [h]
//   p a\\\"b c d              [p] [a\"b] [c] [d]
//   p a\\\\"b c" d e          [p] [a\\b c] [d] [e]
//   p a"b"" c d               [p] [ab"] [c] [d]
//   p "" x                    [p] [] [x]
//
// Quoting rules (the inverse for one item):
//   item            quoted
//   (empty)         ""
//   hello           hello
//   hello world     "hello world"
//   hello\world     hello\world           (no blank and no quote: kept)
//   hello"world     "hello\"world"
//   hello\"world    "hello\\\"world"
//   hello world\    "hello world\\"       (backslashes before the closing quote doubled)
#pragma once

#include <string>
#include <vector>

namespace ToolBox {

// SplitCommandLine splits a command-line text into its items; an empty or blank text gives
// no item.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// QuoteCommandLineArg returns item as it must appear in a command line so that
// SplitCommandLine gives it back unchanged (for every item but the first).
inline std::string QuoteCommandLineArg(const std::string& item) {
    if (item.empty()) {
        return "\"\"";
    }
    if (item.find_first_of(" \t\"") == std::string::npos) {
        return item;
    }
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : item) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are special only before a quote: double them there, then escape it.
        const std::size_t keep = c == '"' ? backslashes * 2 + 1 : backslashes;
        quoted.append(keep, '\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\');  // the closing quote follows them
    quoted.push_back('"');
    return quoted;
}

// JoinCommandLine quotes every item and joins them with one space.
std::string JoinCommandLine(const std::vector<std::string>& items);

}  // namespace ToolBox
