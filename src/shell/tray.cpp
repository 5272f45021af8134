#include "shell/tray.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <cstdlib>

namespace vantorel::shell {

struct Tray::Impl {
    TrayHandlers handlers;
    AppIndicator* indicator = nullptr;
    GtkWidget* menu = nullptr;
    GtkWidget* loginItem = nullptr;
    gulong loginHandler = 0;
};

namespace {

bool trayHostAnswers() {
    // Without an address GLib would try to start a bus of its own.
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    bool known = (address && *address) ||
                 (runtime && g_file_test((std::string(runtime) + "/bus").c_str(), G_FILE_TEST_EXISTS));
    if (!known) return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    // Without a tray host the library falls back to an old status icon of
    // its own, which crashed the app now and then at start under a bare
    // session; with no host there is nothing to show the item anyway.
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000,
        nullptr, nullptr);
    gboolean hosted = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &hosted);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return hosted;
}

GtkWidget* addItem(GtkWidget* menu, const char* label, std::function<void()>* action) {
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer data) {
                         auto* fn = static_cast<std::function<void()>*>(data);
                         if (*fn) (*fn)();
                     }),
                     action);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return item;
}

}  // namespace

std::unique_ptr<Tray> Tray::create(TrayHandlers handlers, const char* iconFolder) {
    if (!trayHostAnswers()) return nullptr;
    std::unique_ptr<Tray> tray(new Tray());
    tray->impl_ = std::make_unique<Impl>();
    Impl& impl = *tray->impl_;
    impl.handlers = std::move(handlers);

    impl.menu = gtk_menu_new();
    g_object_ref_sink(impl.menu);
    GtkWidget* show = addItem(impl.menu, "Afficher Vantorel", &impl.handlers.showPanel);
    impl.loginItem = gtk_check_menu_item_new_with_label("Lancer à l’ouverture de session");
    impl.loginHandler = g_signal_connect(impl.loginItem, "toggled", G_CALLBACK(+[](GtkCheckMenuItem* item, gpointer data) {
                                             auto* impl = static_cast<Impl*>(data);
                                             if (impl->handlers.setLaunchAtLogin)
                                                 impl->handlers.setLaunchAtLogin(gtk_check_menu_item_get_active(item));
                                         }),
                                         &impl);
    gtk_menu_shell_append(GTK_MENU_SHELL(impl.menu), impl.loginItem);
    gtk_menu_shell_append(GTK_MENU_SHELL(impl.menu), gtk_separator_menu_item_new());
    addItem(impl.menu, "Configurer Claude / Codex…", &impl.handlers.configureAgent);
    addItem(impl.menu, "Réinstaller le bridge Ableton…", &impl.handlers.installBridge);
    addItem(impl.menu, "Quitter Vantorel", &impl.handlers.quit);
    gtk_widget_show_all(impl.menu);

    impl.indicator = app_indicator_new("vantorel", "vantorel", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    if (iconFolder) app_indicator_set_icon_theme_path(impl.indicator, iconFolder);
    app_indicator_set_title(impl.indicator, "Vantorel");
    app_indicator_set_menu(impl.indicator, GTK_MENU(impl.menu));
    // A middle click shows the panel.
    app_indicator_set_secondary_activate_target(impl.indicator, show);
    app_indicator_set_status(impl.indicator, APP_INDICATOR_STATUS_ACTIVE);
    return tray;
}

Tray::~Tray() {
    if (!impl_) return;
    if (impl_->indicator) {
        app_indicator_set_status(impl_->indicator, APP_INDICATOR_STATUS_PASSIVE);
        g_object_unref(impl_->indicator);
    }
    if (impl_->menu) {
        gtk_widget_destroy(impl_->menu);
        g_object_unref(impl_->menu);
    }
}

void Tray::setLaunchAtLoginChecked(bool checked) {
    // Setting the state from code emits "toggled" like a click would.
    g_signal_handler_block(impl_->loginItem, impl_->loginHandler);
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(impl_->loginItem), checked);
    g_signal_handler_unblock(impl_->loginItem, impl_->loginHandler);
}

}  // namespace vantorel::shell
