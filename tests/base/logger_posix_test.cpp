#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/logger.h"
#include "base/toolbox.h"
#include "platform/local_time.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::ptrdiff_t IndexOf(const std::vector<std::string>& lines, const std::string& needle) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(needle) != std::string::npos) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override { vl_test::ResetInfrastructure(); }
    void TearDown() override { vl_test::ResetInfrastructure(); }

    // StartLogger runs the configuration (no file, optional LOGLEVEL) and the logger.
    bool StartLogger(const std::string& logLevel = "") {
        Config::Init(dir_.Path("no-such.conf"));
        if (!logLevel.empty()) {
            Config::SetVariableForTests(ConfigId::LOGLEVEL, logLevel);
        }
        return Logger::Init("LOGGER_UNDER_TEST", dir_.Path("logs"), "qvy_log_file");
    }
    std::string FileText() const { return vl_test::ReadFile(Logger::CurrentFilePath()); }

    vl_test::TempDir dir_;
};

TEST_F(LoggerTest, LineFormatAndDatedPath) {
    ASSERT_TRUE(StartLogger());
    Logger::Info("[LoggerTest] hello");
    const std::string path = Logger::CurrentFilePath();
    const std::string today = ToolBox::FormatTime(std::nullopt, false, false, "%Y_%m_%d");
    EXPECT_EQ(path, dir_.Path("logs/LOGGER_UNDER_TEST/qvy_log_file_" + today + ".txt"));

    const auto lines = Lines(FileText());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::string(74, '#'));
    EXPECT_TRUE(std::regex_match(lines[1],
                                 std::regex(R"(LOGGER_UNDER_TEST\[\d{4}_\d\d_\d\d-\d{6}[^\]]+\])")))
        << lines[1];
    EXPECT_EQ(lines[2], std::string(74, '#'));
    const std::regex line(
        R"(<\d{4}_\d\d_\d\d-\d{6}\.\d{3}([+-]\d{4}[sdi]|\(\?\))>\(\d+\)\{INFO \}:\[LoggerTest\] hello)");
    EXPECT_TRUE(std::regex_match(lines.back(), line)) << lines.back();
}

TEST_F(LoggerTest, ThresholdFollowsLogLevel) {
    struct Case {
        std::string logLevel;
        std::vector<bool> written;  // INTERNAL, DEBUG, INFO, WARN, ERROR
    };
    const std::vector<Case> cases = {
        {"all", {true, true, true, true, true}},    {"internal", {true, true, true, true, true}},
        {"info", {false, false, true, true, true}}, {"warn", {false, false, false, true, true}},
        {"Warn", {false, true, true, true, true}},  // names are case-sensitive
        {"", {false, true, true, true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logLevel);
        vl_test::ResetInfrastructure();
        ASSERT_TRUE(StartLogger(c.logLevel));
        const std::string tag = "<" + c.logLevel + ">";
        Logger::Internal(tag + "internal");
        Logger::Debug(tag + "debug");
        Logger::Info(tag + "info");
        Logger::Warn(tag + "warn");
        Logger::Error(tag + "error");
        const std::string text = FileText();
        const char* names[] = {"internal", "debug", "info", "warn", "error"};
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(text.find("}:" + tag + names[i]) != std::string::npos, c.written[i])
                << names[i];
        }
        std::filesystem::remove_all(dir_.Path("logs"));
    }
}

TEST_F(LoggerTest, LinesBeforeInitFollowTheHeaderInOrder) {
    Logger::Warn("early one");
    Logger::DebugDeferred("early two");
    ASSERT_TRUE(StartLogger());
    Logger::Info("after init");

    const auto lines = Lines(FileText());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], std::string(74, '#'));
    const auto one = IndexOf(lines, "|#LNI#|early one");
    const auto two = IndexOf(lines, "|#LNI#|early two");
    const auto init = IndexOf(lines, "|#LNI#|[Logger::Init]<<LOGGER INIT>>");
    const auto after = IndexOf(lines, "}:after init");
    EXPECT_EQ(one, 3);
    EXPECT_EQ(two, 4);
    EXPECT_GT(init, two);
    EXPECT_EQ(after, static_cast<std::ptrdiff_t>(lines.size()) - 1);
    EXPECT_EQ(lines[static_cast<std::size_t>(one)], "|#LNI#|early one");
}

TEST_F(LoggerTest, DeferredLineWaitsForTheNextDirectLine) {
    ASSERT_TRUE(StartLogger());
    Logger::Info("first");
    Logger::DebugDeferred("deferred");
    Logger::InternalDeferred("below threshold");
    EXPECT_EQ(FileText().find("deferred"), std::string::npos);

    Logger::Info("second");
    const auto lines = Lines(FileText());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("{DEBUG}:deferred"), std::string::npos);
    EXPECT_NE(lines.back().find("}:second"), std::string::npos);
    EXPECT_EQ(FileText().find("below threshold"), std::string::npos);
}

TEST_F(LoggerTest, LongMessageIsCut) {
    ASSERT_TRUE(StartLogger());
    Logger::Info(std::string(50000, 'x') + "END");
    const auto lines = Lines(FileText());
    const std::string& last = lines.back();
    const auto start = last.find("}:");
    ASSERT_NE(start, std::string::npos);
    EXPECT_EQ(last.size() - start - 2, 40960u);
    EXPECT_EQ(last.find("END"), std::string::npos);
}

TEST_F(LoggerTest, DayChangeStartsANewFileWithAHeader) {
    vl_test::ScopedEnv tz("TZ", "UTC");
    platform::ReloadTimeZone();
    // 2024-05-17 23:59:59 UTC, then two seconds later.
    std::int64_t now = 1715990399LL * 10'000'000;
    Logger::SetClockForTests([&now] { return now; });
    ASSERT_TRUE(StartLogger());
    Logger::Info("before midnight");
    const std::string first = Logger::CurrentFilePath();
    now += 2LL * 10'000'000;
    Logger::Info("after midnight");
    const std::string second = Logger::CurrentFilePath();
    Logger::SetClockForTests(nullptr);

    EXPECT_NE(first.find("qvy_log_file_2024_05_17.txt"), std::string::npos);
    EXPECT_NE(second.find("qvy_log_file_2024_05_18.txt"), std::string::npos);
    const auto lines = Lines(vl_test::ReadFile(second));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], std::string(74, '#'));
    EXPECT_EQ(lines[1].rfind("LOGGER_UNDER_TEST[2024_05_18-000001", 0), 0u) << lines[1];
    EXPECT_NE(lines[3].find("[Logger::WriteMsg]New logger file path : " + second),
              std::string::npos);
    EXPECT_NE(lines[4].find("<2024_05_18-000001.000"), std::string::npos);
    EXPECT_EQ(vl_test::ReadFile(first).find("after midnight"), std::string::npos);
    platform::ReloadTimeZone();
}

// A log file that cannot be prepared does not stop the logger: it runs without its file,
// and the file is opened again, once a second, until it can be written.
TEST_F(LoggerTest, FailedInitRunsWithoutTheFileUntilItCanBeOpened) {
    std::int64_t now = 1715990000LL * 10'000'000;
    Logger::SetClockForTests([&now] { return now; });
    const std::string blocked = dir_.Path("blocked/LOGGER_UNDER_TEST");
    vl_test::WriteFile(blocked, "a file where the log folder should be");
    Config::Init(dir_.Path("no-such.conf"));
    EXPECT_FALSE(Logger::Init("LOGGER_UNDER_TEST", dir_.Path("blocked"), "qvy_log_file"));
    Logger::Info("lost");

    std::filesystem::remove(blocked);
    now += 2LL * 10'000'000;
    Logger::Info("kept");
    const std::string text = FileText();
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_EQ(text.rfind(std::string(74, '#'), 0), 0u);
    EXPECT_NE(text.find("[Logger::WriteMsg]The log file can be written again; 1 lines were "
                        "dropped"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("}:kept"), std::string::npos);
}

TEST_F(LoggerTest, ReInitMovesToTheNewFolder) {
    ASSERT_TRUE(StartLogger());
    Logger::Info("in first");
    const std::string first = Logger::CurrentFilePath();
    ASSERT_TRUE(Logger::Init("OTHER", dir_.Path("logs2"), "other"));
    Logger::Info("in second");
    EXPECT_NE(Logger::CurrentFilePath(), first);
    EXPECT_EQ(vl_test::ReadFile(first).find("in second"), std::string::npos);
    const std::string text = FileText();
    EXPECT_NE(text.find("[Logger::Init]--||LOGGER RE-INIT||--"), std::string::npos);
    EXPECT_NE(text.find("}:in second"), std::string::npos);
}

TEST_F(LoggerTest, InitKeepsTenFilesInTheLogFolder) {
    const std::string folder = dir_.Path("logs/LOGGER_UNDER_TEST");
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(48);
    for (int i = 0; i < 12; ++i) {
        const std::string path = ToolBox::JoinPath(folder, "old_" + std::to_string(i) + ".txt");
        vl_test::WriteFile(path, "x");
        std::filesystem::last_write_time(path, old + std::chrono::minutes(i));
    }
    ASSERT_TRUE(StartLogger());
    std::vector<std::string> names;
    ASSERT_TRUE(ToolBox::File::List(folder, names));
    EXPECT_EQ(names.size(), 10u);
    EXPECT_FALSE(ToolBox::PathExists(ToolBox::JoinPath(folder, "old_0.txt")));
    EXPECT_FALSE(ToolBox::PathExists(ToolBox::JoinPath(folder, "old_2.txt")));
    EXPECT_TRUE(ToolBox::PathExists(ToolBox::JoinPath(folder, "old_3.txt")));
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    ASSERT_TRUE(StartLogger());
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                std::string message = "T";
                message.append(std::to_string(t)).append(" line ").append(std::to_string(i));
                Logger::Info(message.append(200, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const std::regex shape(R"(<[^>]+>\(\d+\)\{INFO \}:T(\d) line \d+([a-d])\2{199})");
    int count = 0;
    for (const auto& line : Lines(FileText())) {
        if (line.find("{INFO }:T") == std::string::npos) {
            continue;
        }
        ++count;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 120);
        EXPECT_EQ(m[2].str()[0], 'a' + (m[1].str()[0] - '0'));
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// The day's file is opened again when it was removed or renamed under the daemon.
TEST_F(LoggerTest, RemovedOrRenamedFileIsStartedAgain) {
    for (const bool rename : {false, true}) {
        SCOPED_TRACE(rename ? "renamed" : "removed");
        vl_test::ResetInfrastructure();
        std::int64_t now = 1715990000LL * 10'000'000;
        Logger::SetClockForTests([&now] { return now; });
        ASSERT_TRUE(StartLogger());
        Logger::Info("first");
        const std::string path = Logger::CurrentFilePath();
        if (rename) {
            std::filesystem::rename(path, path + ".old");
        } else {
            std::filesystem::remove(path);
        }
        now += 2LL * 10'000'000;
        Logger::Info("second");
        const auto lines = Lines(vl_test::ReadFile(path));
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[0], std::string(74, '#'));
        EXPECT_NE(lines.back().find("}:second"), std::string::npos);
        EXPECT_EQ(IndexOf(lines, "}:first"), -1);
        if (rename) {
            EXPECT_EQ(vl_test::ReadFile(path + ".old").find("second"), std::string::npos);
        }
        std::filesystem::remove_all(dir_.Path("logs"));
    }
}

// A day's file stops at its cap with one note, and the next day's file takes lines again.
TEST_F(LoggerTest, DayFileStopsAtItsCapUntilTheNextDay) {
    vl_test::ScopedEnv tz("TZ", "UTC");
    platform::ReloadTimeZone();
    std::int64_t now = 1715990000LL * 10'000'000;
    Logger::SetClockForTests([&now] { return now; });
    Logger::SetFileCapForTests(8192);
    ASSERT_TRUE(StartLogger());
    for (int i = 0; i < 200; ++i) {
        Logger::Info("line " + std::to_string(i) + std::string(100, 'x'));
    }
    const std::string first = Logger::CurrentFilePath();
    const std::string text = vl_test::ReadFile(first);
    EXPECT_LE(text.size(), 8192u + 512u);
    const auto lines = Lines(text);
    EXPECT_NE(lines.back().find("{WARN }:[Logger::WriteMsg]The log file reached its cap of 8192 "
                                "bytes : lines are dropped until the next day"),
              std::string::npos)
        << lines.back();
    EXPECT_EQ(IndexOf(lines, "reached its cap"), static_cast<std::ptrdiff_t>(lines.size()) - 1);

    now += 24LL * 3600 * 10'000'000;
    Logger::Info("next day");
    EXPECT_NE(Logger::CurrentFilePath(), first);
    EXPECT_NE(FileText().find("}:next day"), std::string::npos);
    platform::ReloadTimeZone();
}

// Folders 0750 and files 0640 of the administrators' group: a file left readable by everyone
// is closed to them too.
TEST_F(LoggerTest, FilesAreReadableByTheirGroupOnly) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the files to a group";
    }
    std::int64_t now = 1715990000LL * 10'000'000;
    Logger::SetClockForTests([&now] { return now; });
    const std::string folder = dir_.Path("logs/LOGGER_UNDER_TEST");
    const std::string today = ToolBox::FormatTime(now, false, false, "%Y_%m_%d");
    const std::string old = ToolBox::JoinPath(folder, "qvy_log_file_" + today + ".txt");
    vl_test::WriteFile(old, "an older line\n");
    ::chmod(folder.c_str(), 0755);
    ::chmod(old.c_str(), 0644);
    ASSERT_TRUE(StartLogger());
    Logger::Info("line");

    const group* adm = ::getgrnam("adm");
    ASSERT_NE(adm, nullptr);
    struct Case {
        std::string path;
        mode_t mode;
    };
    for (const Case& c : {Case{folder, 0750}, Case{old, 0640}}) {
        SCOPED_TRACE(c.path);
        struct stat info {};
        ASSERT_EQ(::stat(c.path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        EXPECT_EQ(info.st_gid, adm->gr_gid);
    }
}

// On a full disk the daemon goes on without its file: whole lines or none, one report of
// the failure, ERROR lines in the event log, and the file resumes when space returns.
TEST_F(LoggerTest, FullDiskKeepsWholeLinesReportsOnceAndResumes) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    vl_test::SmallDisk disk(dir_.Path("disk"), 256);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    vl_test::SyslogSink sink(dir_.Path("syslog.sock"));
    vl_test::ScopedEnv syslog("QVYLD_SYSLOG_SOCKET", sink.Path());
    std::int64_t now = 1715990000LL * 10'000'000;
    Logger::SetClockForTests([&now] { return now; });
    Config::Init(dir_.Path("no-such.conf"));
    ASSERT_TRUE(Logger::Init("LOGGER_UNDER_TEST", dir_.Path("disk"), "qvy_log_file"));
    Logger::Info("before");
    disk.Fill();
    // Short lines use up what the file's last page still holds (it depends on the lengths of
    // the lines before), so that no later, longer line fits and the disk stays full for it.
    for (int i = 0; i < 200; ++i) {
        Logger::Info("p");
    }
    for (int i = 0; i < 50; ++i) {
        Logger::Info("while full " + std::to_string(i) + std::string(300, 'x'));
        if (i >= 20 && i % 10 == 0) {
            Logger::Error("error while full " + std::to_string(i));
        }
    }
    disk.Free();
    now += 2LL * 10'000'000;
    Logger::Info("after");

    const std::regex whole(R"(<[^>]+>\(\d+\)\{[A-Z ]{5,8}\}:.*)");
    const auto lines = Lines(FileText());
    for (const std::string& line : lines) {
        if (line.find("}:while full") != std::string::npos) {  // not the ERROR lines
            EXPECT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
            EXPECT_EQ(line.substr(line.size() - 300), std::string(300, 'x'));
        }
    }
    EXPECT_NE(IndexOf(lines, "The log file can be written again;"), -1);
    EXPECT_NE(lines.back().find("}:after"), std::string::npos);
    const std::string records = sink.Received();
    std::size_t reports = 0;
    for (std::size_t at = 0;
         (at = records.find("Cannot write the log file", at)) != std::string::npos; ++at) {
        ++reports;
    }
    EXPECT_EQ(reports, 1u) << records;
    for (int i = 20; i < 50; i += 10) {
        EXPECT_NE(records.find("}:error while full " + std::to_string(i) + "\n"), std::string::npos)
            << i;
    }
}

}  // namespace
