// Input from the toolkit: keys, clicks, the close box, focus, a moved or
// mapped window, each reported to the user area; and the time of the
// user's latest input, which activating a window needs.
#include "toolkit/gtk_window.h"

#include <iterator>

#ifdef GDK_WINDOWING_X11
#include <X11/extensions/XInput2.h>
#include <gdk/gdkx.h>
#endif

namespace {

// The time of the user's latest input that reached us, for the window
// manager's focus-stealing prevention: a request to activate a window with
// no time (0) is one it must guess about, and logs as a buggy client's.
guint32 last_user_time = 0;

#ifdef GDK_WINDOWING_X11
// The X server repeats a held key as more presses, and GDK passes them on
// like the first. Its input extension marks the repeats; the key events GDK
// makes of them carry the same time and key code, which are kept here for
// the few events GDK may translate before it dispatches them. (On Wayland
// the toolkit repeats a key itself, and stops when the window loses the
// keyboard, so a repeat never reaches another window there.)
struct KeyRepeat {
    guint32 time = 0;
    guint16 code = 0;
};
KeyRepeat key_repeats[8];
unsigned next_key_repeat = 0;
int input_extension = -1;

GdkFilterReturn note_key_repeat(GdkXEvent* native, GdkEvent*, gpointer) {
    const auto* event = static_cast<XEvent*>(native);
    if (event->type == GenericEvent && event->xcookie.extension == input_extension &&
        event->xcookie.evtype == XI_KeyPress && event->xcookie.data != nullptr) {
        const auto* key = static_cast<const XIDeviceEvent*>(event->xcookie.data);
        if ((key->flags & XIKeyRepeat) != 0) {
            key_repeats[next_key_repeat++ % std::size(key_repeats)] = {
                static_cast<guint32>(key->time), static_cast<guint16>(key->detail)};
        }
    }
    return GDK_FILTER_CONTINUE;
}
#endif

bool key_repeated(const GdkEventKey* event) {
#ifdef GDK_WINDOWING_X11
    for (const KeyRepeat& r : key_repeats) {
        if (r.time == event->time && r.code == event->hardware_keycode && r.time != 0) {
            return true;
        }
    }
#endif
    (void)event;
    return false;
}

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

void watch_key_repeats() {
#ifdef GDK_WINDOWING_X11
    GdkDisplay* display = gdk_display_get_default();
    int first_event = 0;
    int first_error = 0;
    if (GDK_IS_X11_DISPLAY(display) &&
        XQueryExtension(GDK_DISPLAY_XDISPLAY(display), "XInputExtension", &input_extension,
                        &first_event, &first_error)) {
        gdk_window_add_filter(nullptr, note_key_repeat, nullptr);
    }
#endif
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
                   (event->state & GDK_SHIFT_MASK) != 0 || event->keyval == GDK_KEY_ISO_Left_Tab,
                   key_repeated(event));
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
