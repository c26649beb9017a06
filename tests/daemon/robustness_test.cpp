// Black-box tests of the daemon under bad luck: damaged state, a full log disk, the log's
// readers and its copy on standard output.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "daemon/daemon_process.h"
#include "sessions/session_fixtures.h"
#include "support/checks.h"

namespace vl_test {
namespace {

namespace fs = std::filesystem;

constexpr int kStopLimitMs = 5000;

// A damaged pointer file or folder save file is reported as an ERROR in the log and in the
// event log; the daemon falls back (to the common data folder, to the default folders) and
// serves.
TEST(DaemonDamagedState, FallsBackAndKeepsServing) {
    struct Case {
        const char* what;
        std::string pointer;  // the line of "pdata.ptr"; empty: the site's own
        std::string save;     // "faf_manager.save"; empty: none
        const char* error;
        bool commonData;  // the data folder falls back to the common data folder
    };
    const std::string loop =
        R"({"LOG": {"baseItem": "ICON", "baseString": null, "relative": "logs"},)"
        R"( "ICON": {"baseItem": "LOG", "baseString": null, "relative": "Icon"}})";
    const Case cases[] = {
        {"a number for LOG", "", R"({"LOG": 5})",
         "[FileAndFoldersManager::Load] Skipped the entry of LOG in ", false},
        {"two entries in a loop", "", loop,
         "[FileAndFoldersManager::Load] Skipped the entry of ICON in ", false},  // LOG moves
        {"a 1,000-character line", "/" + std::string(999, 'd'), "",
         "[FileAndFoldersManager::Init]Ignored the pointer file ", true},
        {"a relative line", "relative/data", "",
         "[FileAndFoldersManager::Init]Ignored the pointer file ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonSite site;
        if (!c.pointer.empty()) {
            WriteFile(site.Path("pdata.ptr"), c.pointer + "\n");
        }
        if (!c.save.empty()) {
            WriteFile(site.MainData() + "/InternalData/faf_manager.save", c.save);
        }
        SyslogSink sink(site.Path("syslog.sock"));
        const std::string common = site.Path("common");
        DaemonProcess daemon(site, {sink.Environment(), "QVYLD_COMMON_DATA_DIR=" + common});
        ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();

        const std::string mainData =
            c.commonData ? common + "/Quorvanti/VantaroLauncher" : site.MainData();
        const std::string log = LogsBelow(mainData);
        EXPECT_NE(log.find(std::string("{ERROR}:") + c.error), std::string::npos) << log;
        EXPECT_NE(sink.Received().find(c.error), std::string::npos) << sink.Received();
        int exitCode = -1;
        ASSERT_TRUE(daemon.Terminate(exitCode, kStopLimitMs));
        EXPECT_EQ(exitCode, 0);
    }
}

// A log disk that is full at the start: the daemon serves without its file, reports it to
// the event log, and takes the file up again once there is space.
TEST(DaemonLogDisk, FullAtStartKeepsServingAndResumes) {
    DaemonSite site;
    SmallDisk disk(site.MainData() + "/logs", 64);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    disk.Fill();
    SyslogSink sink(site.Path("syslog.sock"));
    DaemonProcess daemon(site, {sink.Environment()});
    ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();
    EXPECT_NE(sink.Received().find("Fail to write the header in this file"), std::string::npos)
        << sink.Received();

    disk.Free();
    EXPECT_TRUE(WaitUntil(
        [&] {
            site.Client().Fetch({"POST", site.HttpsUrl("getVersion")});
            return site.Log().find("}:[Logger::WriteMsg]The log file can be written again") !=
                   std::string::npos;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(200)))
        << site.Log();
    int exitCode = -1;
    ASSERT_TRUE(daemon.Terminate(exitCode, kStopLimitMs));
    EXPECT_EQ(exitCode, 0);
}

// The daemon's logs are for the administrators' group: another local user reads none of
// them, though the folders above are open to everyone.
TEST(DaemonLogAccess, OtherUsersCannotReadTheLogs) {
    sessions_test::ThrowawayUser user;
    const std::string why = user.Create();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    DaemonSite site;
    ::chmod(site.Dir().Path().c_str(), 0755);
    DaemonProcess daemon(site);
    ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();

    const std::string folder = site.MainData() + "/logs/VantaroLauncher_service";
    std::string file;
    for (const auto& entry : fs::directory_iterator(fs::path(folder))) {
        file = entry.path().string();
    }
    ASSERT_FALSE(file.empty());
    const group* adm = ::getgrnam("adm");
    ASSERT_NE(adm, nullptr);
    struct Case {
        std::string path;
        mode_t mode;
    };
    for (const Case& c :
         {Case{site.MainData() + "/logs", 0750}, Case{folder, 0750}, Case{file, 0640}}) {
        SCOPED_TRACE(c.path);
        struct stat info {};
        ASSERT_EQ(::stat(c.path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        EXPECT_EQ(info.st_uid, 0u);
        EXPECT_EQ(info.st_gid, adm->gr_gid);
    }
    const auto readAs = [&user](const std::string& path) {
        const std::string command =
            "runuser -u " + user.Name() + " -- cat '" + path + "' >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    };
    EXPECT_TRUE(readAs(site.Path("serv.domain")));  // the way there is open
    EXPECT_FALSE(readAs(file));
    int exitCode = -1;
    ASSERT_TRUE(daemon.Terminate(exitCode, kStopLimitMs));
}

// Standard output gets a copy of the log only outside a service manager, and then in whole
// lines that a kill does not cut or lose.
TEST(DaemonStandardOutput, CopyOnlyOutsideAServiceManagerInWholeLines) {
    struct Case {
        const char* what;
        std::vector<std::string> environment;
        bool copied;
    };
    const Case cases[] = {
        {"console", {"QVYLD_LOG_STDOUT="}, true},
        {"journal", {"QVYLD_LOG_STDOUT=", "JOURNAL_STREAM=8:4242"}, false},
        {"service", {"QVYLD_LOG_STDOUT=", "NOTIFY_SOCKET=/nonexistent/notify"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonSite site;
        DaemonProcess daemon(site, c.environment);
        ASSERT_TRUE(daemon.WaitUntilServing()) << daemon.Output();
        site.Client().Fetch({"POST", site.HttpsUrl("getVersion")});
        ::kill(daemon.Pid(), SIGKILL);
        int exitCode = -1;
        ASSERT_TRUE(daemon.WaitForExit(exitCode, kStopLimitMs));

        // The request's lines, the last ones before the kill, are there whole.
        const std::string output = daemon.Output();
        EXPECT_EQ(output.find("[WinHttpServer::Run]") != std::string::npos, c.copied) << output;
        EXPECT_EQ(output.find("getVersion") != std::string::npos, c.copied);
        EXPECT_TRUE(output.empty() || output.back() == '\n');
    }
}

}  // namespace
}  // namespace vl_test
