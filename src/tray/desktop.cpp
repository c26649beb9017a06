#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <libnotify/notify.h>

#include "base/logger.h"
#include "session/companions.h"
#include "tray/tray.h"

namespace Tray {

namespace {

constexpr const char* kTag = "[Tray::Desktop]";
constexpr const char* kIconName = "system-run";
constexpr const char* kTitle = "Vantaro Launcher";

// OpenFolder opens the folder in the user's file manager.
void OpenFolder(GtkMenuItem* /*item*/, gpointer data) {
    const std::string uri = "file://" + *static_cast<std::string*>(data);
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
        Logger::Error(std::string(kTag) + "cannot open " + uri + " : " +
                      (error != nullptr ? error->message : "?"));
        g_clear_error(&error);
    }
}

GtkWidget* AddItem(GtkWidget* menu, const std::string& label, bool enabled) {
    GtkWidget* item = gtk_menu_item_new_with_label(label.c_str());
    gtk_widget_set_sensitive(item, enabled ? TRUE : FALSE);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    gtk_widget_show(item);
    return item;
}

gboolean RunTask(gpointer data) {
    std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(data));
    (*task)();
    return G_SOURCE_REMOVE;
}

}  // namespace

struct Desktop::Impl {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    bool display = false;
    bool notifications = false;
    AppIndicator* indicator = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* spinnerWindow = nullptr;
    std::string logFolder;

    ~Impl() {
        if (indicator != nullptr) {
            g_object_unref(indicator);
        }
        if (spinnerWindow != nullptr) {
            gtk_widget_destroy(spinnerWindow);
        }
        if (notifications) {
            notify_uninit();
        }
        g_main_loop_unref(loop);
    }
};

Desktop::Desktop() : impl_(std::make_unique<Impl>()) {}
Desktop::~Desktop() = default;

bool Desktop::Open() {
    impl_->display = gtk_init_check(nullptr, nullptr) != FALSE;
    impl_->notifications = notify_init(kTitle) != FALSE;
    if (!impl_->display) {
        Logger::Info(std::string(kTag) + "no display in this session: notices are logged");
    }
    return impl_->display;
}

void Desktop::ShowIcon(const DaemonInfo& info, const std::string& logFolder) {
    if (!impl_->display) {
        return;
    }
    impl_->logFolder = logFolder;
    GtkWidget* menu = gtk_menu_new();
    impl_->status = AddItem(menu, "Idle", false);
    AddItem(menu, std::string(kTitle) + " " + (info.version.empty() ? "?" : info.version), false);
    GtkWidget* logs = AddItem(menu, "Open the log folder", true);
    g_signal_connect(logs, "activate", G_CALLBACK(OpenFolder), &impl_->logFolder);
    // The desktop shows the icon where it has a notification area; elsewhere it stays
    // unseen and the notifications still come.
    impl_->indicator = app_indicator_new(Companions::kTrayProgram, kIconName,
                                         APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(impl_->indicator, kTitle);
    app_indicator_set_menu(impl_->indicator, GTK_MENU(menu));
    app_indicator_set_status(impl_->indicator, APP_INDICATOR_STATUS_ACTIVE);
}

void Desktop::ShowSpinner() {
    if (!impl_->display) {
        return;
    }
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), kTitle);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    GtkWidget* spinner = gtk_spinner_new();
    gtk_widget_set_size_request(spinner, 64, 64);
    gtk_container_add(GTK_CONTAINER(window), spinner);
    gtk_spinner_start(GTK_SPINNER(spinner));
    gtk_widget_show_all(window);
    impl_->spinnerWindow = window;
}

bool Desktop::Show(const Notice& notice) {
    Logger::Info(std::string(kTag) + notice.summary + " : " + notice.body);
    if (impl_->status != nullptr) {
        gtk_menu_item_set_label(GTK_MENU_ITEM(impl_->status), notice.summary.c_str());
    }
    if (!impl_->notifications) {
        return false;
    }
    NotifyNotification* shown =
        notify_notification_new(notice.summary.c_str(), notice.body.c_str(), kIconName);
    GError* error = nullptr;
    const bool ok = notify_notification_show(shown, &error) != FALSE;
    if (!ok) {
        Logger::Warn(std::string(kTag) + "no notification service took it : " +
                     (error != nullptr ? error->message : "?"));
        g_clear_error(&error);
    }
    g_object_unref(shown);
    return ok;
}

void Desktop::Run() {
    g_main_loop_run(impl_->loop);
}

void Desktop::Quit() {
    g_main_loop_quit(impl_->loop);
}

void Desktop::Post(std::function<void()> task) {
    auto owned = std::make_unique<std::function<void()>>(std::move(task));
    g_main_context_invoke(nullptr, &RunTask, owned.release());
}

}  // namespace Tray
