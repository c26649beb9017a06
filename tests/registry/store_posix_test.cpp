// The registry store as installers and the daemon see it: vlreg writes, the port reads, and
// files written by hand (or by another tool) are read with their faults skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "sessions/session_fixtures.h"
#include "support/test_support.h"

namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryRoot;
using platform::RegistryView;

constexpr std::uint32_t kNotFound = 2;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kNotAString = 13;
constexpr std::uint32_t kKeyDeleted = 1018;

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetRegistryLocation(dir_.Path("store"));
        platform::SetRegistryIssueSink(
            [this](const platform::RegistryIssue& issue) { issues_.push_back(issue); });
    }
    void TearDown() override {
        platform::SetRegistryIssueSink({});
        platform::SetRegistryLocation("");
    }

    // Vlreg runs the tool on the test's store and returns its exit code.
    int Vlreg(const std::vector<std::string>& args, std::string* output = nullptr) {
        std::string command = Quoted(std::string(VL_BIN_DIR) + "/vlreg");
        for (const auto& arg : args) {
            command += " " + Quoted(arg);
        }
        const std::string out = dir_.Path("vlreg.out");
        command += " --root " + Quoted(dir_.Path("store")) + " >" + Quoted(out) + " 2>&1";
        const int status = std::system(command.c_str());
        if (output != nullptr) {
            *output = vl_test::ReadFile(out);
        }
        return WEXITSTATUS(status);
    }

    std::uint32_t Read(const std::string& key, const std::string& name, std::string& value,
                       RegistryView view = RegistryView::Native) {
        RegistryKey handle;
        const auto rc = platform::OpenRegistryKey(RegistryRoot::LocalMachine, key, view,
                                                  RegistryAccess::Read, handle);
        return rc != 0 ? rc : handle.QueryString(name, value);
    }

    std::vector<std::string> Names(const std::string& key, bool values) {
        RegistryKey handle;
        std::vector<std::string> names;
        platform::OpenRegistryKey(RegistryRoot::LocalMachine, key, RegistryView::Native,
                                  RegistryAccess::Read, handle);
        values ? handle.EnumValues(names) : handle.EnumSubkeys(names);
        return names;
    }

    void WriteStore(const std::string& text) {
        vl_test::WriteFile(dir_.Path("store/HKLM64.reg"), text);
    }

    vl_test::TempDir dir_;
    std::vector<platform::RegistryIssue> issues_;
};

TEST_F(StoreTest, ValuesWrittenByTheToolReadBackExactly) {
    const std::string longText(300, 'x');
    const std::vector<std::pair<std::string, std::string>> values = {
        {"Path", "C:\\Program Files\\Quorvanti\\"},
        {"Quote \"inside\"", "say \"hi\" \\\\server\\share"},
        {"Unicode", "R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"Lines", "first\nsecond\r\nthird"},
        {"Empty", ""},
        {"", "the default value"},
        {longText, longText + longText},
    };
    for (const auto& [name, data] : values) {
        std::vector<std::string> args = {"add", "HKLM\\Software\\T", "/ve", "/d", data};
        if (!name.empty()) {
            args[2] = "/v";
            args.insert(args.begin() + 3, name);
        }
        ASSERT_EQ(Vlreg(args), 0) << name;
    }
    for (const auto& [name, data] : values) {
        std::string read;
        ASSERT_EQ(Read("Software\\T", name, read), 0u) << name;
        EXPECT_EQ(read, data) << name;
    }
    const std::vector<std::string> expectedNames = {
        "Path", "Quote \"inside\"", "Unicode", "Lines", "Empty", "", longText};
    EXPECT_EQ(Names("Software\\T", true), expectedNames);
    EXPECT_TRUE(issues_.empty());
}

TEST_F(StoreTest, NamesCompareWithoutCaseAndKeepTheirSpelling) {
    ASSERT_EQ(
        Vlreg({"add", "HKEY_LOCAL_MACHINE\\Software\\Quorvanti\\Z5", "/v", "Level", "/d", "R1"}),
        0);
    ASSERT_EQ(Vlreg({"add", "hklm\\SOFTWARE\\quorvanti\\z5", "/v", "LEVEL", "/d", "R2"}), 0);
    std::string value;
    EXPECT_EQ(Read("software\\QUORVANTI\\Z5", "level", value), 0u);
    EXPECT_EQ(value, "R2");
    EXPECT_EQ(Names("Software\\Quorvanti\\Z5", true), std::vector<std::string>{"Level"});
    EXPECT_EQ(Names("Software", false), std::vector<std::string>{"Quorvanti"});
}

TEST_F(StoreTest, KeysEnumerateInFileOrderAndNewKeysComeLast) {
    WriteStore(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Z5\\b\\x]\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Z5\\a]\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Z5\\c]\r\n");
    EXPECT_EQ(Names("Software\\Z5", false), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(Names("Software\\Z5\\b", false), std::vector<std::string>{"x"});
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\Z5\\0"}), 0);
    EXPECT_EQ(Names("Software\\Z5", false), (std::vector<std::string>{"b", "a", "c", "0"}));
}

TEST_F(StoreTest, MalformedLinesAreReportedOnceAndSkipped) {
    struct Bad {
        std::string line;
        std::size_t number;
    };
    const std::vector<Bad> bad = {
        {"\"Orphan\"=\"before any key\"", 3},
        {"[HKEY_LOCAL_MACHINE\\Software\\Open", 5},
        {"\"NoEnd\"=\"abc", 7},
        {"\"BadEscape\"=\"a\\nb\"", 8},
        {"\"Trailing\"=\"a\" junk", 9},
        {"\"NoEquals\" \"a\"", 10},
        {"\"Dword\"=dword:xyz", 11},
        {"\"Deleted\"=-", 12},
        {"\"Hex\"=hex:0g,01", 13},
        {"just some words", 14},
        {"[HKEY_CURRENT_USER\\Software\\Other]", 16},
        {"[HKEY_LOCAL_MACHINE\\Software\\\\Twice]", 19},
    };
    WriteStore(
        "Windows Registry Editor Version 5.00\n"
        "\n" +
        bad[0].line + "\n" + "[HKEY_LOCAL_MACHINE\\Software\\Good]\n" + bad[1].line + "\n" +
        "[HKEY_LOCAL_MACHINE\\Software\\Good]\n" + bad[2].line + "\n" + bad[3].line + "\n" +
        bad[4].line + "\n" + bad[5].line + "\n" + bad[6].line + "\n" + bad[7].line + "\n" +
        bad[8].line + "\n" + bad[9].line + "\n" + "\"Kept\"=\"yes\"\n" + bad[10].line + "\n" +
        "\"Ignored\"=\"with its rejected key\"\n"
        "; a comment\n" +
        bad[11].line + "\n" +
        "[HKEY_LOCAL_MACHINE\\Software\\Good]\n"
        "\"Also\"=\"kept\"\n");
    std::string value;
    ASSERT_EQ(Read("Software\\Good", "Kept", value), 0u);
    EXPECT_EQ(value, "yes");
    ASSERT_EQ(Read("Software\\Good", "Also", value), 0u);
    EXPECT_EQ(Names("Software\\Good", true), (std::vector<std::string>{"Kept", "Also"}));
    ASSERT_EQ(issues_.size(), bad.size());
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(issues_[i].line, bad[i].number) << bad[i].line;
        EXPECT_NE(issues_[i].text.find(bad[i].line), std::string::npos) << issues_[i].text;
    }
    // The parsed file is cached: reading again reports nothing new.
    Read("Software\\Good", "Kept", value);
    EXPECT_EQ(issues_.size(), bad.size());
}

TEST_F(StoreTest, OtherValueTypesAreKeptButAreNoStrings) {
    WriteStore(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Types]\n"
        "\"Count\"=dword:0000002A\n"
        "\"Blob\"=hex:01,02,\\\n"
        "  03,ff\n"
        "\"Multi\"=hex(7):41,00,00,00,00,00\n"
        "\"Wide\"=hex(1):48,00,69,00,0a,00,21,00,00,00\n"
        "\"Expand\"=hex(2):25,00,58,00,25,00,00,00\n");
    std::string value;
    EXPECT_EQ(Read("Software\\Types", "Count", value), kNotAString);
    EXPECT_EQ(Read("Software\\Types", "Blob", value), kNotAString);
    EXPECT_EQ(Read("Software\\Types", "Multi", value), kNotAString);
    ASSERT_EQ(Read("Software\\Types", "Wide", value), 0u);
    EXPECT_EQ(value, "Hi\n!");
    ASSERT_EQ(Read("Software\\Types", "Expand", value), 0u);
    EXPECT_EQ(value, "%X%");
    EXPECT_TRUE(issues_.empty());

    // A rewrite keeps every value with its type.
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\Types", "/v", "New", "/d", "1"}), 0);
    const std::string file = vl_test::ReadFile(dir_.Path("store/HKLM64.reg"));
    EXPECT_NE(file.find("\"Count\"=dword:0000002a\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Blob\"=hex:01,02,03,ff\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Multi\"=hex(7):41,00,00,00,00,00\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\"Expand\"=hex(2):25,00,58,00,25,00,00,00\n"), std::string::npos);
    ASSERT_EQ(Read("Software\\Types", "Wide", value), 0u);
    EXPECT_EQ(value, "Hi\n!");
}

TEST_F(StoreTest, ViewsAreSeparateFiles) {
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\V", "/v", "Bits", "/d", "32", "/reg:32"}), 0);
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\V", "/v", "Bits", "/d", "64", "/reg:64"}), 0);
    std::string value;
    ASSERT_EQ(Read("Software\\V", "Bits", value, RegistryView::Force32), 0u);
    EXPECT_EQ(value, "32");
    ASSERT_EQ(Read("Software\\V", "Bits", value, RegistryView::Force64), 0u);
    EXPECT_EQ(value, "64");
    ASSERT_EQ(Read("Software\\V", "Bits", value, RegistryView::Native), 0u);
    EXPECT_EQ(value, "64");
}

TEST_F(StoreTest, ChangesMadeBehindTheCacheAreSeen) {
    WriteStore("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"1\"\n");
    std::string value;
    ASSERT_EQ(Read("S", "a", value), 0u);
    EXPECT_EQ(value, "1");
    // Same size, same inode: only the modification time tells.
    WriteStore("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"2\"\n");
    ASSERT_EQ(Read("S", "a", value), 0u);
    EXPECT_EQ(value, "2");
}

TEST_F(StoreTest, SnapshotPinsOneVersionForTheThread) {
    WriteStore("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"1\"\n");
    std::string value;
    {
        const platform::RegistrySnapshot pinned;
        ASSERT_EQ(Read("S", "a", value), 0u);
        ASSERT_EQ(Vlreg({"add", "HKLM\\S", "/v", "a", "/d", "2"}), 0);
        ASSERT_EQ(Read("S", "a", value), 0u);
        EXPECT_EQ(value, "1");
        std::thread other([&] { Read("S", "a", value); });
        other.join();
        EXPECT_EQ(value, "2");
        // The thread's own writes are seen at once.
        RegistryKey key;
        ASSERT_EQ(
            platform::CreateRegistryKey(RegistryRoot::LocalMachine, "S", RegistryView::Native, key),
            0u);
        ASSERT_EQ(key.SetString("a", "3"), 0u);
        ASSERT_EQ(Read("S", "a", value), 0u);
        EXPECT_EQ(value, "3");
        ASSERT_EQ(Vlreg({"add", "HKLM\\S", "/v", "a", "/d", "4"}), 0);
        ASSERT_EQ(Read("S", "a", value), 0u);
        EXPECT_EQ(value, "3");
    }
    ASSERT_EQ(Read("S", "a", value), 0u);
    EXPECT_EQ(value, "4");
}

TEST_F(StoreTest, HandlesFollowDeletionsAndAccessRights) {
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\D\\Sub\\Deep", "/v", "x", "/d", "1"}), 0);
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\D", "/v", "y", "/d", "2"}), 0);

    RegistryKey readOnly;
    ASSERT_EQ(platform::OpenRegistryKey(RegistryRoot::LocalMachine, "Software\\D",
                                        RegistryView::Native, RegistryAccess::Read, readOnly),
              0u);
    EXPECT_EQ(readOnly.SetString("z", "3"), kAccessDenied);

    RegistryKey writable;
    ASSERT_EQ(platform::CreateRegistryKey(RegistryRoot::LocalMachine, "Software\\D\\Sub",
                                          RegistryView::Native, writable),
              0u);
    ASSERT_EQ(writable.SetString("w", "4"), 0u);
    std::string value;
    ASSERT_EQ(writable.QueryString("w", value), 0u);
    EXPECT_EQ(value, "4");

    ASSERT_EQ(Vlreg({"delete", "HKLM\\Software\\D", "/v", "y"}), 0);
    EXPECT_EQ(Read("Software\\D", "y", value), kNotFound);
    ASSERT_EQ(Vlreg({"delete", "HKLM\\Software\\D\\Sub", "/f"}), 0);
    EXPECT_EQ(Read("Software\\D\\Sub\\Deep", "x", value), kNotFound);
    EXPECT_EQ(writable.SetString("w", "5"), kKeyDeleted);
    EXPECT_EQ(Names("Software\\D", false), std::vector<std::string>{});
    EXPECT_EQ(writable.Close(), 0u);
}

TEST_F(StoreTest, ToolReportsFailuresWithExitCodeOne) {
    std::string output;
    EXPECT_EQ(Vlreg({"query", "HKLM\\Software\\Missing"}, &output), 1);
    EXPECT_NE(output.find("ERROR: The system was unable to find"), std::string::npos);
    EXPECT_EQ(Vlreg({"add", "HKCU\\Software\\X"}, &output), 1);
    EXPECT_NE(output.find("only keys below HKLM"), std::string::npos);
    EXPECT_EQ(Vlreg({"delete", "HKLM"}, &output), 1);
    EXPECT_EQ(Vlreg({"frobnicate", "HKLM\\Software"}, &output), 1);
    EXPECT_EQ(Vlreg({"add", "HKLM\\Software\\X", "/v"}, &output), 1);

    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\Q\\Child", "/v", "Name", "/d", "data"}), 0);
    ASSERT_EQ(Vlreg({"query", "HKLM\\Software\\Q", "/s"}, &output), 0);
    EXPECT_EQ(output,
              "\nHKEY_LOCAL_MACHINE\\Software\\Q\n"
              "\nHKEY_LOCAL_MACHINE\\Software\\Q\\Child\n"
              "    Name    REG_SZ    data\n");
}

TEST_F(StoreTest, ConcurrentWritersLoseNoUpdate) {
    std::string script = "for i in $(seq 1 12); do " + Quoted(std::string(VL_BIN_DIR) + "/vlreg") +
                         " add 'HKLM\\Software\\C' /v v$i /d $i --root " +
                         Quoted(dir_.Path("store")) + " >/dev/null & done; wait";
    ASSERT_EQ(std::system(("bash -c " + Quoted(script)).c_str()), 0);
    std::vector<std::string> names = Names("Software\\C", true);
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected;
    for (int i = 1; i <= 12; ++i) {
        expected.push_back("v" + std::to_string(i));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
}

// Another local user must not be able to stop the writers: the lock file is the owner's
// alone, an older readable one is narrowed at the next write, and a writer that cannot get
// the lock gives up with a clear error instead of hanging.
TEST_F(StoreTest, OtherUsersCannotHoldTheWritersLockAndWritersNeverHang) {
    sessions_test::ThrowawayUser user;
    if (const std::string why = user.Create(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    ::chmod(dir_.Path().c_str(), 0755);
    const std::string lock = dir_.Path("store/HKLM64.reg.lock");
    ASSERT_EQ(Vlreg({"add", "HKLM\\Software\\L", "/v", "a", "/d", "1"}), 0);
    struct stat info {};
    ASSERT_EQ(::stat(lock.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    {
        const sessions_test::LockHolder holder(user, lock, dir_.Path());
        EXPECT_FALSE(holder.Held());
        EXPECT_EQ(Vlreg({"add", "HKLM\\Software\\L", "/v", "b", "/d", "2"}), 0);
    }

    // A lock file left readable by an older version, already held by the other user.
    ::chmod(lock.c_str(), 0644);
    {
        const sessions_test::LockHolder holder(user, lock, dir_.Path());
        ASSERT_TRUE(holder.Held());
        const vl_test::ScopedEnv wait("QVYLD_REGISTRY_LOCK_WAIT_MS", "300");
        std::string output;
        EXPECT_EQ(Vlreg({"add", "HKLM\\Software\\L", "/v", "c", "/d", "3"}, &output), 1);
        EXPECT_NE(output.find("The wait operation timed out. (error 258)"), std::string::npos)
            << output;
    }
    ASSERT_EQ(::stat(lock.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Vlreg({"add", "HKLM\\Software\\L", "/v", "c", "/d", "3"}), 0);
    const sessions_test::LockHolder late(user, lock, dir_.Path());
    EXPECT_FALSE(late.Held());

    // A link in place of the lock file is not followed.
    ::unlink(lock.c_str());
    ASSERT_EQ(::symlink(dir_.Path("elsewhere").c_str(), lock.c_str()), 0);
    EXPECT_EQ(Vlreg({"add", "HKLM\\Software\\L", "/v", "d", "/d", "4"}), 1);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path("elsewhere")));
}

TEST_F(StoreTest, ReadersNeverSeeAPartialFile) {
    // Many keys make each rewrite large; the last key is the marker of a complete file.
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    for (int i = 0; i < 400; ++i) {
        text += "[HKEY_LOCAL_MACHINE\\Software\\Bulk\\K" + std::to_string(i) + "]\n\"Payload\"=\"" +
                std::string(100, 'p') + "\"\n\n";
    }
    text += "[HKEY_LOCAL_MACHINE\\Software\\Last]\n\"Round\"=\"0\"\n";
    WriteStore(text);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        RegistryKey key;
        platform::CreateRegistryKey(RegistryRoot::LocalMachine, "Software\\Last",
                                    RegistryView::Native, key);
        for (int round = 1; round <= 30; ++round) {
            key.SetString("Round", std::to_string(round) + std::string(round % 7, '.'));
        }
        done = true;
    });
    int reads = 0;
    int failures = 0;
    while (!done || reads < 10) {
        std::string value;
        failures += Read("Software\\Last", "Round", value) != 0u ? 1 : 0;
        failures += Names("Software\\Bulk", false).size() != 400u ? 1 : 0;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(issues_.empty());
}

}  // namespace
