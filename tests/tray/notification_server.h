// NotificationServer: a private D-Bus session bus (dbus-daemon --session) and a small
// server on it that owns the freedesktop notification name and records what it is asked to
// show.
#pragma once

#include <signal.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tray_test {

class NotificationServer {
  public:
    // Start starts the bus, and the server on it when serve is set; false when the bus
    // could not start.
    bool Start(bool serve) {
        FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (out == nullptr) {
            return false;
        }
        char line[512] = {};
        if (std::fgets(line, sizeof line, out) != nullptr) {
            address_ = line;
            address_.erase(address_.find_last_not_of("\n") + 1);
        }
        if (std::fgets(line, sizeof line, out) != nullptr) {
            pid_ = std::atoi(line);
        }
        ::pclose(out);
        if (address_.empty() || pid_ <= 0) {
            return false;
        }
        if (serve) {
            thread_ = std::thread([this] { Serve(); });
            for (int i = 0; i < 500 && !ready_; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return !serve || ready_;
    }

    ~NotificationServer() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
        }
    }

    const std::string& Address() const { return address_; }

    std::vector<std::string> Summaries() {
        std::lock_guard lock(mutex_);
        return summaries_;
    }

  private:
    static int Notify(sd_bus_message* call, void* data, sd_bus_error* /*error*/) {
        auto* self = static_cast<NotificationServer*>(data);
        const char* app = nullptr;
        std::uint32_t replaces = 0;
        const char* icon = nullptr;
        const char* summary = nullptr;
        if (sd_bus_message_read(call, "susss", &app, &replaces, &icon, &summary, &icon) >= 0) {
            std::lock_guard lock(self->mutex_);
            self->summaries_.push_back(summary);
        }
        return sd_bus_reply_method_return(call, "u", 1u);
    }
    static int Capabilities(sd_bus_message* call, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(call, "as", 1, "body");
    }
    static int Information(sd_bus_message* call, void*, sd_bus_error*) {
        return sd_bus_reply_method_return(call, "ssss", "recorder", "test", "1", "1.2");
    }

    void Serve() {
        static const sd_bus_vtable table[] = {
            SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", &Notify, 0),
            SD_BUS_METHOD("GetCapabilities", "", "as", &Capabilities, 0),
            SD_BUS_METHOD("GetServerInformation", "", "ssss", &Information, 0), SD_BUS_VTABLE_END};
        sd_bus* bus = nullptr;
        sd_bus_slot* slot = nullptr;
        if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, address_.c_str()) < 0 ||
            sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
            sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", table, this) < 0 ||
            sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0) {
            sd_bus_unref(bus);
            return;
        }
        ready_ = true;
        while (!stop_) {
            if (sd_bus_process(bus, nullptr) > 0) {
                continue;
            }
            sd_bus_wait(bus, 100000);
        }
        sd_bus_slot_unref(slot);
        sd_bus_flush_close_unref(bus);
    }

    std::string address_;
    int pid_ = 0;
    std::thread thread_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> summaries_;
};

}  // namespace tray_test
