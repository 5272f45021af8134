// The tray item: an Ayatana AppIndicator titled "Vantorel" with the app's
// menu. Created only when a session bus answers and a tray host
// (StatusNotifierWatcher) is on it: without a bus the library complains on
// stderr, and without a host nothing could show the item. Then launching
// `vantorel` again is how the panel comes back.
#pragma once

#include <functional>
#include <memory>

namespace vantorel::shell {

struct TrayHandlers {
    std::function<void()> showPanel;
    std::function<void(bool)> setLaunchAtLogin;  // the check item's new state
    std::function<void()> configureAgent;
    std::function<void()> installBridge;
    std::function<void()> quit;
};

class Tray {
public:
    // Nothing when no session bus or no tray host answers.
    static std::unique_ptr<Tray> create(TrayHandlers handlers, const char* iconFolder);
    ~Tray();
    Tray(const Tray&) = delete;
    Tray& operator=(const Tray&) = delete;

    // Sets the check mark of "Lancer à l’ouverture de session" without
    // calling the handler.
    void setLaunchAtLoginChecked(bool checked);

private:
    Tray() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantorel::shell
