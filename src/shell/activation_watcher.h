// Which program's window became active, from the X11 root window's
// _NET_ACTIVE_WINDOW and that window's _NET_WM_PID. Without X11 (Wayland)
// there is no such event and the watcher stays silent.
#pragma once

#include <gdk/gdk.h>
#include <sys/types.h>

#include <functional>

namespace vantorel::shell {

class ActivationWatcher {
public:
    // `activated` gets the process id owning each newly active window; a
    // window without a pid (or no active window) says nothing.
    explicit ActivationWatcher(std::function<void(pid_t)> activated);
    ~ActivationWatcher();
    ActivationWatcher(const ActivationWatcher&) = delete;
    ActivationWatcher& operator=(const ActivationWatcher&) = delete;

    bool active() const { return root_ != nullptr; }

private:
    static GdkFilterReturn filter(GdkXEvent* xevent, GdkEvent* event, gpointer data);
    void check();

    std::function<void(pid_t)> activated_;
    GdkWindow* root_ = nullptr;
    unsigned long activeAtom_ = 0;
    unsigned long pidAtom_ = 0;
    unsigned long lastWindow_ = 0;
};

}  // namespace vantorel::shell
