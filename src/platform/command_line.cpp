#include "platform/command_line.h"

#include <cstddef>

namespace ToolBox {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// ReadProgram reads the first item at pos; the program name has no escapes.
std::string ReadProgram(const std::string& text, std::size_t& pos) {
    std::string program;
    if (pos < text.size() && text[pos] == '"') {
        const std::size_t close = text.find('"', pos + 1);
        const std::size_t end = close == std::string::npos ? text.size() : close;
        program = text.substr(pos + 1, end - pos - 1);
        pos = close == std::string::npos ? end : close + 1;
        return program;
    }
    while (pos < text.size() && !IsBlank(text[pos])) {
        program.push_back(text[pos++]);
    }
    return program;
}

// ReadItem reads one item starting at pos (not on a blank) up to the blank that ends it.
std::string ReadItem(const std::string& text, std::size_t& pos) {
    std::string item;
    bool quoted = false;
    while (pos < text.size()) {
        const char c = text[pos];
        if (IsBlank(c) && !quoted) {
            break;
        }
        if (c == '\\') {
            std::size_t count = 0;
            while (pos < text.size() && text[pos] == '\\') {
                ++count;
                ++pos;
            }
            if (pos < text.size() && text[pos] == '"') {
                item.append(count / 2, '\\');
                if (count % 2 == 1) {
                    item.push_back('"');
                    ++pos;
                }
                // An even count leaves the quote to act as a delimiter on the next turn.
            } else {
                item.append(count, '\\');
            }
            continue;
        }
        if (c == '"') {
            ++pos;
            if (quoted && pos < text.size() && text[pos] == '"') {
                item.push_back('"');
                ++pos;
                quoted = false;
            } else {
                quoted = !quoted;
            }
            continue;
        }
        item.push_back(c);
        ++pos;
    }
    return item;
}

void SkipBlanks(const std::string& text, std::size_t& pos) {
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> items;
    std::size_t pos = 0;
    SkipBlanks(commandLine, pos);
    if (pos == commandLine.size()) {
        return items;
    }
    items.push_back(ReadProgram(commandLine, pos));
    SkipBlanks(commandLine, pos);
    while (pos < commandLine.size()) {
        items.push_back(ReadItem(commandLine, pos));
        SkipBlanks(commandLine, pos);
    }
    return items;
}

std::string JoinCommandLine(const std::vector<std::string>& items) {
    std::string line;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            line.push_back(' ');
            line += QuoteCommandLineArg(items[i]);
        } else if (items[i].empty() || items[i].find_first_of(" \t") != std::string::npos) {
            // The program item takes no escapes: quotes around it are all it needs.
            line += '"' + items[i] + '"';
        } else {
            line += items[i];
        }
    }
    return line;
}

}  // namespace ToolBox
