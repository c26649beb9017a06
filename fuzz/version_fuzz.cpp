// Fuzz target of the protocol level parser. Any text must parse or be refused without
// touching the output; a parsed level has no negative index, prints back to a text that
// parses to the same level, and compares as equal to itself and consistently with others.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/daemon_version.h"
#include "fuzz_support.h"

namespace {

void Fail(const std::string& what) {
    fuzz_support::Fail("version_fuzz", what);
}

void CheckParsed(const std::string& text, const DaemonVersion& level) {
    if (level.major < 0 || (level.minor < 0 && level.minor != DaemonVersion::kUnset)) {
        Fail("negative index from \"" + text + "\"");
    }
    if (level.Compare(level.major, level.minor) != 0 || level < level || level > level) {
        Fail("a level differs from itself: " + text);
    }
    if (level.minor == DaemonVersion::kUnset) {
        return;
    }
    DaemonVersion again;
    if (!DaemonVersion::Parse(level.ToString(), again) || again.major != level.major ||
        again.minor != level.minor) {
        Fail("\"" + level.ToString() + "\" does not parse back, from \"" + text + "\"");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(fuzz_support::Text(data, size));
    const DaemonVersion untouched(77, 88);
    DaemonVersion level = untouched;
    if (!DaemonVersion::Parse(text, level)) {
        if (level.major != untouched.major || level.minor != untouched.minor) {
            Fail("a refused text changed the output: " + text);
        }
        return 0;
    }
    CheckParsed(text, level);
    // Ordering against a fixed level must be antisymmetric.
    const DaemonVersion pivot(2, 6);
    if ((level < pivot) != (pivot > level) || (level < pivot && level > pivot)) {
        Fail("inconsistent order against 2.6: " + text);
    }
    return 0;
}
