// Programs handed over to the user's service manager, against a stand-in of the manager on a
// private bus that the test starts (this machine has no systemd to ask).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "session_fixtures.h"
#include "support/test_support.h"

namespace {

// Recorded is one StartTransientUnit call as the stand-in understood it.
struct Recorded {
    std::string name;
    std::map<std::string, std::string> texts;  // "s" and "b" properties
    std::vector<std::string> execStart;        // path, then argv
    std::vector<std::string> environment;
};

std::vector<std::string> ReadStrings(sd_bus_message* m) {
    char** list = nullptr;
    std::vector<std::string> values;
    if (sd_bus_message_read_strv(m, &list) >= 0) {
        for (char** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
            values.emplace_back(*entry);
            std::free(*entry);
        }
        std::free(list);
    }
    return values;
}

void ReadExecStart(sd_bus_message* m, Recorded& call) {
    const char* path = nullptr;
    int ignore = 0;
    sd_bus_message_enter_container(m, 'v', "a(sasb)");
    sd_bus_message_enter_container(m, 'a', "(sasb)");
    sd_bus_message_enter_container(m, 'r', "sasb");
    sd_bus_message_read(m, "s", &path);
    call.execStart = ReadStrings(m);
    call.execStart.insert(call.execStart.begin(), path != nullptr ? path : "");
    sd_bus_message_read(m, "b", &ignore);
    for (int i = 0; i < 3; ++i) {
        sd_bus_message_exit_container(m);
    }
}

// ReadProperty reads one "(sv)" of the call into call.
void ReadProperty(sd_bus_message* m, Recorded& call) {
    const char* name = nullptr;
    sd_bus_message_read(m, "s", &name);
    const std::string key = name != nullptr ? name : "";
    char type = 0;
    const char* contents = nullptr;
    sd_bus_message_peek_type(m, &type, &contents);
    const std::string signature = contents != nullptr ? contents : "";
    if (key == "ExecStart") {
        ReadExecStart(m, call);
    } else if (signature == "as") {
        sd_bus_message_enter_container(m, 'v', "as");
        call.environment = ReadStrings(m);
        sd_bus_message_exit_container(m);
    } else if (signature == "s") {
        const char* value = nullptr;
        sd_bus_message_read(m, "v", "s", &value);
        call.texts[key] = value != nullptr ? value : "";
    } else if (signature == "b") {
        int value = 0;
        sd_bus_message_read(m, "v", "b", &value);
        call.texts[key] = value != 0 ? "yes" : "no";
    } else {
        sd_bus_message_skip(m, "v");
    }
}

// StandIn owns org.freedesktop.systemd1 on the bus, answers the Environment property and
// records StartTransientUnit calls; with refuseExitType it refuses that setting, as older
// managers do.
class StandIn {
  public:
    std::vector<std::string> environment = {"DISPLAY=:42", "XAUTHORITY=/tmp/vl-xauth",
                                            "WAYLAND_DISPLAY=wayland-9"};
    std::atomic<bool> refuseExitType{false};

    // Start connects (the bus may still be starting: retried for a while) and serves.
    bool Start(const std::string& address) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!Connect(address)) {
            bus_ = sd_bus_flush_close_unref(bus_);
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        thread_ = std::thread([this] {
            while (!stop_) {
                if (sd_bus_process(bus_, nullptr) == 0) {
                    sd_bus_wait(bus_, 50'000);
                }
            }
        });
        return true;
    }
    ~StandIn() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        sd_bus_flush_close_unref(bus_);
    }
    std::vector<Recorded> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

  private:
    bool Connect(const std::string& address) {
        return sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
               sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
               sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1",
                                        "org.freedesktop.systemd1.Manager", kVtable, this) >= 0 &&
               sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) >= 0;
    }

    static int OnStart(sd_bus_message* m, void* data, sd_bus_error* error) {
        auto* self = static_cast<StandIn*>(data);
        Recorded call;
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(m, "ss", &name, &mode);
        call.name = name != nullptr ? name : "";
        sd_bus_message_enter_container(m, 'a', "(sv)");
        while (sd_bus_message_enter_container(m, 'r', "sv") > 0) {
            ReadProperty(m, call);
            sd_bus_message_exit_container(m);
        }
        std::lock_guard lock(self->mutex_);
        self->calls_.push_back(call);
        if (self->refuseExitType && call.texts.count("ExitType") != 0) {
            return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS,
                                    "Unknown assignment: ExitType=cgroup");
        }
        return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/1");
    }
    static int GetEnvironment(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                              void* data, sd_bus_error*) {
        auto* self = static_cast<StandIn*>(data);
        sd_bus_message_open_container(reply, 'a', "s");
        for (const std::string& entry : self->environment) {
            sd_bus_message_append(reply, "s", entry.c_str());
        }
        return sd_bus_message_close_container(reply);
    }
    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("StartTransientUnit", "ssa(sv)a(sa(sv))", "o", &StandIn::OnStart,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("Environment", "as", &StandIn::GetEnvironment, 0, 0), SD_BUS_VTABLE_END};

    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Recorded> calls_;
};

class UserManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        address_ = "unix:path=" + dir_.Path("bus");
        platform::LaunchOptions options;
        options.argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                        "--address=" + address_};
        if (platform::LaunchAsSelf(options, nullptr, bus_) != 0) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        struct stat info {};
        while (::stat(dir_.Path("bus").c_str(), &info) != 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no bus socket";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void TearDown() override { bus_.Terminate(1); }

    vl_test::TempDir dir_;
    std::string address_;
    platform::ProcessHandle bus_;
    vl_test::ScopedEnv noRuntime_{"XDG_RUNTIME_DIR", std::nullopt};
};

TEST_F(UserManagerTest, HandedOverProgramsBecomeServicesThatOutliveTheirMainProcess) {
    StandIn manager;
    ASSERT_TRUE(manager.Start(address_));
    vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address_);
    for (const bool older : {false, true}) {
        manager.refuseExitType = older;
        platform::LaunchOptions options;
        options.argv = {"/bin/sh", "-c", "exit 0", "arg with blanks"};
        options.breakAwayFromJob = true;
        options.workingDirectory = "/tmp";
        options.extraEnvironment = {"VL_EXTRA=1"};
        platform::ProcessHandle handle;
        std::string unit;
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle, &unit), 0u);
        EXPECT_FALSE(handle.IsValid()) << "the manager owns it";
        EXPECT_EQ(unit.rfind("vantaro-sh-", 0), 0u) << unit;

        const std::vector<Recorded> calls = manager.Calls();
        ASSERT_FALSE(calls.empty());
        const Recorded& last = calls.back();
        EXPECT_EQ(last.name, unit);
        EXPECT_EQ(last.execStart, (std::vector<std::string>{"/bin/sh", "/bin/sh", "-c", "exit 0",
                                                            "arg with blanks"}));
        EXPECT_EQ(last.texts.at("Type"), "exec");
        EXPECT_EQ(last.texts.at("WorkingDirectory"), "/tmp");
        EXPECT_EQ(last.texts.at("Slice"), "app.slice");
        EXPECT_EQ(last.texts.count(older ? "RemainAfterExit" : "ExitType"), 1u);
        if (!older) {
            EXPECT_EQ(last.texts.at("ExitType"), "cgroup");
        }
        EXPECT_NE(std::find(last.environment.begin(), last.environment.end(), "VL_EXTRA=1"),
                  last.environment.end());
    }
    EXPECT_EQ(manager.Calls().size(), 3u) << "one call, then two for the older manager";
}

// Without a manager on the bus (or without a bus) the program starts on its own, still
// handed over to the user's session.
TEST_F(UserManagerTest, WithoutAManagerTheProgramStartsOnItsOwn) {
    for (const std::string& address : {address_, std::string("unix:path=/nonexistent/bus")}) {
        vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address);
        platform::LaunchOptions options;
        options.argv = {"/bin/sh", "-c", "exit 0"};
        options.breakAwayFromJob = true;
        platform::ProcessHandle handle;
        std::string unit = "stale";
        ASSERT_EQ(platform::LaunchAsSelf(options, nullptr, handle, &unit), 0u) << address;
        EXPECT_EQ(unit, "");
        std::uint32_t exitCode = 0;
        EXPECT_TRUE(handle.Wait(10000, exitCode)) << address;
        EXPECT_FALSE(platform::AdoptSessionEnvironment());
    }
}

TEST_F(UserManagerTest, TheSessionEnvironmentComesFromTheManager) {
    StandIn manager;
    ASSERT_TRUE(manager.Start(address_));
    vl_test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", address_);
    vl_test::ScopedEnv display("DISPLAY", ":0");
    vl_test::ScopedEnv xauthority("XAUTHORITY", std::nullopt);
    ASSERT_TRUE(platform::AdoptSessionEnvironment());
    EXPECT_STREQ(std::getenv("DISPLAY"), ":42");
    EXPECT_STREQ(std::getenv("XAUTHORITY"), "/tmp/vl-xauth");
    EXPECT_STREQ(std::getenv("WAYLAND_DISPLAY"), "wayland-9");
    ::unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
