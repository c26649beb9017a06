// Helpers of the scanner and the grammar that need no generated code.
#include "base/json/parser_support.h"

#include <algorithm>
#include <cstring>
#include <istream>

namespace JSON::detail {

std::size_t ReadBlock(ScanSource& source, char* buffer, std::size_t capacity) {
    const std::size_t wanted = std::min(capacity, kReadBlock);
    if (source.stream) {
        // Straight from the buffer: the stream's state flags and exception mask do not
        // apply, so the end of the input is just the end of the input.
        std::streambuf* input = source.stream->rdbuf();
        const std::streamsize count =
            input ? input->sgetn(buffer, static_cast<std::streamsize>(wanted)) : 0;
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    const std::size_t count = std::min(wanted, source.memory.size());
    std::memcpy(buffer, source.memory.data(), count);
    source.memory.remove_prefix(count);
    return count;
}

std::size_t PartialEscapeStart(const char* text, std::size_t size) {
    auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    std::size_t i = 0;
    while (i < size) {
        if (text[i] != '\\') {
            ++i;
        } else if (i + 1 < size && std::strchr("\"\\/bfnrt", text[i + 1]) && text[i + 1] != 0) {
            i += 2;
        } else if (i + 5 < size && text[i + 1] == 'u' && isHex(text[i + 2]) && isHex(text[i + 3]) &&
                   isHex(text[i + 4]) && isHex(text[i + 5])) {
            i += 6;
        } else {
            return i;
        }
    }
    return size;
}

}  // namespace JSON::detail
