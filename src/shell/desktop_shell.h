// The controller's Shell on this desktop: the panel (none in browser mode),
// the tray's check item, the autostart entry, the folder chooser and the
// default handler for documents. It also keeps what the window system tells
// about activation, so that the panel follows Live to the front and leaves
// when another program takes it.
#pragma once

#include "app/app_delegate.h"
#include "app/platform.h"

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace vantorel::shell {

class Panel;
class Tray;

class DesktopShell : public Shell {
public:
    // `panel` is null in browser mode: panel calls then do nothing.
    DesktopShell(Panel* panel, std::filesystem::path executable);

    void attach(AppDelegate& app) { app_ = &app; }
    void setPanel(Panel* panel) { panel_ = panel; }
    void setTray(Tray* tray);

    // "Afficher Vantorel", a relaunch, a middle click on the tray item.
    void showPanelFromMenu();
    // The close button and the page's "minimize".
    void hidePanelByUser();
    // A window of process `pid` became active.
    void windowActivated(pid_t pid);

    // Shell
    void keepPanelVisible() override;
    void presentPanelForLive() override;
    void showPanelUnlessHidden() override;
    void hidePanel() override;
    void minimize() override;
    void setCompact(bool compact) override;
    LoginItemStatus loginItem() override;
    bool registerLoginItem(bool enabled) override;
    void openLoginSettings() override;
    void chooseFolder(std::function<void(std::optional<std::filesystem::path>)> chosen) override;
    bool openDocument(const std::filesystem::path& file) override;

    bool panelHiddenByUser() const { return hiddenByUser_; }

private:
    Panel* panel_;
    Tray* tray_ = nullptr;
    AppDelegate* app_ = nullptr;
    std::filesystem::path executable_;
    bool hiddenByUser_ = false;
    bool choosingFolder_ = false;
    std::optional<ActivatedApplication> frontmost_;
};

// Ableton, this process or another, for a process id.
ActivatedApplication classifyProcess(pid_t pid, const std::filesystem::path& procRoot = "/proc");

}  // namespace vantorel::shell
