#include "platform/posix/user_manager.h"

#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/sys_error.h"

namespace platform::posix {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kObject = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr const char* kUnitObjects = "/org/freedesktop/systemd1/unit";
// The main process's end is polled: first every millisecond (a start tool exits within a
// few), then less often.
constexpr long kFirstPollMs = 1;
constexpr long kLongestPollMs = 16;
// Every call is bounded: a bus that hangs must not hold a launch for the library's 25 s.
constexpr std::uint64_t kCallTimeoutUs = 5'000'000;
constexpr std::size_t kUnitStemMax = 32;

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// BusError owns an sd_bus_error.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error); }
    // NoManager tells that nobody owns the manager's name on this bus.
    bool NoManager() const {
        return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
               sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
               sd_bus_error_has_name(&error, SD_BUS_ERROR_NO_REPLY);
    }
};

Bus OpenUserBus() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) {
        return nullptr;
    }
    Bus owned(bus);
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    return owned;
}

// UnitName is "vantaro-<program>-<random>.service", the program reduced to the characters a
// unit name allows.
std::string UnitName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string stem;
    for (char c : path.substr(slash == std::string::npos ? 0 : slash + 1)) {
        if (stem.size() < kUnitStemMax) {
            const bool allowed = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
            stem += allowed ? c : '_';
        }
    }
    sd_id128_t id{};
    char text[SD_ID128_STRING_MAX] = {};
    if (sd_id128_randomize(&id) >= 0) {
        sd_id128_to_string(id, text);
    }
    return "vantaro-" + (stem.empty() ? std::string("program") : stem) + "-" + text + ".service";
}

// Builder appends to a message and remembers the first failure, so that the calls read as
// the property list they build.
class Builder {
  public:
    explicit Builder(sd_bus_message* message) : m_(message) {}

    void Text(const char* name, const std::string& value) {
        Check(sd_bus_message_append(m_, "(sv)", name, "s", value.c_str()));
    }
    void Flag(const char* name, bool value) {
        Check(sd_bus_message_append(m_, "(sv)", name, "b", value ? 1 : 0));
    }
    void List(const char* name, const std::vector<std::string>& values) {
        Open('r', "sv");
        Check(sd_bus_message_append(m_, "s", name));
        Open('v', "as");
        Strings(values);
        Close(2);
    }
    void ExecStart(const std::string& path, const std::vector<std::string>& argv) {
        Open('r', "sv");
        Check(sd_bus_message_append(m_, "s", "ExecStart"));
        Open('v', "a(sasb)");
        Open('a', "(sasb)");
        Open('r', "sasb");
        Check(sd_bus_message_append(m_, "s", path.c_str()));
        Strings(argv);
        Check(sd_bus_message_append(m_, "b", 0));  // a failing exit code is not ignored
        Close(4);
    }
    void Open(char type, const char* contents) {
        Check(sd_bus_message_open_container(m_, type, contents));
    }
    void Close(int count) {
        for (int i = 0; i < count; ++i) {
            Check(sd_bus_message_close_container(m_));
        }
    }
    void Check(int result) { ok_ = ok_ && result >= 0; }
    bool Ok() const { return ok_; }

  private:
    void Strings(const std::vector<std::string>& values) {
        Open('a', "s");
        for (const std::string& value : values) {
            Check(sd_bus_message_append(m_, "s", value.c_str()));
        }
        Close(1);
    }

    sd_bus_message* m_;
    bool ok_ = true;
};

// StartCall builds the StartTransientUnit call; legacy uses RemainAfterExit instead of
// ExitType=cgroup; addRef makes the unit stay while this connection holds it.
Message StartCall(sd_bus* bus, const TransientService& service, const std::string& unit,
                  bool legacy, bool addRef) {
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus, &raw, kDestination, kObject, kManager,
                                       "StartTransientUnit") < 0) {
        return nullptr;
    }
    Message message(raw);
    Builder build(raw);
    build.Check(sd_bus_message_append(raw, "ss", unit.c_str(), "fail"));
    build.Open('a', "(sv)");
    build.Text("Description", "Started for the user: " + service.path);
    build.ExecStart(service.path, service.argv);
    build.List("Environment", service.env);
    build.Text("WorkingDirectory",
               service.workingDirectory.empty() ? std::string("~") : service.workingDirectory);
    build.Text("Type", "exec");
    build.Text("Slice", "app.slice");
    build.Text("CollectMode", "inactive-or-failed");
    if (legacy) {
        build.Flag("RemainAfterExit", true);
    } else {
        build.Text("ExitType", "cgroup");
    }
    if (addRef) {
        build.Flag("AddRef", true);
    }
    build.Close(1);
    build.Check(sd_bus_message_append(raw, "a(sa(sv))", 0));
    return build.Ok() ? std::move(message) : nullptr;
}

// StartOn asks the manager on bus for the unit, then once more without ExitType for an older
// manager that refuses it.
std::uint32_t StartOn(sd_bus* bus, const TransientService& service, bool addRef,
                      std::string& unit) {
    unit = UnitName(service.path);
    for (const bool legacy : {false, true}) {
        Message call = StartCall(bus, service, unit, legacy, addRef);
        if (!call) {
            return SysError::GEN_FAILURE;
        }
        BusError error;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call(bus, call.get(), 0, &error.error, &reply) >= 0) {
            sd_bus_message_unref(reply);
            return SysError::SUCCESS;
        }
        if (error.NoManager() || !sd_bus_error_is_set(&error.error)) {
            return SysError::NOT_SUPPORTED;
        }
        // An older manager refuses ExitType as an unknown setting: try the other way once.
    }
    return SysError::GEN_FAILURE;
}

void SleepMs(long ms) {
    const timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    ::nanosleep(&pause, nullptr);
}

}  // namespace

struct ServiceWatch::State {
    Bus bus;
    std::string unit;
    std::string object;  // the unit's object path
    bool ended = false;
    std::uint32_t exitCode = 0;
    std::uint32_t failure = SysError::SUCCESS;

    // MainExit reads whether the main process has ended, and how: false when the manager
    // did not answer.
    bool MainExit(bool& exited) {
        BusError error;
        std::uint64_t stamp = 0;
        if (sd_bus_get_property_trivial(bus.get(), kDestination, object.c_str(), kServiceInterface,
                                        "ExecMainExitTimestampMonotonic", &error.error, 't',
                                        &stamp) < 0) {
            return false;
        }
        exited = stamp != 0;
        if (!exited) {
            return true;
        }
        std::int32_t code = 0;
        std::int32_t status = 0;
        if (sd_bus_get_property_trivial(bus.get(), kDestination, object.c_str(), kServiceInterface,
                                        "ExecMainCode", &error.error, 'i', &code) < 0 ||
            sd_bus_get_property_trivial(bus.get(), kDestination, object.c_str(), kServiceInterface,
                                        "ExecMainStatus", &error.error, 'i', &status) < 0) {
            return false;
        }
        // ExecMainCode is the kind of end (CLD_EXITED, CLD_KILLED, CLD_DUMPED).
        exitCode = static_cast<std::uint32_t>(code == CLD_EXITED ? status : 128 + status);
        return true;
    }

    // Failed tells whether the unit failed: with no main process exit seen, it never ran.
    bool Failed() {
        BusError error;
        char* state = nullptr;
        if (sd_bus_get_property_string(bus.get(), kDestination, object.c_str(), kUnitInterface,
                                       "ActiveState", &error.error, &state) < 0) {
            return true;
        }
        const bool failed = std::strcmp(state, "failed") == 0;
        std::free(state);
        return failed;
    }

    // Poll looks once: true when the wait is over (ended or failed).
    bool Poll() {
        if (ended) {
            return true;
        }
        bool exited = false;
        if (!MainExit(exited)) {
            return Fail();
        }
        // A failed unit whose main process was not seen to end never ran; it may have ended
        // between the two reads, so look once more.
        if (!exited && Failed() && (!MainExit(exited) || !exited)) {
            return Fail();
        }
        ended = exited;
        return ended;
    }

    bool Fail() {
        ended = true;
        failure = SysError::GEN_FAILURE;
        return true;
    }
};

ServiceWatch::ServiceWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}
ServiceWatch::~ServiceWatch() = default;

const std::string& ServiceWatch::Unit() const {
    return state_->unit;
}

std::uint32_t ServiceWatch::Wait(std::uint32_t timeoutMs, std::uint32_t& exitCode) {
    const auto start = std::chrono::steady_clock::now();
    long pauseMs = kFirstPollMs;
    while (!state_->Poll()) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        if (timeoutMs != 0xFFFFFFFFu && spent.count() >= static_cast<std::int64_t>(timeoutMs)) {
            return SysError::WAIT_TIMED_OUT;
        }
        SleepMs(pauseMs);
        pauseMs = std::min(pauseMs * 2, kLongestPollMs);
    }
    if (state_->failure != SysError::SUCCESS) {
        return state_->failure;
    }
    exitCode = state_->exitCode;
    return SysError::SUCCESS;
}

bool ServiceWatch::HasEnded() {
    return state_->Poll();
}

std::uint32_t StartTransientService(const TransientService& service, std::string& unit) {
    Bus bus = OpenUserBus();
    if (!bus) {
        return SysError::NOT_SUPPORTED;
    }
    return StartOn(bus.get(), service, false, unit);
}

std::uint32_t StartWatchedService(const TransientService& service,
                                  std::unique_ptr<ServiceWatch>& watch) {
    watch.reset();
    auto state = std::make_unique<ServiceWatch::State>();
    state->bus = OpenUserBus();
    if (!state->bus) {
        return SysError::NOT_SUPPORTED;
    }
    if (const std::uint32_t error = StartOn(state->bus.get(), service, true, state->unit);
        error != SysError::SUCCESS) {
        return error;
    }
    char* object = nullptr;
    if (sd_bus_path_encode(kUnitObjects, state->unit.c_str(), &object) < 0) {
        return SysError::GEN_FAILURE;
    }
    state->object = object;
    std::free(object);
    watch = std::make_unique<ServiceWatch>(std::move(state));
    return SysError::SUCCESS;
}

bool UserManagerEnvironment(std::vector<std::string>& env) {
    Bus bus = OpenUserBus();
    if (!bus) {
        return false;
    }
    BusError error;
    char** list = nullptr;
    if (sd_bus_get_property_strv(bus.get(), kDestination, kObject, kManager, "Environment",
                                 &error.error, &list) < 0) {
        return false;
    }
    env.clear();
    for (char** entry = list; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strchr(*entry, '=') != nullptr) {
            env.emplace_back(*entry);
        }
        std::free(*entry);
    }
    std::free(list);
    return true;
}

}  // namespace platform::posix
