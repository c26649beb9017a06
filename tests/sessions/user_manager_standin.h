// A stand-in of the user's service manager (org.freedesktop.systemd1) on a bus that the
// test starts: this machine has no systemd to ask. It answers the manager's Environment
// property and records StartTransientUnit calls; with runPrograms it also runs each unit's
// program, as the caller's user, outside the caller's process tree, and serves the unit's
// ActiveState and the main process's exit status (ExecMainExitTimestampMonotonic,
// ExecMainCode, ExecMainStatus) at the unit's object path, as the manager does.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sessions_test {

// RecordedUnit is one StartTransientUnit call as the stand-in understood it.
struct RecordedUnit {
    std::string name;
    std::map<std::string, std::string> texts;  // "s" and "b" properties
    std::vector<std::string> execStart;        // path, then argv
    std::vector<std::string> environment;
};

class ManagerStandIn {
  public:
    std::vector<std::string> environment = {"DISPLAY=:42", "XAUTHORITY=/tmp/vl-xauth",
                                            "WAYLAND_DISPLAY=wayland-9"};
    std::atomic<bool> refuseExitType{false};
    std::atomic<bool> runPrograms{false};

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
    ~ManagerStandIn() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        for (Unit& unit : units_) {
            if (unit.pid > 0 && unit.exitStamp == 0) {
                ::kill(unit.pid, SIGKILL);
            }
            if (unit.waiter.joinable()) {
                unit.waiter.join();
            }
        }
        sd_bus_flush_close_unref(bus_);
    }
    std::vector<RecordedUnit> Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // MainPid is the pid of the unit's program, or 0.
    pid_t MainPid(const std::string& unit) {
        std::lock_guard lock(mutex_);
        for (const Unit& u : units_) {
            if (u.name == unit) {
                return u.pid;
            }
        }
        return 0;
    }

  private:
    // Unit is a unit whose program the stand-in runs.
    struct Unit {
        std::string name;
        pid_t pid = 0;
        std::string state = "active";
        std::uint64_t exitStamp = 0;
        std::int32_t code = 0;
        std::int32_t status = 0;
        std::thread waiter;
        ManagerStandIn* owner = nullptr;
    };

    bool Connect(const std::string& address) {
        return sd_bus_new(&bus_) >= 0 && sd_bus_set_address(bus_, address.c_str()) >= 0 &&
               sd_bus_set_bus_client(bus_, 1) >= 0 && sd_bus_start(bus_) >= 0 &&
               sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/systemd1",
                                        "org.freedesktop.systemd1.Manager", kManager, this) >= 0 &&
               sd_bus_request_name(bus_, "org.freedesktop.systemd1", 0) >= 0;
    }

    static std::vector<std::string> ReadStrings(sd_bus_message* m) {
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

    static void ReadExecStart(sd_bus_message* m, RecordedUnit& call) {
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
    static void ReadProperty(sd_bus_message* m, RecordedUnit& call) {
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

    // Spawn runs the call's program as uid, in a session of its own; -1 when it could not
    // be started (as a unit of Type=exec fails).
    static pid_t Spawn(const RecordedUnit& call, uid_t uid) {
        std::vector<char*> argv;
        for (std::size_t i = 1; i < call.execStart.size(); ++i) {
            argv.push_back(const_cast<char*>(call.execStart[i].c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& entry : call.environment) {
            envp.push_back(const_cast<char*>(entry.c_str()));
        }
        envp.push_back(nullptr);
        const passwd* user = ::getpwuid(uid);
        int report[2];
        if (user == nullptr || ::pipe2(report, O_CLOEXEC) != 0) {
            return -1;
        }
        const gid_t gid = user->pw_gid;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setsid();
            if (::getuid() != uid &&
                (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
                ::_exit(127);
            }
            const auto folder = call.texts.find("WorkingDirectory");
            if (folder != call.texts.end() && folder->second != "~" &&
                ::chdir(folder->second.c_str()) != 0) {
                ::_exit(127);
            }
            ::execve(call.execStart[0].c_str(), argv.data(), envp.data());
            [[maybe_unused]] const ssize_t n = ::write(report[1], "x", 1);
            ::_exit(127);
        }
        ::close(report[1]);
        char failed = 0;
        const bool started = pid > 0 && ::read(report[0], &failed, 1) == 0;
        ::close(report[0]);
        return started ? pid : (pid > 0 ? -pid : -1);
    }

    void Run(const RecordedUnit& call, sd_bus_message* m) {
        uid_t uid = ::getuid();
        sd_bus_creds* creds = nullptr;
        if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_UID, &creds) >= 0) {
            sd_bus_creds_get_uid(creds, &uid);
            sd_bus_creds_unref(creds);
        }
        Unit& unit = units_.emplace_back();
        unit.name = call.name;
        unit.owner = this;
        const pid_t pid = Spawn(call, uid);
        unit.pid = pid > 0 ? pid : 0;
        if (pid <= 0) {
            unit.state = "failed";
            if (pid < -1) {
                ::waitpid(-pid, nullptr, 0);
            }
        } else {
            unit.waiter = std::thread([this, &unit] {
                int status = 0;
                ::waitpid(unit.pid, &status, 0);
                std::lock_guard lock(mutex_);
                unit.exitStamp = 1;
                unit.code = WIFEXITED(status) ? CLD_EXITED : CLD_KILLED;
                unit.status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
                unit.state = unit.code == CLD_EXITED && unit.status == 0 ? "active" : "failed";
            });
        }
        char* path = nullptr;
        sd_bus_path_encode("/org/freedesktop/systemd1/unit", call.name.c_str(), &path);
        sd_bus_add_object_vtable(bus_, nullptr, path, "org.freedesktop.systemd1.Unit", kUnit,
                                 &unit);
        sd_bus_add_object_vtable(bus_, nullptr, path, "org.freedesktop.systemd1.Service", kService,
                                 &unit);
        std::free(path);
    }

    static int OnStart(sd_bus_message* m, void* data, sd_bus_error* error) {
        auto* self = static_cast<ManagerStandIn*>(data);
        RecordedUnit call;
        const char* name = nullptr;
        const char* mode = nullptr;
        sd_bus_message_read(m, "ss", &name, &mode);
        call.name = name != nullptr ? name : "";
        sd_bus_message_enter_container(m, 'a', "(sv)");
        while (sd_bus_message_enter_container(m, 'r', "sv") > 0) {
            ReadProperty(m, call);
            sd_bus_message_exit_container(m);
        }
        {
            std::lock_guard lock(self->mutex_);
            self->calls_.push_back(call);
        }
        if (self->refuseExitType && call.texts.count("ExitType") != 0) {
            return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS,
                                    "Unknown assignment: ExitType=cgroup");
        }
        if (self->runPrograms) {
            std::lock_guard lock(self->mutex_);
            self->Run(call, m);
        }
        return sd_bus_reply_method_return(m, "o", "/org/freedesktop/systemd1/job/1");
    }
    static int GetEnvironment(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                              void* data, sd_bus_error*) {
        auto* self = static_cast<ManagerStandIn*>(data);
        sd_bus_message_open_container(reply, 'a', "s");
        for (const std::string& entry : self->environment) {
            sd_bus_message_append(reply, "s", entry.c_str());
        }
        return sd_bus_message_close_container(reply);
    }
    static int GetUnitProperty(sd_bus*, const char*, const char*, const char* property,
                               sd_bus_message* reply, void* data, sd_bus_error*) {
        auto* unit = static_cast<Unit*>(data);
        std::lock_guard lock(unit->owner->mutex_);
        const std::string name = property;
        if (name == "ActiveState") {
            return sd_bus_message_append(reply, "s", unit->state.c_str());
        }
        if (name == "ExecMainExitTimestampMonotonic") {
            return sd_bus_message_append(reply, "t", unit->exitStamp);
        }
        return sd_bus_message_append(reply, "i",
                                     name == "ExecMainCode" ? unit->code : unit->status);
    }
    static constexpr sd_bus_vtable kManager[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("StartTransientUnit", "ssa(sv)a(sa(sv))", "o", &ManagerStandIn::OnStart,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("Environment", "as", &ManagerStandIn::GetEnvironment, 0, 0),
        SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kUnit[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("ActiveState", "s", &ManagerStandIn::GetUnitProperty, 0, 0),
        SD_BUS_VTABLE_END};
    static constexpr sd_bus_vtable kService[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("ExecMainExitTimestampMonotonic", "t", &ManagerStandIn::GetUnitProperty, 0,
                        0),
        SD_BUS_PROPERTY("ExecMainCode", "i", &ManagerStandIn::GetUnitProperty, 0, 0),
        SD_BUS_PROPERTY("ExecMainStatus", "i", &ManagerStandIn::GetUnitProperty, 0, 0),
        SD_BUS_VTABLE_END};

    sd_bus* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<RecordedUnit> calls_;
    std::list<Unit> units_;
};

}  // namespace sessions_test
