#include "shell/desktop_shell.h"

#include "app/platform.h"
#include "app/proc_applications.h"
#include "common/files.h"
#include "shell/autostart.h"
#include "shell/panel.h"
#include "shell/tray.h"

#include <gio/gio.h>
#include <unistd.h>

namespace vantorel::shell {

namespace {

constexpr const char* kChooserInBrowser = "Le choix d’un dossier se fait depuis le panneau de Vantorel.";

}  // namespace

ActivatedApplication classifyProcess(pid_t pid, const std::filesystem::path& procRoot) {
    if (pid == getpid()) return ActivatedApplication::self;
    const auto folder = procRoot / std::to_string(pid);
    std::string comm = files::read(folder / "comm").value_or("");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    std::string command = files::read(folder / "cmdline").value_or("");
    std::string first = command.substr(0, command.find('\0'));
    return isAbletonProcess(comm, first) ? ActivatedApplication::ableton : ActivatedApplication::other;
}

DesktopShell::DesktopShell(Panel* panel, std::filesystem::path executable)
    : panel_(panel), executable_(std::move(executable)) {}

void DesktopShell::setTray(Tray* tray) {
    tray_ = tray;
    if (tray_) tray_->setLaunchAtLoginChecked(autostart::isEnabled(executable_));
}

void DesktopShell::showPanelFromMenu() {
    hiddenByUser_ = false;
    if (panel_) panel_->present();
}

void DesktopShell::hidePanelByUser() {
    hiddenByUser_ = true;
    if (app_) app_->preservePanelVisibilityUntilResponse = false;
    if (panel_) panel_->hide();
}

void DesktopShell::windowActivated(pid_t pid) {
    // The folder chooser may be another process (a portal): choosing a folder
    // must not hide the panel that asked for it.
    if (choosingFolder_) return;
    const ActivatedApplication application = classifyProcess(pid);
    frontmost_ = application;
    if (app_) app_->applicationActivated(application);
}

void DesktopShell::keepPanelVisible() {
    if (!panel_ || hiddenByUser_) return;
    // Without activation events the panel's own request is enough.
    if (frontmost_ && *frontmost_ == ActivatedApplication::other) return;
    panel_->showWithoutFocus();
}

void DesktopShell::presentPanelForLive() {
    hiddenByUser_ = false;
    if (panel_) panel_->present();
}

void DesktopShell::showPanelUnlessHidden() {
    if (panel_ && !hiddenByUser_) panel_->showWithoutFocus();
}

void DesktopShell::hidePanel() {
    if (panel_) panel_->hide();
}

void DesktopShell::minimize() { hidePanelByUser(); }

void DesktopShell::setCompact(bool compact) {
    if (panel_) panel_->setCompact(compact);
}

LoginItemStatus DesktopShell::loginItem() { return {autostart::isEnabled(executable_), false}; }

bool DesktopShell::registerLoginItem(bool enabled) {
    const bool written = autostart::setEnabled(executable_, enabled);
    if (tray_) tray_->setLaunchAtLoginChecked(autostart::isEnabled(executable_));
    return written;
}

void DesktopShell::openLoginSettings() {
    const auto folder = autostart::entryFile().parent_path();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    gchar* uri = g_filename_to_uri(folder.c_str(), nullptr, nullptr);
    if (uri) {
        g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
        g_free(uri);
    }
}

void DesktopShell::chooseFolder(std::function<void(std::optional<std::filesystem::path>)> chosen) {
    if (!panel_) {
        if (app_) app_->send("projectScanResult", {{"ok", false}, {"message", kChooserInBrowser}});
        return;
    }
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        folder_chooser::title.data(), panel_->window(), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        folder_chooser::button.data(), "Annuler");
    gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), FALSE);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), FALSE);
    choosingFolder_ = true;
    const gint response = gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser));
    choosingFolder_ = false;
    std::optional<std::filesystem::path> folder;
    if (response == GTK_RESPONSE_ACCEPT) {
        if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
            folder = std::filesystem::path(name);
            g_free(name);
        }
    }
    g_object_unref(chooser);
    chosen(folder);
}

bool DesktopShell::openDocument(const std::filesystem::path& file) {
    gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    if (!uri) return false;
    GError* error = nullptr;
    const gboolean opened = g_app_info_launch_default_for_uri(uri, nullptr, &error);
    g_free(uri);
    g_clear_error(&error);
    return opened;
}

}  // namespace vantorel::shell
