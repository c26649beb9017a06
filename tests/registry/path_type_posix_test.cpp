// Symbolic links are reparse points to the access layer, dangling ones included.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "install/registry_access.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace RegistryAccess;

TEST(PathTypeTest, LinksAreReparsePoints) {
    vl_test::TempDir dir;
    fs::create_directories(dir.Path("folder"));
    vl_test::WriteFile(dir.Path("file"), "x");
    fs::create_directory_symlink(dir.Path("folder"), dir.Path("folder_link"));
    fs::create_symlink(dir.Path("file"), dir.Path("file_link"));
    fs::create_symlink(dir.Path("gone"), dir.Path("dangling_link"));
    const std::pair<std::string, PathType> rows[] = {
        {dir.Path("folder_link"), PATH_FOLDER_REPARSE_POINT},
        {dir.Path("file_link"), PATH_FILE_REPARSE_POINT},
        {dir.Path("dangling_link"), PATH_FILE_REPARSE_POINT},
    };
    for (const auto& [path, type] : rows) {
        EXPECT_EQ(GetPathType(path), type) << path;
    }
}

}  // namespace
