#include "platform/posix/user_manager.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-id128.h>

#include <cctype>
#include <cstring>
#include <memory>

#include "platform/sys_error.h"

namespace platform::posix {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kObject = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
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
// ExitType=cgroup.
Message StartCall(sd_bus* bus, const TransientService& service, const std::string& unit,
                  bool legacy) {
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
    build.Close(1);
    build.Check(sd_bus_message_append(raw, "a(sa(sv))", 0));
    return build.Ok() ? std::move(message) : nullptr;
}

}  // namespace

std::uint32_t StartTransientService(const TransientService& service, std::string& unit) {
    Bus bus = OpenUserBus();
    if (!bus) {
        return SysError::NOT_SUPPORTED;
    }
    unit = UnitName(service.path);
    for (const bool legacy : {false, true}) {
        Message call = StartCall(bus.get(), service, unit, legacy);
        if (!call) {
            return SysError::GEN_FAILURE;
        }
        BusError error;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call(bus.get(), call.get(), 0, &error.error, &reply) >= 0) {
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
