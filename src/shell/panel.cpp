#include "shell/panel.h"

#include "common/files.h"

#include <gdk/gdkkeysyms.h>
#include <gdk/gdkx.h>
#include <libsoup/soup.h>

#include <optional>

namespace vantorel::shell {

namespace {

constexpr const char* kPageOrigin = "vantorel://app/";
constexpr const char* kContentSecurityPolicy = "default-src 'self'; frame-ancestors 'none'";
constexpr int kDragStripHeight = 64;
constexpr int kDragStripLeft = 62;
constexpr int kDragStripRight = 125;
constexpr int kBorder = 5;

const char* contentTypeOf(const std::filesystem::path& file) {
    const std::string ext = file.extension().string();
    if (ext == ".html") return "text/html";
    if (ext == ".js" || ext == ".mjs") return "text/javascript";
    if (ext == ".css") return "text/css";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".png") return "image/png";
    if (ext == ".json") return "application/json";
    return "application/octet-stream";
}

// A file of the page for a vantorel://app/ path; nothing outside the folder.
std::optional<std::filesystem::path> pageFile(const std::filesystem::path& root, std::string path) {
    if (path.empty() || path == "/") path = "/index.html";
    std::filesystem::path relative(path.substr(1));
    for (const auto& part : relative) {
        if (part == ".." || part == ".") return std::nullopt;
    }
    std::error_code error;
    const auto canonicalRoot = std::filesystem::canonical(root, error);
    if (error) return std::nullopt;
    const auto file = std::filesystem::canonical(canonicalRoot / relative, error);
    if (error || !std::filesystem::is_regular_file(file, error)) return std::nullopt;
    auto [rootEnd, ignored] = std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), file.begin(), file.end());
    if (rootEnd != canonicalRoot.end()) return std::nullopt;
    return file;
}

GdkRectangle workAreaOf(GdkDisplay* display, std::optional<Rect>& out) {
    GdkMonitor* monitor = display ? gdk_display_get_primary_monitor(display) : nullptr;
    if (!monitor && display && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    GdkRectangle area{0, 0, 0, 0};
    if (monitor) {
        gdk_monitor_get_workarea(monitor, &area);
        out = Rect{area.x, area.y, area.width, area.height};
    }
    return area;
}

}  // namespace

Panel::Panel(std::filesystem::path webRoot, PanelHandlers handlers)
    : webRoot_(std::move(webRoot)), handlers_(std::move(handlers)) {
    build();
}

Panel::~Panel() {
    if (settleSource_ != 0) g_source_remove(settleSource_);
    if (window_) gtk_widget_destroy(window_);
    if (context_) g_object_unref(context_);
}

void Panel::build() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(window_);
    gtk_window_set_title(window, "Vantorel");
    gtk_window_set_decorated(window, FALSE);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_UTILITY);
    gtk_window_set_keep_above(window, TRUE);
    gtk_window_set_skip_taskbar_hint(window, TRUE);
    gtk_window_set_skip_pager_hint(window, TRUE);
    gtk_window_stick(window);
    gtk_window_set_role(window, "panel");
    applySizeHints();
    placeInitially();

    g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                         auto* self = static_cast<Panel*>(data);
                         if (self->handlers_.closeRequested) self->handlers_.closeRequested();
                         return TRUE;  // never destroyed: only hidden
                     }),
                     this);
    // Cut, copy, paste and select-all work in the web view by themselves;
    // undo and redo do not, and Ctrl+Q quits as a menu would.
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer data) -> gboolean {
                         auto* self = static_cast<Panel*>(data);
                         const auto modifiers = event->state & gtk_accelerator_get_default_mod_mask();
                         const guint key = gdk_keyval_to_lower(event->keyval);
                         if (modifiers == GDK_CONTROL_MASK && key == GDK_KEY_z) {
                             webkit_web_view_execute_editing_command(self->webView_, WEBKIT_EDITING_COMMAND_UNDO);
                             return TRUE;
                         }
                         if (modifiers == (GDK_CONTROL_MASK | GDK_SHIFT_MASK) && key == GDK_KEY_z) {
                             webkit_web_view_execute_editing_command(self->webView_, WEBKIT_EDITING_COMMAND_REDO);
                             return TRUE;
                         }
                         if (modifiers == GDK_CONTROL_MASK && key == GDK_KEY_q) {
                             if (self->handlers_.quit) self->handlers_.quit();
                             return TRUE;
                         }
                         return FALSE;
                     }),
                     this);

    // The page's own origin, its files only.
    context_ = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context_, "vantorel", &Panel::serveScheme, this, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context_);
    webkit_security_manager_register_uri_scheme_as_secure(security, "vantorel");
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "vantorel");

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    g_signal_connect(content, "script-message-received::vantorel",
                     G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
                         auto* self = static_cast<Panel*>(data);
                         JSCValue* value = webkit_javascript_result_get_js_value(result);
                         char* text = jsc_value_to_json(value, 0);
                         if (text) {
                             if (self->handlers_.message) self->handlers_.message(text);
                             g_free(text);
                         }
                     }),
                     this);
    webkit_user_content_manager_register_script_message_handler(content, "vantorel");

    WebKitSettings* settings = webkit_settings_new();
    // Same pixels for this page, and about 60 MiB less.
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    webkit_settings_set_enable_developer_extras(settings, FALSE);
    webkit_settings_set_enable_back_forward_navigation_gestures(settings, FALSE);

    webView_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager",
                                            content, "settings", settings, nullptr));
    g_object_unref(content);
    g_object_unref(settings);
    GdkRGBA white{1, 1, 1, 1};
    webkit_web_view_set_background_color(webView_, &white);

    g_signal_connect(webView_, "decide-policy",
                     G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                    gpointer) -> gboolean {
                         if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
                         if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
                             webkit_policy_decision_ignore(decision);
                             return TRUE;
                         }
                         auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
                         WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(navigation);
                         const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
                         if (uri && g_str_has_prefix(uri, kPageOrigin)) return FALSE;
                         webkit_policy_decision_ignore(decision);
                         return TRUE;
                     }),
                     nullptr);
    g_signal_connect(webView_, "web-process-terminated",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitWebProcessTerminationReason, gpointer) {
                         webkit_web_view_reload(view);
                     }),
                     nullptr);
    g_signal_connect(webView_, "context-menu",
                     G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu* menu, GdkEvent*, WebKitHitTestResult*, gpointer) -> gboolean {
                         // Keep the editing entries, drop navigation and inspection.
                         GList* items = webkit_context_menu_get_items(menu);
                         for (GList* it = items; it;) {
                             GList* next = it->next;
                             auto* item = WEBKIT_CONTEXT_MENU_ITEM(it->data);
                             switch (webkit_context_menu_item_get_stock_action(item)) {
                             case WEBKIT_CONTEXT_MENU_ACTION_GO_BACK:
                             case WEBKIT_CONTEXT_MENU_ACTION_GO_FORWARD:
                             case WEBKIT_CONTEXT_MENU_ACTION_STOP:
                             case WEBKIT_CONTEXT_MENU_ACTION_RELOAD:
                             case WEBKIT_CONTEXT_MENU_ACTION_INSPECT_ELEMENT:
                                 webkit_context_menu_remove(menu, item);
                                 break;
                             default: break;
                             }
                             it = next;
                         }
                         return webkit_context_menu_get_n_items(menu) == 0;
                     }),
                     nullptr);

    overlay_ = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(overlay_), GTK_WIDGET(webView_));

    // The drag strip: input only, over the top of the page, clear of the
    // window buttons on the left and the page's own controls on the right.
    GtkWidget* strip = gtk_event_box_new();
    gtk_event_box_set_visible_window(GTK_EVENT_BOX(strip), FALSE);
    gtk_event_box_set_above_child(GTK_EVENT_BOX(strip), TRUE);
    gtk_widget_set_valign(strip, GTK_ALIGN_START);
    gtk_widget_set_halign(strip, GTK_ALIGN_FILL);
    gtk_widget_set_size_request(strip, -1, kDragStripHeight);
    gtk_widget_set_margin_start(strip, kDragStripLeft);
    gtk_widget_set_margin_end(strip, kDragStripRight);
    gtk_widget_set_name(strip, "drag-strip");
    gtk_widget_add_events(strip, GDK_BUTTON_PRESS_MASK | GDK_ENTER_NOTIFY_MASK);
    g_signal_connect(strip, "enter-notify-event", G_CALLBACK(+[](GtkWidget* widget, GdkEventCrossing* event, gpointer) -> gboolean {
                         GdkCursor* cursor = gdk_cursor_new_from_name(gtk_widget_get_display(widget), "grab");
                         if (cursor) {
                             gdk_window_set_cursor(event->window, cursor);
                             g_object_unref(cursor);
                         }
                         return FALSE;
                     }),
                     nullptr);
    g_signal_connect(strip, "button-press-event", G_CALLBACK(+[](GtkWidget* widget, GdkEventButton* event, gpointer) -> gboolean {
                         if (event->button != GDK_BUTTON_PRIMARY || event->type != GDK_BUTTON_PRESS) return FALSE;
                         gtk_window_begin_move_drag(GTK_WINDOW(gtk_widget_get_toplevel(widget)), static_cast<gint>(event->button),
                                                    static_cast<gint>(event->x_root), static_cast<gint>(event->y_root),
                                                    event->time);
                         return TRUE;
                     }),
                     nullptr);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), strip);

    // Thin borders to resize an undecorated window.
    addResizeBorder(GDK_WINDOW_EDGE_WEST, GTK_ALIGN_START, GTK_ALIGN_FILL, kBorder, -1);
    addResizeBorder(GDK_WINDOW_EDGE_EAST, GTK_ALIGN_END, GTK_ALIGN_FILL, kBorder, -1);
    addResizeBorder(GDK_WINDOW_EDGE_SOUTH, GTK_ALIGN_FILL, GTK_ALIGN_END, -1, kBorder);
    addResizeBorder(GDK_WINDOW_EDGE_SOUTH_WEST, GTK_ALIGN_START, GTK_ALIGN_END, 3 * kBorder, 3 * kBorder);
    addResizeBorder(GDK_WINDOW_EDGE_SOUTH_EAST, GTK_ALIGN_END, GTK_ALIGN_END, 3 * kBorder, 3 * kBorder);

    gtk_container_add(GTK_CONTAINER(window_), overlay_);
    gtk_widget_show_all(overlay_);
}

void Panel::addResizeBorder(GdkWindowEdge edge, GtkAlign halign, GtkAlign valign, int width, int height) {
    GtkWidget* border = gtk_event_box_new();
    gtk_event_box_set_visible_window(GTK_EVENT_BOX(border), FALSE);
    gtk_event_box_set_above_child(GTK_EVENT_BOX(border), TRUE);
    gtk_widget_set_halign(border, halign);
    gtk_widget_set_valign(border, valign);
    gtk_widget_set_size_request(border, width, height);
    gtk_widget_add_events(border, GDK_BUTTON_PRESS_MASK | GDK_ENTER_NOTIFY_MASK);
    g_object_set_data(G_OBJECT(border), "edge", GINT_TO_POINTER(static_cast<int>(edge)));
    g_signal_connect(border, "enter-notify-event", G_CALLBACK(&Panel::enterResizeBorder), nullptr);
    g_signal_connect(border, "button-press-event", G_CALLBACK(+[](GtkWidget* widget, GdkEventButton* event, gpointer) -> gboolean {
                         if (event->button != GDK_BUTTON_PRIMARY || event->type != GDK_BUTTON_PRESS) return FALSE;
                         auto edge = static_cast<GdkWindowEdge>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), "edge")));
                         gtk_window_begin_resize_drag(GTK_WINDOW(gtk_widget_get_toplevel(widget)), edge,
                                                      static_cast<gint>(event->button), static_cast<gint>(event->x_root),
                                                      static_cast<gint>(event->y_root), event->time);
                         return TRUE;
                     }),
                     nullptr);
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), border);
}

gboolean Panel::enterResizeBorder(GtkWidget* widget, GdkEventCrossing* event, gpointer) {
    static const char* const names[] = {"nw-resize", "n-resize", "ne-resize", "w-resize",
                                        "e-resize",  "sw-resize", "s-resize", "se-resize"};
    const int edge = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(widget), "edge"));
    if (GdkCursor* cursor = gdk_cursor_new_from_name(gtk_widget_get_display(widget), names[edge])) {
        gdk_window_set_cursor(event->window, cursor);
        g_object_unref(cursor);
    }
    return FALSE;
}

void Panel::applySizeHints() {
    GdkGeometry hints{};
    hints.min_width = panel::minimumWidth;
    hints.min_height = compact_.minimumHeight();
    hints.max_width = panel::maximumWidth;
    hints.max_height = panel::maximumHeight;
    gtk_window_set_geometry_hints(GTK_WINDOW(window_), nullptr, &hints,
                                  static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
}

void Panel::placeInitially() {
    std::optional<Rect> workArea;
    workAreaOf(gdk_display_get_default(), workArea);
    const Rect frame = initialPanelFrame(workArea);
    gtk_window_set_default_size(GTK_WINDOW(window_), frame.width, frame.height);
    gtk_window_resize(GTK_WINDOW(window_), frame.width, frame.height);
    gtk_window_move(GTK_WINDOW(window_), frame.x, frame.y);
    lastFrame_ = frame;
}

void Panel::serveScheme(WebKitURISchemeRequest* request, gpointer data) {
    auto* self = static_cast<Panel*>(data);
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    const char* path = webkit_uri_scheme_request_get_path(request);
    std::optional<std::filesystem::path> file;
    if (uri && g_str_has_prefix(uri, kPageOrigin)) file = pageFile(self->webRoot_, path ? path : "/");
    std::optional<std::string> contents = file ? files::read(*file) : std::nullopt;
    if (!contents) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not found");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    auto* bytes = g_bytes_new(contents->data(), contents->size());
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(contents->size()));
    webkit_uri_scheme_response_set_content_type(response, contentTypeOf(*file));
    SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
    // The headers given here replace the response's own, Content-Type
    // included: without it nosniff makes WebKit refuse the stylesheet.
    soup_message_headers_append(headers, "Content-Type", contentTypeOf(*file));
    soup_message_headers_append(headers, "Content-Security-Policy", kContentSecurityPolicy);
    soup_message_headers_append(headers, "X-Content-Type-Options", "nosniff");
    soup_message_headers_append(headers, "Cache-Control", "no-store");
    webkit_uri_scheme_response_set_http_headers(response, headers);  // takes the headers
    webkit_uri_scheme_request_finish_with_response(request, response);
    g_object_unref(response);
    g_object_unref(stream);
    g_bytes_unref(bytes);
}

void Panel::load() { webkit_web_view_load_uri(webView_, "vantorel://app/index.html"); }

void Panel::deliver(const std::string& eventJson) {
    const std::string script = "window.VantorelNative && window.VantorelNative.receive(" + eventJson + ");";
    webkit_web_view_evaluate_javascript(webView_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
}

Rect Panel::frame() const {
    Rect frame;
    gtk_window_get_position(GTK_WINDOW(window_), &frame.x, &frame.y);
    gtk_window_get_size(GTK_WINDOW(window_), &frame.width, &frame.height);
    return frame;
}

bool Panel::visible() const { return gtk_widget_get_visible(window_); }

void Panel::present() {
    if (!visible() && lastFrame_) gtk_window_move(GTK_WINDOW(window_), lastFrame_->x, lastFrame_->y);
    gtk_window_set_focus_on_map(GTK_WINDOW(window_), TRUE);
    gtk_widget_show(window_);
    guint32 time = GDK_CURRENT_TIME;
    if (GdkWindow* gdkWindow = gtk_widget_get_window(window_); gdkWindow && GDK_IS_X11_WINDOW(gdkWindow))
        time = gdk_x11_get_server_time(gdkWindow);
    gtk_window_present_with_time(GTK_WINDOW(window_), time);
}

void Panel::showWithoutFocus() {
    if (!visible()) {
        if (lastFrame_) gtk_window_move(GTK_WINDOW(window_), lastFrame_->x, lastFrame_->y);
        gtk_window_set_focus_on_map(GTK_WINDOW(window_), FALSE);
        gtk_widget_show(window_);
    }
    if (GdkWindow* gdkWindow = gtk_widget_get_window(window_)) gdk_window_raise(gdkWindow);
}

void Panel::hide() {
    if (!visible()) return;
    lastFrame_ = frame();
    gtk_widget_hide(window_);
}

void Panel::setCompact(bool compact) {
    std::optional<Rect> target = compact ? compact_.turnOn(frame()) : compact_.turnOff();
    if (!target) return;
    applySizeHints();
    gtk_window_resize(GTK_WINDOW(window_), target->width, target->height);
    gtk_window_move(GTK_WINDOW(window_), target->x, target->y);
    lastFrame_ = *target;
    // The new size hints and the resize reach the window manager as separate
    // requests: one that applies the hints first (openbox does, now and then)
    // grows the compact window to the new minimum and drops the resize,
    // leaving 390×560 where 438×720 was asked. Ask again until it holds.
    settleTarget_ = *target;
    settleTries_ = 0;
    if (settleSource_ == 0) settleSource_ = g_timeout_add(150, settleFrame, this);
}

gboolean Panel::settleFrame(gpointer data) {
    auto* self = static_cast<Panel*>(data);
    const Rect now = self->frame();
    const Rect& want = self->settleTarget_;
    const bool settled = now.x == want.x && now.y == want.y && now.width == want.width && now.height == want.height;
    if (settled || ++self->settleTries_ > 10) {
        self->settleSource_ = 0;
        return G_SOURCE_REMOVE;
    }
    gtk_window_resize(GTK_WINDOW(self->window_), want.width, want.height);
    gtk_window_move(GTK_WINDOW(self->window_), want.x, want.y);
    return G_SOURCE_CONTINUE;
}

}  // namespace vantorel::shell
