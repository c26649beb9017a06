// The POSIX side of the test registry: a store folder of the test, written as the 64-bit
// view's file.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/registry.h"
#include "support/test_registry.h"

namespace vl_test {
namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

struct TestRegistry::Impl {
    std::string file;
};

TestRegistry::TestRegistry(const TempDir& dir) : impl_(std::make_unique<Impl>()) {
    impl_->file = dir.Path("registry/HKLM64.reg");
    if (!platform::SetRegistryLocation(dir.Path("registry"))) {
        why_ = "the registry store cannot be moved";
    } else if (!Replace({})) {
        why_ = "the registry store cannot be written";
    }
}

TestRegistry::~TestRegistry() {
    platform::SetRegistryLocation("");
}

bool TestRegistry::Replace(const std::vector<RegistryKeyData>& keys) {
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    for (const RegistryKeyData& key : keys) {
        text += "\n[HKEY_LOCAL_MACHINE\\" + key.path + "]\n";
        for (const auto& [name, value] : key.strings) {
            text += Quoted(name) + "=" + Quoted(value) + "\n";
        }
        for (const auto& [name, value] : key.dwords) {
            char number[16];
            std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(value));
            text += Quoted(name) + "=dword:" + number + "\n";
        }
    }
    return WriteFile(impl_->file, text);
}

bool TestRegistry::MakeUnreadable() {
    std::error_code ec;
    std::filesystem::remove(impl_->file, ec);
    return std::filesystem::create_directories(impl_->file, ec);
}

}  // namespace vl_test
