// Internals shared by the scanner, the grammar and JSONDocument; not part of the library's
// interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/json/json.h"

namespace JSON::detail {

// kMaxDepth bounds the nesting that the parser accepts; deeper text is a syntax error.
inline constexpr int kMaxDepth = 10000;

// kReadBlock is the size of the blocks in which the scanner reads its input.
inline constexpr std::size_t kReadBlock = 16384;

// TokenText is the value of a NUMBER or STRING token: its slot in TokenTexts, and whether
// the text may hold backslashes (a text without any needs no unescaping).
struct TokenText {
    std::uint32_t slot;
    bool backslashes;
};

// TokenTexts holds the texts of the tokens that the parser has not consumed yet. The
// parser's stack then moves small slot numbers instead of strings; only a handful of slots
// are ever in use, and they are recycled.
class TokenTexts {
  public:
    TokenText Put(const char* text, std::size_t size, bool backslashes) {
        const std::uint32_t slot = Acquire();
        slots_[slot].assign(text, size);
        return {slot, backslashes};
    }
    TokenText Put(std::string&& text) {
        const std::uint32_t slot = Acquire();
        slots_[slot] = std::move(text);
        return {slot, true};
    }
    // Take hands the text over and frees its slot.
    std::string Take(TokenText token) {
        free_.push_back(token.slot);
        return std::move(slots_[token.slot]);
    }

  private:
    std::uint32_t Acquire() {
        if (free_.empty()) {
            slots_.emplace_back();
            return static_cast<std::uint32_t>(slots_.size() - 1);
        }
        const std::uint32_t slot = free_.back();
        free_.pop_back();
        return slot;
    }

    std::vector<std::string> slots_;
    std::vector<std::uint32_t> free_;
};

// ParseContext is what the grammar's actions work on during one Parse call.
struct ParseContext {
    ParseContext(JSONDocument& document, TokenTexts& tokenTexts)
        : doc(document), texts(tokenTexts) {}

    JSONDocument& doc;
    TokenTexts& texts;
    int depth = 0;
    std::vector<std::unique_ptr<char[]>> stackBlocks;

    // GrowStack and FreeStack serve the parser's stack once it outgrows its first block.
    void* GrowStack(std::size_t size) {
        stackBlocks.push_back(std::make_unique_for_overwrite<char[]>(size));
        return stackBlocks.back().get();
    }
    void FreeStack(void* block) {
        std::erase_if(stackBlocks, [block](const auto& owned) { return owned.get() == block; });
    }
};

// ScanSource is the per-scanner state: the input not yet read, the string accumulator and
// the texts of the tokens handed to the parser. Either `stream` is set, or `memory` holds
// the rest of the text.
struct ScanSource {
    std::istream* stream = nullptr;
    std::string_view memory;
    std::string text;
    TokenTexts texts;
};

// ReadBlock fills up to `capacity` bytes (at most one block) and returns the count, 0 at
// the end of the input.
std::size_t ReadBlock(ScanSource& source, char* buffer, std::size_t capacity);

// PartialEscapeStart returns the offset of the backslash that starts no valid escape in a
// scanned run of string bytes (the run's last backslash not consumed by a valid escape).
std::size_t PartialEscapeStart(const char* text, std::size_t size);

// UnescapeValue is Unescape done in place, on the token text the parser already owns.
std::string UnescapeValue(std::string text);

// RunParser parses `text`, or `stream` when it is given, into the (cleared) document:
// 0 on success, non-zero otherwise.
int RunParser(JSONDocument& doc, std::string_view text, std::istream* stream);

}  // namespace JSON::detail
