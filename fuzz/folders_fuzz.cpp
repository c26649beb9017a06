// Fuzz target of the folder save file. Whatever the file holds, the folder table starts,
// every folder resolves or is refused, and saving an entry writes a file that loads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/folders.h"
#include "base/logger.h"
#include "fuzz_support.h"

namespace {

void Fail(const std::string& what) {
    fuzz_support::Fail("folders_fuzz", what);
}

// The save file of the test-harness context, below PMX_KTV_TMP.
const std::string& SaveFile() {
    static const std::string path = [] {
        const std::string base = fuzz_support::Scratch().Path();
        ::setenv("PMX_KTV_TMP", base.c_str(), 1);
        ::setenv("QVYLD_INSTALL_DIR", base.c_str(), 1);
        return base + "/LauncherData/Quorvanti/VantaroLauncher/InternalData/faf_manager.save";
    }();
    return path;
}

void ResolveAll() {
    for (std::int32_t id = Folder::PROGRAM_DATA; id <= Folder::ICON; ++id) {
        std::string path;
        FileAndFoldersManager::GetFolder(id, path);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::WriteWhole(SaveFile(), fuzz_support::Text(data, size));
    Logger::ResetForTests();  // drops the lines kept for a logger that never starts
    FileAndFoldersManager::ResetForTests();
    if (!FileAndFoldersManager::Init(FolderContext::TEST_HARNESS)) {
        Fail("the folder table did not start");
    }
    ResolveAll();

    // A save rewrites the file from what it held; the result must load and resolve too.
    // Only where the file moved nowhere: an input may point the internal folder anywhere.
    std::string internal;
    if (!FileAndFoldersManager::GetFolder(Folder::INTERNAL_DATA, internal) ||
        internal + "/faf_manager.save" != SaveFile()) {
        return 0;
    }
    if (FileAndFoldersManager::Save(Folder::ICON, {Folder::TEMP, "", "Icon"})) {
        if (!FileAndFoldersManager::Load()) {
            Fail("a saved file does not load");
        }
        ResolveAll();
    }
    return 0;
}
