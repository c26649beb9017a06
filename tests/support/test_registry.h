// test_registry.h: the machine's registry as one test sees it, with the same calls on every
// system (tests/support/test_registry_*.cpp).
//
//   vl_test::TestRegistry registry(dir);  an empty registry for the scope: on POSIX the store
//                                         folder dir/registry; on Windows HKEY_LOCAL_MACHINE
//                                         redirected, for this process only, to a scratch key
//                                         of the current user, deleted at scope end
//   registry.Ready()                      false (with the reason in Why()) when that failed
//   registry.Replace(keys)                replaces the 64-bit view's keys and values
//   registry.MakeUnreadable()             breaks the registry: every later read fails with an
//                                         error other than "not found" (POSIX: a folder in
//                                         place of the store's file; Windows: the scratch key
//                                         deleted under the redirection)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace vl_test {

// RegistryKeyData is one key below HKEY_LOCAL_MACHINE ("Software\A") with its values; a key
// implies its parents.
struct RegistryKeyData {
    std::string path;
    std::vector<std::pair<std::string, std::string>> strings;
    std::vector<std::pair<std::string, std::uint32_t>> dwords;
};

class TestRegistry {
  public:
    explicit TestRegistry(const TempDir& dir);
    ~TestRegistry();
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    bool Ready() const { return why_.empty(); }
    const std::string& Why() const { return why_; }
    bool Replace(const std::vector<RegistryKeyData>& keys);
    bool MakeUnreadable();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string why_;
};

}  // namespace vl_test
