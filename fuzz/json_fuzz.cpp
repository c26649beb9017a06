// Fuzz target of the JSON parser. Any input must parse or fail cleanly; a parsed tree must
// print, pretty-print and clone, and its compact text must parse back to a tree that prints
// identically. (The indented text is not checked that way: it writes strings unescaped.)
// Parsing from a stream, in blocks, must agree with parsing from memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "base/json/json.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "json_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    JSON::JSONDocument doc;
    const int result = doc.Parse(text);

    JSON::JSONDocument fromStream;
    std::istringstream in{std::string(text)};
    if ((fromStream.Parse(in) == 0) != (result == 0) || fromStream.ToString() != doc.ToString()) {
        Fail("stream and memory parses differ");
    }

    if (result != 0) {
        if (doc.Root() != nullptr) {
            Fail("a failed parse left a tree");
        }
        return 0;
    }
    const JSON::JSONItem* root = doc.Root();
    if (root == nullptr || !(root->IsObject() || root->IsArray())) {
        Fail("a successful parse gave no container");
    }

    const std::string compact = root->Print();
    const std::string pretty = root->PrettyPrint();
    if (pretty.empty()) {
        Fail("no indented text");
    }

    const JSON::ItemPtr copy = root->Clone();
    if (!copy || copy->Print() != compact) {
        Fail("clone differs");
    }

    // Keys are stored as scanned and printed as stored, values are unescaped and printed
    // escaped: both come back the same, so the compact text is a fixed point.
    JSON::JSONDocument again;
    if (again.Parse(compact) != 0 || again.ToString() != compact) {
        Fail("compact text does not parse back to itself");
    }
    return 0;
}
