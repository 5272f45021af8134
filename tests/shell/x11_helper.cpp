// Desktop chores for the panel's smoke test and screenshots, done with GTK
// so that they need nothing beyond what the app itself links:
//   x11_helper grab FILE.png [X Y WIDTH HEIGHT]   the screen (or part) as PNG
//   x11_helper window TITLE                        an ordinary window that takes the focus
#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3 || !gtk_init_check(&argc, &argv)) return 2;
    if (std::strcmp(argv[1], "grab") == 0) {
        GdkWindow* root = gdk_get_default_root_window();
        int x = 0, y = 0, width = gdk_window_get_width(root), height = gdk_window_get_height(root);
        if (argc >= 7) {
            x = std::atoi(argv[3]);
            y = std::atoi(argv[4]);
            width = std::atoi(argv[5]);
            height = std::atoi(argv[6]);
        }
        GdkPixbuf* pixels = gdk_pixbuf_get_from_window(root, x, y, width, height);
        if (!pixels) return 1;
        const gboolean saved = gdk_pixbuf_save(pixels, argv[2], "png", nullptr, nullptr);
        g_object_unref(pixels);
        return saved ? 0 : 1;
    }
    if (std::strcmp(argv[1], "window") == 0) {
        GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(window), argv[2]);
        gtk_window_set_default_size(GTK_WINDOW(window), 300, 200);
        gtk_window_move(GTK_WINDOW(window), 40, 40);
        g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
        gtk_widget_show_all(window);
        gtk_window_present(GTK_WINDOW(window));
        gtk_main();
        return 0;
    }
    return 2;
}
