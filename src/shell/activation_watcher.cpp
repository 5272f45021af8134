#include "shell/activation_watcher.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include <optional>

namespace vantorel::shell {

namespace {

std::optional<unsigned long> cardinalProperty(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format, &count, &remaining,
                           &data) != Success)
        return std::nullopt;
    std::optional<unsigned long> value;
    if (data && actualType == type && format == 32 && count == 1) value = *reinterpret_cast<unsigned long*>(data);
    if (data) XFree(data);
    return value;
}

}  // namespace

ActivationWatcher::ActivationWatcher(std::function<void(pid_t)> activated) : activated_(std::move(activated)) {
    GdkDisplay* display = gdk_display_get_default();
    if (!display || !GDK_IS_X11_DISPLAY(display)) return;
    Display* xdisplay = GDK_DISPLAY_XDISPLAY(display);
    activeAtom_ = XInternAtom(xdisplay, "_NET_ACTIVE_WINDOW", False);
    pidAtom_ = XInternAtom(xdisplay, "_NET_WM_PID", False);
    root_ = gdk_get_default_root_window();
    gdk_window_set_events(root_, static_cast<GdkEventMask>(gdk_window_get_events(root_) | GDK_PROPERTY_CHANGE_MASK));
    gdk_window_add_filter(root_, &ActivationWatcher::filter, this);
}

ActivationWatcher::~ActivationWatcher() {
    if (root_) gdk_window_remove_filter(root_, &ActivationWatcher::filter, this);
}

GdkFilterReturn ActivationWatcher::filter(GdkXEvent* xevent, GdkEvent*, gpointer data) {
    auto* self = static_cast<ActivationWatcher*>(data);
    auto* event = static_cast<XEvent*>(xevent);
    if (event->type == PropertyNotify && event->xproperty.atom == self->activeAtom_) self->check();
    return GDK_FILTER_CONTINUE;
}

void ActivationWatcher::check() {
    Display* xdisplay = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
    Window root = GDK_WINDOW_XID(root_);
    auto window = cardinalProperty(xdisplay, root, activeAtom_, XA_WINDOW);
    if (!window || *window == 0 || *window == lastWindow_) return;
    lastWindow_ = *window;
    // The window may be gone already; its errors must not end the program.
    gdk_x11_display_error_trap_push(gdk_display_get_default());
    auto pid = cardinalProperty(xdisplay, static_cast<Window>(*window), pidAtom_, XA_CARDINAL);
    gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
    if (pid && *pid > 0) activated_(static_cast<pid_t>(*pid));
}

}  // namespace vantorel::shell
