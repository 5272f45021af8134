// The floating panel: an undecorated GTK window that stays above Live on
// every workspace, holding the page in a WebKitGTK view.
//
// The page is served from the vantorel://app/ scheme out of the web folder
// alone, with the same Content-Security-Policy the loopback server sends;
// every other navigation is refused. The page talks through the script
// message handler "vantorel" and hears events through
// window.VantorelNative.receive. Only for X11 does the window get the
// placement, keep-above and activation it needs; elsewhere it does its best.
#pragma once

#include "shell/panel_geometry.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <functional>
#include <string>

namespace vantorel::shell {

struct PanelHandlers {
    // One message the page posted, as JSON text.
    std::function<void(std::string)> message;
    // The close request (delete-event): hide at the user's request.
    std::function<void()> closeRequested;
    // Ctrl+Q.
    std::function<void()> quit;
};

class Panel {
public:
    Panel(std::filesystem::path webRoot, PanelHandlers handlers);
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Starts loading the page.
    void load();
    // One serialised {"event","value"} object to the page's receive function.
    void deliver(const std::string& eventJson);

    // Shown and focused, in front of every window.
    void present();
    // Shown in front without taking the focus from the active window.
    void showWithoutFocus();
    void hide();
    bool visible() const;
    void setCompact(bool compact);

    GtkWindow* window() const { return GTK_WINDOW(window_); }
    WebKitWebView* webView() const { return webView_; }
    Rect frame() const;

private:
    void build();
    void placeInitially();
    void applySizeHints();
    void addResizeBorder(GdkWindowEdge edge, GtkAlign halign, GtkAlign valign, int width, int height);

    static gboolean enterResizeBorder(GtkWidget* widget, GdkEventCrossing* event, gpointer);
    static void serveScheme(WebKitURISchemeRequest* request, gpointer self);

    std::filesystem::path webRoot_;
    PanelHandlers handlers_;
    GtkWidget* window_ = nullptr;
    GtkWidget* overlay_ = nullptr;
    WebKitWebView* webView_ = nullptr;
    WebKitWebContext* context_ = nullptr;
    CompactFrames compact_;
    // Where the window was when it was hidden: some window managers forget.
    std::optional<Rect> lastFrame_;
    // The frame a compact toggle asked for, asked again until the window
    // manager has applied it (see setCompact).
    static gboolean settleFrame(gpointer self);
    Rect settleTarget_;
    guint settleSource_ = 0;
    int settleTries_ = 0;
};

}  // namespace vantorel::shell
