// Launches and shortcuts through the real daemon and worker, for a throwaway session user,
// with the simulated product in the sample installations.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "platform/image_codec.h"
#include "platform/process.h"
#include "sessions/user_manager_standin.h"
#include "support/checks.h"
#include "support/site/user_site.h"

namespace {

using vl_test::Json;
using vl_test::UserSite;

class LaunchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        site_ = vl_test::UserSite::Get(why, {"LOGLEVEL=info"});
        if (site_ == nullptr) {
            GTEST_SKIP() << why;
        }
    }

    // Design is the parameters that find the sample design installation, then more.
    static std::string Design(const std::string& more) {
        return R"({"level": "L24.4", "exeName": "designstudio")" + more + "}";
    }

    std::string Report(const std::string& name) const { return site_->UserFolder() + "/" + name; }
    // LaunchWaitingApp starts the application through "startZ5" so that it stays for two
    // minutes, and returns what it reported to the file.
    std::map<std::string, std::string> LaunchWaitingApp(const std::string& report) {
        const vl_test::DaemonAnswer answer = site_->Call(
            "startZ5", Design(R"(, "envString": {"SIM_APP_WAIT_MS": 120000, "SIM_APP_REPORT": )" +
                              Json(report) + "}"));
        EXPECT_EQ(answer.returnCode, 0) << site_->Log();
        return answer.returnCode == 0 ? vl_test::WaitForReport(report)
                                      : std::map<std::string, std::string>{};
    }

    UserSite* site_ = nullptr;
};

TEST_F(LaunchTest, StartsTheApplicationAsTheSessionUserWithItsArgumentsAndEnvironment) {
    const std::string report = Report("first.txt");
    const vl_test::DaemonAnswer answer = site_->Call(
        "startZ5",
        Design(
            R"(, "argString": "a \"b c\" x\\y", "fileArgStrings": [{"name": "-f", "content": "hello"}],)"
            R"( "envString": {"SIM_APP_REPORT": )" +
            Json(report) + R"(, "DEMO_VAR": "v 1", "COUNT": 3, "BAD NAME": "x"})"));
    ASSERT_EQ(answer.returnCode, 0) << answer.commentary << site_->Log();

    std::map<std::string, std::string> seen = vl_test::WaitForReport(report);
    EXPECT_EQ(seen["user"], site_->UserName());
    EXPECT_EQ(seen["argc"], "5");
    EXPECT_EQ(seen["arg1"], "a");
    EXPECT_EQ(seen["arg2"], "b c");
    EXPECT_EQ(seen["arg3"], "x\\y");
    EXPECT_EQ(seen["arg4"], "-f");
    EXPECT_EQ(vl_test::ReadFile(seen["arg5"]), "hello\n");
    EXPECT_EQ(seen["env:DEMO_VAR"], "v 1");
    EXPECT_EQ(seen["env:COUNT"], "3");
    EXPECT_EQ(seen.count("env:BAD NAME"), 0u);
    EXPECT_EQ(seen["env:VRK_PRODUCT"], "L24_Design");  // from the reference environment file
    EXPECT_EQ(seen["env:HOME"], site_->Home());        // the session's own environment
    EXPECT_FALSE(seen["cgroup"].empty());
}

TEST_F(LaunchTest, ASecondLaunchWaitsForTheFirstButAShortcutDoesNot) {
    const std::string report = Report("slow.txt");
    auto first = std::async(std::launch::async, [&] {
        return site_->Call("startZ5", Design(R"(, "envString": {"SIM_START_DELAY_MS": 2500, )"
                                             R"("SIM_APP_REPORT": )" +
                                             Json(report) + "}"));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(site_->Call("startZ5install", Design("")).returnCode, 109);
    EXPECT_EQ(site_->Call("createShortcut", Design(R"(, "scName": "While Busy")")).returnCode, 0)
        << site_->Log();
    EXPECT_EQ(first.get().returnCode, 0);
    EXPECT_EQ(site_->Call("startZ5", Design("")).returnCode, 0);  // the lock was released
}

// Alive tells whether the process runs (not ended, not a zombie).
bool Alive(pid_t pid) {
    const char state = vl_test::ProcessState(pid);
    return state != 0 && state != 'Z';
}

std::vector<pid_t> WorkersOf(unsigned uid) {
    return vl_test::ProgramsOf(uid, "VantaroLauncherGUI");
}

// TrayOf waits up to five seconds for the user's one tray program.
std::optional<pid_t> TrayOf(unsigned uid) {
    std::vector<pid_t> trays;
    return vl_test::WaitUntil(
               [&] {
                   return (trays = vl_test::ProgramsOf(uid, "VantaroLauncherSysTray")).size() == 1;
               },
               std::chrono::seconds(5), std::chrono::milliseconds(50))
               ? std::optional<pid_t>(trays.front())
               : std::nullopt;
}

// Every request starts the tray in the user's session unless the session's tray answers:
// one that has gone is started again, one that runs is kept.
TEST_F(LaunchTest, ARequestStartsTheTrayOnlyWhenNoneRuns) {
    ASSERT_EQ(site_->Call("startZ5", Design("")).returnCode, 0);
    const std::optional<pid_t> first = TrayOf(site_->UserId());
    ASSERT_TRUE(first) << site_->Log();
    ::kill(*first, SIGKILL);
    while (Alive(*first)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(site_->Call("startZ5", Design("")).returnCode, 0);
    const std::optional<pid_t> again = TrayOf(site_->UserId());
    ASSERT_TRUE(again) << site_->Log();
    EXPECT_NE(*again, *first);
    ASSERT_EQ(site_->Call("startZ5", Design("")).returnCode, 0);
    EXPECT_EQ(TrayOf(site_->UserId()), again);
}

// The start tool and the application are handed over to the user's session: stopping the
// daemon, which stops its workers, leaves the application running, and so does starting
// the daemon again. The start tool is still waited for: its failure is the launch's.
TEST_F(LaunchTest, TheApplicationOutlivesTheWorkerAndTheDaemon) {
    const std::string report = Report("survivor.txt");
    std::map<std::string, std::string> seen = LaunchWaitingApp(report);
    ASSERT_FALSE(seen["pid"].empty());
    const pid_t app = std::stoi(seen["pid"]);
    ASSERT_FALSE(WorkersOf(site_->UserId()).empty());

    ASSERT_TRUE(site_->RestartDaemon()) << site_->Log();
    EXPECT_TRUE(WorkersOf(site_->UserId()).empty()) << "the workers end with the daemon";
    EXPECT_TRUE(Alive(app)) << "the application must outlive the worker and the daemon";
    EXPECT_EQ(site_->Call("startZ5", Design("")).returnCode, 0) << site_->Log();
    EXPECT_TRUE(Alive(app));
    ::kill(app, SIGKILL);

    // The start tool's exit code still comes back: one that loses its application fails.
    const std::string bin = site_->Design() + "/linux_a64/code/bin/";
    std::filesystem::copy_file(bin + "designstudio", bin + "vanishing");
    auto lost = std::async(std::launch::async, [&] {
        return site_->Call("startZ5", R"({"level": "L24.4", "exeName": "vanishing",)"
                                      R"( "envString": {"SIM_START_DELAY_MS": 2500}})");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    std::filesystem::remove(bin + "vanishing");
    EXPECT_EQ(lost.get().returnCode, 127);
}

// UserBus is a bus at the user's /run/user/UID/bus, as a desktop login gives one, for its
// scope: the folder is the user's, and the bus lets the user and root (the stand-in of the
// user's manager) connect.
class UserBus {
  public:
    UserBus(unsigned uid, const vl_test::TempDir& dir)
        : runtime_("/run/user/" + std::to_string(uid)), config_(dir.Path("user-bus.conf")) {
        std::filesystem::create_directories(runtime_);
        [[maybe_unused]] const int owned = ::chown(runtime_.c_str(), uid, uid);
        ::chmod(runtime_.c_str(), 0700);
        vl_test::WriteFile(config_,
                           "<busconfig><type>session</type><listen>unix:path=" + runtime_ +
                               "/bus</listen><auth>EXTERNAL</auth>"
                               "<policy context=\"default\"><allow user=\"*\"/>"
                               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                               "<allow own=\"*\"/>"
                               "</policy></busconfig>");
    }
    ~UserBus() {
        process_.Terminate(1);
        std::uint32_t code = 0;
        process_.Wait(10000, code);
        std::filesystem::remove_all(runtime_);
    }
    UserBus(const UserBus&) = delete;
    UserBus& operator=(const UserBus&) = delete;

    // Start starts the bus; true once its socket is there.
    bool Start() {
        if (platform::LaunchAsSelf(
                {"dbus-daemon", "--config-file=" + config_, "--nofork", "--nopidfile"}, nullptr,
                process_) != 0) {
            return false;
        }
        const std::string socket = runtime_ + "/bus";
        return vl_test::WaitUntil([&] { return std::filesystem::exists(socket); }) &&
               ::chmod(socket.c_str(), 0777) == 0;
    }
    std::string Address() const { return "unix:path=" + runtime_ + "/bus"; }

  private:
    std::string runtime_;
    std::string config_;
    platform::ProcessHandle process_;
};

// With a user manager on the user's bus (a stand-in here), the worker hands the start tool
// to it as a transient service that it holds (AddRef) and waits for; the application runs
// as the user with the manager's environment, and outlives the daemon.
TEST_F(LaunchTest, WithAUserManagerTheStartToolBecomesAUserService) {
    vl_test::TempDir dir;
    std::optional<UserBus> bus;
    bus.emplace(site_->UserId(), dir);
    if (!bus->Start()) {
        GTEST_SKIP() << "dbus-daemon is not installed";
    }
    sessions_test::ManagerStandIn manager;
    manager.runPrograms = true;
    ASSERT_TRUE(manager.Start(bus->Address()));
    ASSERT_TRUE(site_->RestartDaemon()) << "a new worker, which sees the bus";

    const std::string report = Report("through-manager.txt");
    std::map<std::string, std::string> seen = LaunchWaitingApp(report);
    EXPECT_EQ(seen["user"], site_->UserName());
    EXPECT_EQ(seen["env:DISPLAY"], ":42") << "the manager's environment";
    const std::vector<sessions_test::RecordedUnit> calls = manager.Calls();
    const std::string tool = site_->Design() + "/linux_a64/code/bin/VRKSTART";
    const auto call = std::find_if(calls.begin(), calls.end(), [&](const auto& c) {
        return !c.execStart.empty() && c.execStart[0] == tool;
    });
    ASSERT_NE(call, calls.end()) << "the start tool was not handed to the manager";
    EXPECT_EQ(call->texts.at("AddRef"), "yes");
    ASSERT_FALSE(seen["pid"].empty());
    const pid_t app = std::stoi(seen["pid"]);

    ASSERT_TRUE(site_->RestartDaemon()) << site_->Log();
    EXPECT_TRUE(Alive(app));
    ::kill(app, SIGKILL);
    bus.reset();
    EXPECT_TRUE(site_->RestartDaemon()) << "later tests take the fallback again";
}

// Refusals, each the first failure the launch meets, in the launch's order of checks.
TEST_F(LaunchTest, RefusesEachFaultWithItsCode) {
    const std::string broken = site_->Installs() + "/Broken";
    const std::string bin = broken + "/linux_a64/code/bin";
    std::filesystem::create_directories(bin);
    const std::string app = std::string(VL_BIN_DIR) + "/vl_product_sim_app";
    std::filesystem::copy_file(app, bin + "/app", std::filesystem::copy_options::skip_existing);
    std::filesystem::copy_file(app, bin + "/python", std::filesystem::copy_options::skip_existing);
    vl_test::WriteFile(site_->Design() + "/linux_a64/code/bin/notexec", "not a program\n");
    ::symlink("/bin/true", (bin + "/escape").c_str());
    const std::string at = R"({"installPath": )" + Json(broken) + R"(, "osds": "linux_a64", )";

    const struct {
        const char* function;
        std::string params;
        int code;
    } cases[] = {
        {"startZ5", R"({"level": "L99", "exeName": "designstudio"})", 120},
        {"startZ5", R"({"exeName": "designstudio"})", 121},
        {"startZ5", Design(R"(, "argString": "a\nb")"), 2},
        {"startZ5", Design(R"(, "dirEnv": "/nonexistent", "vrkEnvFileName": "e.txt")"), 141},
        {"startZ5", at + R"("exeName": "app", "envString": {}})", 129},
        {"startZ5", Design(R"(, "fileArgStrings": "x")"), 136},
        {"startZ5", Design(R"(, "fileArgStrings": [{"name": "../x", "content": "c"}])"), 137},
        {"startZ5", Design(R"(, "nativeLauncherName": "xyz")"), 124},
        {"startZ5", at + R"("exeName": "missing", "nativeLauncherName": "NONE"})", 125},
        {"startZ5", at + R"("exeName": "missing"})", 133},
        {"startZ5", at + R"("exeName": "../../../../../../bin/true"})", 133},
        {"startZ5", at + R"("exeName": "/bin/true"})", 133},
        {"startZ5", at + R"("exeName": "escape"})", 133},
        {"startZ5", at + R"("exeName": "python"})", 134},
        {"startZ5", R"({"level": "L24.4", "exeName": "VRKSTART"})", 134},
        {"startZ5", at + R"("exeName": "app"})", 126},
        {"startZ5", R"({"level": "L24.4", "exeName": "notexec"})", 127},
        {"createShortcut", Design(R"(, "scName": "")"), 128},
        {"createShortcut", Design(R"(, "scName": "X", "iconRelPath": "nothere")"), 138},
        {"createShortcut", Design(R"(, "scName": "X", "iconRelPath": "data:image/png;base64,")"),
         138},
        {"createShortcut",
         Design(R"(, "scName": "X", "iconRelPath": "data:image/png;base64,AAAA")"), 138},
        {"createShortcut", Design(R"(, "scName": "X", "iconRelPath": "data:image/png;base64,#!*")"),
         138},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(site_->Call(c.function, c.params).returnCode, c.code) << c.params;
    }
}

std::string Base64(const std::vector<std::uint8_t>& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int size = ::EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(size));
    return text;
}

TEST_F(LaunchTest, AShortcutWithAnInlineIconLandsOnTheUsersDesktop) {
    platform::RgbaImage image{300, 150, std::vector<std::uint8_t>(300 * 150 * 4, 200)};
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(platform::EncodePng(image, png));
    const vl_test::DaemonAnswer answer = site_->Call(
        "createShortcutFromZ5Install",
        Design(R"(, "scName": "Design Studio", "scDesc": "Opens it", "argString": "-p 1",)"
               R"( "iconRelPath": "data:image/png;base64,)" +
               Base64(png) + "\""));
    ASSERT_EQ(answer.returnCode, 0) << site_->Log();

    const std::string entry = vl_test::ReadFile(site_->Home() + "/Desktop/Design Studio.desktop");
    EXPECT_NE(
        entry.find("Exec=" + site_->Design() + "/linux_a64/code/bin/VRKSTART -run designstudio"),
        std::string::npos)
        << entry;
    EXPECT_NE(entry.find("-object \"-p 1\" -nowindow"), std::string::npos) << entry;
    const std::size_t icon = entry.find("Icon=");
    ASSERT_NE(icon, std::string::npos);
    const std::string pngPath = entry.substr(icon + 5, entry.find('\n', icon) - icon - 5);
    ASSERT_EQ(pngPath.substr(pngPath.size() - 4), ".png");
    const std::string ico = vl_test::ReadFile(pngPath.substr(0, pngPath.size() - 4) + ".ico");
    ASSERT_EQ(ico.size(), 22u + 40 + 256 * 128 * 4 + 32 * 128);  // colours, then the mask
    EXPECT_EQ(static_cast<unsigned char>(ico[6]), 0u);           // 256 wide
    EXPECT_EQ(static_cast<unsigned char>(ico[7]), 128u);
    if (::access("/usr/bin/gdk-pixbuf-pixdata", X_OK) == 0) {
        // Its output goes to a file of ours: it replaces the file it writes by renaming, which
        // would turn /dev/null into a plain file.
        const std::string decode = "gdk-pixbuf-pixdata '" + pngPath.substr(0, pngPath.size() - 4) +
                                   ".ico' '" + pngPath + ".pixdata' >/dev/null 2>&1";
        EXPECT_EQ(std::system(decode.c_str()), 0) << "a decoder cannot read the icon file";
    }
}

}  // namespace
