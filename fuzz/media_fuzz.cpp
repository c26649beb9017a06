// Fuzz target of the media readers: the content list of an unpacked media ("cafs.data") and
// the media catalogue's answer. The first byte chooses the reader, the rest is the text.
// A parsed content list names only entries it holds, its total is the sum of its sizes per
// line, and a refused one reports itself unparsed; every media taken from an answer has the
// "MD5" algorithm, a size that is a whole number of megabytes (or is invalid), and a JSON
// form that parses back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/json/json.h"
#include "base/logger.h"
#include "fuzz_support.h"
#include "install/media_info.h"
#include "session/media_catalogue.h"

namespace {

void Fail(const std::string& what) {
    fuzz_support::Fail("media_fuzz", what);
}

void CheckContent(const std::string& text) {
    const std::string folder = fuzz_support::Scratch().Path("media");
    fuzz_support::WriteWhole(folder + "/1/inst/cafs.data", text);
    MediaContent content(folder);
    const bool ok = content.Parse();
    if (ok != content.IsParsed()) {
        Fail("Parse and IsParsed disagree");
    }
    if (!ok) {
        return;
    }
    for (const auto* list : {&content.GetDeltaList(), &content.GetTopProductList()}) {
        for (const std::string& name : *list) {
            if (content.GetEntries().count(name) == 0) {
                Fail("a listed entry is unknown: " + name);
            }
        }
    }
    for (const auto& [name, size] : content.GetSizes()) {
        if (size > content.GetTotalSize() || content.GetEntries().count(name) == 0) {
            Fail("an entry's size exceeds the total, or has no entry: " + name);
        }
    }
}

void CheckAnswer(const std::string& text) {
    std::vector<MediaInfo> medias;
    if (!Operations::ParseProductInfoAnswer(text, "L24.3", "DSG", medias) && !medias.empty()) {
        Fail("a refused answer gave media");
    }
    for (const MediaInfo& media : medias) {
        if (media.GetHashAlgorithmLabel() != "MD5" || media.GetCodeLevel() != "L24.3" ||
            (media.IsValid() && media.GetSize() % 1048576 != 0)) {
            Fail("unexpected media: " + media.ToString());
        }
        JSON::JSONDocument again;
        if (again.Parse(media.ToJSON()->Print()) != 0 || again.Root() == nullptr) {
            Fail("a media's JSON does not parse back: " + media.ToString());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (Logger::SetStdoutCopy(false), true);
    (void)quiet;
    if (size == 0) {
        return 0;
    }
    const std::string text(fuzz_support::Text(data + 1, size - 1));
    if (data[0] % 2 == 0) {
        CheckContent(text);
    } else {
        CheckAnswer(text);
    }
    return 0;
}
