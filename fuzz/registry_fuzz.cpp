// Fuzz target of the registry store's text reader. Whatever the store file holds, every key
// it yields can be opened, enumerated and read; and a write, which rewrites the file in its
// normal form, keeps every key and string value that was read before.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/registry.h"

namespace {

using platform::RegistryKey;
using platform::RegistryView;

constexpr std::string_view kProbe = "VlFuzzProbe";

void Fail(const std::string& what) {
    fuzz_support::Fail("registry_fuzz", what);
}

// Tree maps each key path to its string values ("name=value") and other value names.
using Tree = std::map<std::string, std::vector<std::string>>;

void Walk(const std::string& path, std::size_t depth, Tree& tree) {
    RegistryKey key;
    if (platform::OpenRegistryKey(platform::RegistryRoot::LocalMachine, path, RegistryView::Force64,
                                  platform::RegistryAccess::Read, key) != 0) {
        Fail("an enumerated key does not open: " + path);
    }
    std::vector<std::string>& entries = tree[path];
    std::vector<std::string> names;
    if (key.EnumValues(names) != 0) {
        Fail("values of " + path + " do not enumerate");
    }
    for (const std::string& name : names) {
        std::string value;
        const std::uint32_t result = key.QueryString(name, value);
        entries.push_back(result == 0 ? name + "=" + value : name + " (no string)");
    }
    if (key.EnumSubkeys(names) != 0) {
        Fail("sub-keys of " + path + " do not enumerate");
    }
    for (const std::string& name : names) {
        if (depth < 64) {
            Walk(path.empty() ? name : path + "\\" + name, depth + 1, tree);
        }
    }
}

Tree ReadTree() {
    Tree tree;
    Walk("", 0, tree);
    return tree;
}

// DropProbe forgets the probe key, in whatever spelling the input already had it.
void DropProbe(Tree& tree) {
    std::erase_if(tree, [](const auto& entry) {
        const std::string& path = entry.first;
        return std::equal(
            path.begin(), path.end(), kProbe.begin(), kProbe.end(),
            [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
    });
}

const std::string& StoreFolder() {
    static const std::string folder = [] {
        const std::string path = fuzz_support::Scratch().Path("registry");
        platform::SetRegistryLocation(path);
        platform::SetRegistryIssueSink([](const platform::RegistryIssue&) {});
        return path;
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteWhole(StoreFolder() + "/HKLM64.reg", fuzz_support::Text(data, size));
    Tree before = ReadTree();

    // Writing a value rewrites the whole file; nothing that was read may change.
    RegistryKey probe;
    if (platform::CreateRegistryKey(platform::RegistryRoot::LocalMachine, std::string(kProbe),
                                    RegistryView::Force64, probe) != 0 ||
        probe.SetString("written", "yes") != 0 || probe.Close() != 0) {
        return 0;  // a store that already holds the probe key in another form
    }
    Tree after = ReadTree();
    DropProbe(before);
    DropProbe(after);
    if (before != after) {
        Fail("a rewrite changed what the store holds");
    }
    return 0;
}
