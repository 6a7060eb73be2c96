// The desktop session as the toolkit meets it: the ways a session ends a
// program (a termination signal, the display going away), each reported once
// on the window thread with user_event_session_end, and the session
// manager's inhibitor that makes a log-out ask the user first.
#include "toolkit/os_window.h"
#include "toolkit/session.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include <poll.h>
#include <signal.h>

#include <string>

namespace {

// SIGTERM is what systemd and the session manager send at log-out and
// shut-down; SIGHUP comes with a closed terminal or a hung-up session; SIGINT
// with Ctrl+C. GLib turns each into a source on the loop (a pipe written by
// its own handler), so nothing of this runs inside a signal handler.
gboolean on_signal(gpointer /*unused*/) {
    user_event_session_end(0);
    return G_SOURCE_REMOVE;
}

// The display's socket hung up: the X server ended (as at log-out, or a
// remote session dropped) or the compositor did.
bool hung_up(int fd) {
    pollfd watched{fd, POLLRDHUP, 0};
    return poll(&watched, 1, 0) == 1 &&
           (watched.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL)) != 0;
}

struct DisplayWatch {
    GSource source;
    int fd;
};

// Looked at before each pass of the loop as well as after its wait: the
// toolkit ends the process on the spot when it finds its display gone (GDK
// calls _exit from its own source), so this source, ahead of every other,
// must see it first. One poll() a pass.
gboolean watch_prepare(GSource* source, gint* timeout) {
    *timeout = -1;
    return hung_up(reinterpret_cast<DisplayWatch*>(source)->fd);
}

gboolean watch_check(GSource* source) {
    return hung_up(reinterpret_cast<DisplayWatch*>(source)->fd);
}

gboolean watch_dispatch(GSource* /*source*/, GSourceFunc /*callback*/, gpointer /*data*/) {
    user_event_session_end(ENDSESSION_LOGOFF);
    return G_SOURCE_REMOVE;
}

GSourceFuncs watch_funcs = {watch_prepare, watch_check, watch_dispatch, nullptr, nullptr, nullptr};

#ifdef GDK_WINDOWING_X11
// Xlib finds the server gone in the middle of a call (a drawing, a reply):
// the files are completed from here, which needs no display, since Xlib
// ends the process when this returns.
int on_x_io_error(Display* /*display*/) {
    user_event_session_end(ENDSESSION_LOGOFF);
    return 0;
}
#endif

int display_fd(GdkDisplay* display) {
#ifdef GDK_WINDOWING_X11
    if (GDK_IS_X11_DISPLAY(display)) {
        return ConnectionNumber(gdk_x11_display_get_xdisplay(display));
    }
#endif
#ifdef GDK_WINDOWING_WAYLAND
    if (GDK_IS_WAYLAND_DISPLAY(display)) {
        return wl_display_get_fd(gdk_wayland_display_get_wl_display(display));
    }
#endif
    return -1;
}

// The session manager's inhibitor (org.gnome.SessionManager, which GNOME,
// MATE and Cinnamon answer): held while a window gives a reason. The calls
// are asynchronous, so that a session manager that is slow to answer never
// holds up the window; without a session bus or a manager nothing happens.
constexpr const char* kManager = "org.gnome.SessionManager";
constexpr const char* kManagerPath = "/org/gnome/SessionManager";
constexpr guint32 kInhibitLogout = 1;

struct Inhibitor {
    GDBusConnection* bus = nullptr;
    bool connecting = false;
    bool bus_tried = false; // a bus that could not be had is not tried again
    bool asking = false;    // an Inhibit call has no answer yet
    bool wanted = false;    // a window gives a reason
    bool asked = false;     // ... and the manager was asked for this reason
    std::string reason;
    guint32 cookie = 0; // the manager's, while it is held
};
Inhibitor inhibitor;

void follow_wish();

void on_inhibited(GObject* bus, GAsyncResult* result, gpointer /*data*/) {
    inhibitor.asking = false;
    if (GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, nullptr)) {
        g_variant_get(reply, "(u)", &inhibitor.cookie);
        g_variant_unref(reply);
    }
    follow_wish(); // the reason may have gone meanwhile
}

void on_bus(GObject* /*source*/, GAsyncResult* result, gpointer /*data*/) {
    inhibitor.connecting = false;
    inhibitor.bus = g_bus_get_finish(result, nullptr);
    if (inhibitor.bus != nullptr) {
        // The bus's end is no reason for the program to end (GLib's shared
        // connection raises SIGTERM then).
        g_dbus_connection_set_exit_on_close(inhibitor.bus, FALSE);
    }
    follow_wish();
}

// Brings the inhibitor to what the windows want, one call at a time.
void follow_wish() {
    if (inhibitor.connecting || inhibitor.asking) {
        return;
    }
    if (inhibitor.bus == nullptr) {
        // Only a session bus the session names: GLib would otherwise start
        // one of its own for the display, which outlives the program.
        if (inhibitor.wanted && !inhibitor.bus_tried &&
            g_getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr) {
            inhibitor.bus_tried = true;
            inhibitor.connecting = true;
            g_bus_get(G_BUS_TYPE_SESSION, nullptr, on_bus, nullptr);
        }
        return;
    }
    if (inhibitor.wanted && !inhibitor.asked) {
        // Once for each reason given: a manager that refuses, or none, is
        // not asked again and again.
        inhibitor.asked = true;
        inhibitor.asking = true;
        g_dbus_connection_call(
            inhibitor.bus, kManager, kManagerPath, kManager, "Inhibit",
            g_variant_new("(susu)", SONARET_APP_ID, 0u, inhibitor.reason.c_str(), kInhibitLogout),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, on_inhibited,
            nullptr);
    } else if (!inhibitor.wanted) {
        inhibitor.asked = false;
        if (inhibitor.cookie == 0) {
            return;
        }
        g_dbus_connection_call(inhibitor.bus, kManager, kManagerPath, kManager, "Uninhibit",
                               g_variant_new("(u)", inhibitor.cookie), nullptr,
                               G_DBUS_CALL_FLAGS_NO_AUTO_START, -1, nullptr, nullptr, nullptr);
        inhibitor.cookie = 0;
    }
}

} // namespace

void session_watch_start() {
    for (int signal_number : {SIGTERM, SIGHUP, SIGINT}) {
        g_unix_signal_add(signal_number, on_signal, nullptr);
    }
    GdkDisplay* display = gdk_display_get_default();
    const int fd = display != nullptr ? display_fd(display) : -1;
    if (fd >= 0) {
        GSource* source = g_source_new(&watch_funcs, sizeof(DisplayWatch));
        reinterpret_cast<DisplayWatch*>(source)->fd = fd;
        g_source_add_unix_fd(source, fd, static_cast<GIOCondition>(G_IO_HUP | G_IO_ERR));
        g_source_set_priority(source, G_PRIORITY_HIGH - 100);
        g_source_attach(source, nullptr);
        g_source_unref(source);
    }
#ifdef GDK_WINDOWING_X11
    if (display != nullptr && GDK_IS_X11_DISPLAY(display)) {
        XSetIOErrorHandler(on_x_io_error);
    }
#endif
}

void os_session_inhibit(const char* reason) {
    inhibitor.wanted = true;
    inhibitor.reason = reason;
    follow_wish();
}

void os_session_uninhibit() {
    inhibitor.wanted = false;
    follow_wish();
}
