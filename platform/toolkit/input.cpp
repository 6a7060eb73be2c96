// Input from the toolkit: keys, clicks, the close box, focus, a moved or
// mapped window, each reported to the user area; and the time of the
// user's latest input, which activating a window needs.
#include "toolkit/gtk_window.h"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

namespace {

// The time of the user's latest input that reached us, for the window
// manager's focus-stealing prevention: a request to activate a window with
// no time (0) is one it must guess about, and logs as a buggy client's.
guint32 last_user_time = 0;

} // namespace

namespace toolkit {

void note_user_time(guint32 time) {
    if (time != GDK_CURRENT_TIME) {
        last_user_time = time;
    }
}

guint32 user_time(GtkWidget* window) {
    note_user_time(gtk_get_current_event_time());
    if (last_user_time != GDK_CURRENT_TIME) {
        return last_user_time;
    }
#ifdef GDK_WINDOWING_X11
    // Before the first input (the main window at start-up) the X server's
    // own time stands in; Wayland has no timestamps to give here.
    if (GdkWindow* gdk_window = gtk_widget_get_window(window); GDK_IS_X11_WINDOW(gdk_window)) {
        return gdk_x11_get_server_time(gdk_window);
    }
#endif
    (void)window;
    return GDK_CURRENT_TIME;
}

void activate(GtkWidget* window) {
    gtk_window_present_with_time(GTK_WINDOW(window), user_time(window));
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    user_event_close(static_cast<OsWindow*>(data)->hwnd);
    return TRUE; // the program decides whether the window goes
}

gboolean on_key(GtkWidget*, GdkEventKey* event, gpointer data) {
    note_user_time(event->time);
    int key = 0;
    switch (event->keyval) {
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
        key = VK_TAB;
        break;
    case GDK_KEY_Escape:
        key = VK_ESCAPE;
        break;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        key = VK_RETURN;
        break;
    case GDK_KEY_space:
        key = VK_SPACE;
        break;
    default:
        return FALSE;
    }
    // The dialog manager, not GTK, moves the focus and presses buttons.
    user_event_key(static_cast<OsWindow*>(data)->hwnd, key,
                   (event->state & GDK_SHIFT_MASK) != 0 || event->keyval == GDK_KEY_ISO_Left_Tab);
    return TRUE;
}

gboolean on_configure(GtkWidget*, GdkEvent*, gpointer data) {
    // On X11 the program learns where its client area really is (a window
    // manager puts its frame where the program asked, and the client area
    // inside it). A Wayland compositor tells no positions: there the
    // windows stay where the program placed them, a screen of its own.
    auto* w = static_cast<OsWindow*>(data);
    if (x11_display() && gtk_widget_get_realized(w->fixed)) {
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(w->fixed), &x, &y);
        user_event_moved(w->hwnd, x * window_scale, y * window_scale);
    }
    return FALSE;
}

gboolean on_mapped(GtkWidget* widget, GdkEvent*, gpointer data) {
    // A shown dialog is the active window and takes the keyboard, as
    // ShowWindow makes it on Windows; asking before it is on the screen
    // does nothing without a window manager. Only once per show: on
    // Wayland presenting a mapped window maps it again.
    auto* w = static_cast<OsWindow*>(data);
    if (w->activate_on_map) {
        w->activate_on_map = false;
        activate(widget);
    }
    return FALSE;
}

void on_clicked(GtkButton*, gpointer data) {
    note_user_time(gtk_get_current_event_time());
    user_event_click(static_cast<OsWindow*>(data)->hwnd);
}

gboolean on_link(GtkLinkButton*, gpointer) {
    return TRUE; // the program opens what the link means (its click came first)
}

gboolean on_focus_in(GtkWidget*, GdkEvent*, gpointer data) {
    user_event_focus(static_cast<OsWindow*>(data)->hwnd);
    return FALSE;
}

} // namespace toolkit
