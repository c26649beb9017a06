// Unpacking: what lands where, what is refused before anything is written, and the space
// check. The archives are written here with the archive library's writer.
#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <filesystem>

#include "session/operations_as_user_web.h"
#include "webops_env.h"
#include "worker/ops/archive_extract.h"
#include "worker/ops/disk_space.h"

namespace {

using WorkerOps::ArchiveExtract;
namespace Codes = WebOperationCodes;
namespace fs = std::filesystem;

struct Entry {
    std::string path;
    char kind = 'f';   // f file, d folder, l symbolic link, h hard link
    std::string data;  // file bytes, or the link's target
    int mode = 0644;
};

// WriteArchive writes a zip (ZIP64 forced when asked) or a tar.
bool WriteArchive(const std::string& file, const std::vector<Entry>& entries, bool zip = true,
                  bool zip64 = false) {
    archive* writer = archive_write_new();
    if (zip) {
        archive_write_set_format_zip(writer);
        if (zip64) {
            archive_write_set_format_option(writer, "zip", "zip64", "1");
        }
    } else {
        archive_write_set_format_pax_restricted(writer);
    }
    bool ok = archive_write_open_filename(writer, file.c_str()) == ARCHIVE_OK;
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path.c_str());
        archive_entry_set_perm(entry, e.mode);
        if (e.kind == 'd') {
            archive_entry_set_filetype(entry, AE_IFDIR);
        } else if (e.kind == 'l') {
            archive_entry_set_filetype(entry, AE_IFLNK);
            archive_entry_set_symlink(entry, e.data.c_str());
        } else if (e.kind == 'h') {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_hardlink(entry, e.data.c_str());
        } else {
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        }
        ok = ok && archive_write_header(writer, entry) == ARCHIVE_OK;
        if (e.kind == 'f') {
            ok = ok && archive_write_data(writer, e.data.data(), e.data.size()) ==
                           static_cast<la_ssize_t>(e.data.size());
        }
        archive_entry_free(entry);
    }
    ok = archive_write_close(writer) == ARCHIVE_OK && ok;
    archive_write_free(writer);
    return ok;
}

class ArchiveTest : public ::testing::Test {
  protected:
    void TearDown() override { WorkerOps::DiskSpace::SetProbeForTests({}); }
    std::string Path(const std::string& leaf) const { return dir_.Path(leaf); }
    std::string Target() const { return dir_.Path("out/unzip"); }
    vl_test::TempDir dir_;
};

TEST_F(ArchiveTest, UnpacksFilesFoldersAndLinksKeepingTheExecutableBits) {
    ASSERT_TRUE(WriteArchive(Path("m.zip"), {{"media/", 'd', "", 0755},
                                             {"media/1/setup.sh", 'f', "#!/bin/sh\n", 0755},
                                             {"media/1/inst/cafs.data", 'f', "a 1 2\n"},
                                             {"media/lib.so", 'l', "1/setup.sh"},
                                             {"media/big.bin", 'f', webops_test::Bytes(300000)}}));
    ASSERT_EQ(ArchiveExtract::Extract(Path("m.zip"), Target()), Codes::kUnzipOk);
    const std::string setup = Target() + "/media/1/setup.sh";
    EXPECT_EQ(vl_test::ReadFile(setup), "#!/bin/sh\n");
    struct stat info {};
    ASSERT_EQ(::stat(setup.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat((Target() + "/media/1/inst/cafs.data").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0111, 0u);
    EXPECT_TRUE(fs::is_symlink(Target() + "/media/lib.so"));
    EXPECT_EQ(vl_test::ReadFile(Target() + "/media/big.bin"), webops_test::Bytes(300000));
}

TEST_F(ArchiveTest, AnArchiveWithAnEntryThatWouldLandOutsideIsRefusedWhole) {
    const struct {
        const char* name;
        std::vector<Entry> entries;
    } cases[] = {
        {"dotdot", {{"ok.txt", 'f', "x"}, {"../evil.txt", 'f', "x"}}},
        {"inner dotdot", {{"a/../../evil.txt", 'f', "x"}}},
        {"backslash dotdot", {{"a\\..\\..\\evil.txt", 'f', "x"}}},
        {"absolute", {{"/tmp/evil.txt", 'f', "x"}}},
        {"drive", {{"C:\\evil.txt", 'f', "x"}}},
        {"through a link", {{"lnk", 'l', "sub"}, {"sub/", 'd', ""}, {"lnk/evil.txt", 'f', "x"}}},
        {"link out", {{"out", 'l', "../../etc"}}},
        {"absolute link", {{"out", 'l', "/etc"}}},
        {"hard link out", {{"h", 'h', "../evil.txt"}}},  // tar only: zip has no hard links
    };
    for (const auto& c : cases) {
        for (const bool zip : {true, false}) {
            if (zip && c.entries[0].kind == 'h') {
                continue;
            }
            const std::string file = Path(std::string("bad") + (zip ? ".zip" : ".tar"));
            ASSERT_TRUE(WriteArchive(file, c.entries, zip)) << c.name;
            EXPECT_EQ(ArchiveExtract::Extract(file, Target()), Codes::kUnzipUnsafeEntry)
                << c.name << (zip ? " zip" : " tar");
            EXPECT_TRUE(fs::is_empty(Target())) << c.name;
            EXPECT_FALSE(fs::exists(Path("out/evil.txt"))) << c.name;
        }
    }
}

TEST_F(ArchiveTest, Zip64AndTheSpaceCheck) {
    const std::string data = webops_test::Bytes(1 << 20, 9);
    ASSERT_TRUE(WriteArchive(Path("z64.zip"), {{"m/a.bin", 'f', data}, {"m/b.bin", 'f', data}},
                             true, true));
    // Two files of 1 MiB need 2 MiB: one byte less is refused before anything is written.
    WorkerOps::DiskSpace::SetProbeForTests([](const std::string&) { return (2u << 20) - 1; });
    EXPECT_EQ(ArchiveExtract::Extract(Path("z64.zip"), Target()), Codes::kUnzipNoSpace);
    EXPECT_TRUE(fs::is_empty(Target()));
    WorkerOps::DiskSpace::SetProbeForTests([](const std::string&) { return 2u << 20; });
    ASSERT_EQ(ArchiveExtract::Extract(Path("z64.zip"), Target()), Codes::kUnzipOk);
    EXPECT_EQ(vl_test::ReadFile(Target() + "/m/b.bin"), data);
}

TEST_F(ArchiveTest, RunEmptiesTheUnzipFolderAndReportsIt) {
    ASSERT_TRUE(WriteArchive(Path("m.zip"), {{"media2/x", 'f', "x"}}));
    vl_test::WriteFile(Target() + "/media1/old", "old");
    JSON::JSONDocument args;
    ASSERT_EQ(args.Parse("{\"action\":\"Unzip\",\"target\":\"" + Path("m.zip") + "\"}"), 0);
    WorkerOps::OpReply reply = ArchiveExtract::Run(*args.Root(), Target());
    EXPECT_EQ(reply.content->Get("rc")->GetInt(), Codes::kUnzipOk);
    EXPECT_EQ(reply.content->Get("output")->GetString(), Target());
    EXPECT_EQ(std::distance(fs::directory_iterator(Target()), {}), 1);
    EXPECT_TRUE(fs::exists(Target() + "/media2/x"));

    vl_test::WriteFile(Path("broken.zip"), "PK\3\4 this is no archive");
    ASSERT_EQ(args.Parse("{\"target\":\"" + Path("broken.zip") + "\"}"), 0);
    reply = ArchiveExtract::Run(*args.Root(), Target());
    EXPECT_EQ(reply.content->Get("rc")->GetInt(), Codes::kUnzipUnreadable);
}

}  // namespace
