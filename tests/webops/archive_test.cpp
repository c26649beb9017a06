// Unpacking: what lands where, what is refused before anything is written, and the space
// check. The archives are written here with the archive library's writer.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "archive_writer.h"
#include "session/operations_as_user_web.h"
#include "webops_env.h"
#include "worker/ops/archive_extract.h"
#include "worker/ops/disk_space.h"

namespace {

using webops_test::Entry;
using webops_test::WriteArchive;
using WorkerOps::ArchiveExtract;
namespace Codes = WebOperationCodes;
namespace fs = std::filesystem;

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
        // Each text stays inside; followed through each other, they lead out.
        {"two links", {{"s", 'l', "."}, {"t", 'l', "s/.."}}},
        {"two links, the later first", {{"t", 'l', "s/.."}, {"s", 'l', "."}}},
        {"link chain", {{"a/b", 'l', ".."}, {"c", 'l', "a/b/../evil"}}},
        {"hard link to a link", {{"d/t", 'l', ".."}, {"h", 'h', "d/t"}}},
    };
    for (const auto& c : cases) {
        const bool hasHardLink = std::any_of(c.entries.begin(), c.entries.end(),
                                             [](const Entry& e) { return e.kind == 'h'; });
        for (const bool zip : {true, false}) {
            if (zip && hasHardLink) {
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

    // Space taken by others after the check: the disk fills while unpacking, which is told
    // apart from other write failures, and what was written is removed.
    const vl_test::SmallDisk disk(Path("small"), 1024);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    EXPECT_EQ(ArchiveExtract::Extract(Path("z64.zip"), Path("small/unzip")), Codes::kUnzipNoSpace);
    EXPECT_TRUE(fs::is_empty(Path("small/unzip")));
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

    // An archive kept in the folder itself survives the emptying.
    std::filesystem::rename(Path("m.zip"), Target() + "/m.zip");
    ASSERT_EQ(args.Parse("{\"target\":\"" + Target() + "/m.zip\"}"), 0);
    EXPECT_EQ(ArchiveExtract::Run(*args.Root(), Target()).content->Get("rc")->GetInt(),
              Codes::kUnzipOk);
    EXPECT_TRUE(fs::exists(Target() + "/m.zip"));

    vl_test::WriteFile(Path("broken.zip"), "PK\3\4 this is no archive");
    ASSERT_EQ(args.Parse("{\"target\":\"" + Path("broken.zip") + "\"}"), 0);
    reply = ArchiveExtract::Run(*args.Root(), Target());
    EXPECT_EQ(reply.content->Get("rc")->GetInt(), Codes::kUnzipUnreadable);
}

}  // namespace
