// The monitors and the pointer.
#include "toolkit/gtk_window.h"

using namespace toolkit;

int os_monitor_count() {
    return os_open_display() ? gdk_display_get_n_monitors(gdk_display_get_default()) : 0;
}

int os_monitor_nearest(const RECT& rect) {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* nearest =
        gdk_display_get_monitor_at_point(display, to_logical((rect.left + rect.right) / 2),
                                         to_logical((rect.top + rect.bottom) / 2));
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
        if (gdk_display_get_monitor(display, i) == nearest) {
            return i;
        }
    }
    return 0;
}

bool os_monitor_rects(int index, RECT* monitor, RECT* work_area) {
    if (!os_open_display() || index < 0 || index >= os_monitor_count()) {
        return false;
    }
    GdkMonitor* m = gdk_display_get_monitor(gdk_display_get_default(), index);
    GdkRectangle g;
    gdk_monitor_get_geometry(m, &g);
    const int k = window_scale;
    *monitor = RECT{g.x * k, g.y * k, (g.x + g.width) * k, (g.y + g.height) * k};
    gdk_monitor_get_workarea(m, &g);
    *work_area = RECT{g.x * k, g.y * k, (g.x + g.width) * k, (g.y + g.height) * k};
    return true;
}

bool os_pointer_position(HWND* over, POINT* point) {
    GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!pointer) {
        return false;
    }
    int x = 0;
    int y = 0;
    if (GdkWindow* under = gdk_device_get_window_at_position(pointer, nullptr, nullptr)) {
        GdkWindow* top = gdk_window_get_toplevel(under);
        gpointer widget = nullptr;
        gdk_window_get_user_data(top, &widget);
        auto* w =
            widget ? static_cast<OsWindow*>(g_object_get_data(G_OBJECT(widget), "sonaret-window"))
                   : nullptr;
        if (w) {
            gdk_window_get_device_position(top, pointer, &x, &y, nullptr);
            // From the window's surface (with any decorations the toolkit
            // draws) to its client area.
            int client_x = 0;
            int client_y = 0;
            gtk_widget_translate_coordinates(w->widget, w->fixed, x, y, &client_x, &client_y);
            *over = w->hwnd;
            *point = POINT{client_x * window_scale, client_y * window_scale};
            return true;
        }
    }
    if (!x11_display()) {
        return false;
    }
    gdk_device_get_position(pointer, nullptr, &x, &y);
    *over = nullptr;
    *point = POINT{x * window_scale, y * window_scale};
    return true;
}
