// The controller's seams to the platform: the page, the desktop shell and
// the list of running programs.
//
// AppDelegate knows the platform only through these three interfaces. The
// GTK shell implements them with the panel, the tray and the web view;
// `vantorel-cli controller` with JSON lines on standard output; tests with
// recorders. Every call happens on the controller's loop thread.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel {

// Where events go: one serialised {"event","value"} object per call.
class WebChannel {
public:
    virtual ~WebChannel() = default;
    virtual void deliver(const std::string& eventJson) = 0;
};

struct LoginItemStatus {
    bool enabled = false;
    bool requiresApproval = false;
};

// The panel, the login item and the set-up actions that need the desktop.
class Shell {
public:
    virtual ~Shell() = default;

    // Panel.
    // Bring the panel back to the front because an answer is on its way.
    virtual void keepPanelVisible() = 0;
    // Live was launched: forget that the user hid the panel, activate the
    // app and show the panel in front of every window.
    virtual void presentPanelForLive() = 0;
    // Live became the active application: show the panel unless the user
    // hid it.
    virtual void showPanelUnlessHidden() = 0;
    // Another application became active.
    virtual void hidePanel() = 0;
    virtual void minimize() = 0;
    virtual void setCompact(bool compact) = 0;

    // Login item.
    virtual LoginItemStatus loginItem() = 0;
    // Registers or removes the login item; false when the system refused.
    virtual bool registerLoginItem(bool enabled) = 0;
    virtual void openLoginSettings() = 0;

    // Desktop services for the project index.
    // Asks the user for a folder (the words below); `chosen` gets nothing
    // when cancelled.
    virtual void chooseFolder(std::function<void(std::optional<std::filesystem::path>)> chosen) = 0;
    // Opens a file with its default application; false when refused.
    virtual bool openDocument(const std::filesystem::path& file) = 0;
};

// The words of the projects folder chooser, whichever shell shows it.
namespace folder_chooser {
inline constexpr std::string_view title = "Choisir le dossier de projets Ableton";
inline constexpr std::string_view message =
    "Vantorel lira localement les métadonnées des fichiers .als. Aucun projet ni nom ne quittera cet ordinateur.";
inline constexpr std::string_view button = "Indexer ce dossier";
}  // namespace folder_chooser

// Which programs run. Implementations report changes through the callbacks
// given to observe(), on the loop, never for what already ran at start.
class RunningApplications {
public:
    virtual ~RunningApplications() = default;
    virtual bool isAbletonRunning() const = 0;
    virtual void observe(std::function<void()> abletonLaunched, std::function<void()> abletonTerminated) = 0;
};

// What became the active application (the shell learns it from the window
// system and tells the controller).
enum class ActivatedApplication { ableton, self, other };

}  // namespace vantorel
