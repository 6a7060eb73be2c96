// Pages kept in the X server as pixmaps (toolkit/x11_pixmap.cpp); on a
// toolkit without X11 there are none.
#pragma once

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <stdint.h>

#include <vector>

#include "toolkit/gtk_window.h"

namespace toolkit {

#ifdef GDK_WINDOWING_X11
// The one GC for copies: no graphics exposures.
GC copy_gc(Display* display, Drawable drawable);
// The X window that shows `widget` and where it lies there, in device pixels.
bool server_target(GtkWidget* widget, Window* xid, int* x, int* y);
// Sends `area` of `pixels` (`width` pixels a row) to (x, y) of `drawable`.
void put_pixels(Display* display, Drawable drawable, Visual* visual, const uint32_t* pixels,
                int width, const Area& area, int x, int y);
// Pixels and fills sent into a pixmap surface, behind cairo's back.
void upload(cairo_surface_t* target, const uint32_t* pixels, int width, const Area& area);
void fill_on_server(cairo_surface_t* target, const Area& area, uint32_t value);
// A pixmap like `widget`'s window; null where it can't be one.
cairo_surface_t* server_surface(GtkWidget* widget, int width, int height);
// The control presented by the X server: the copies, then `stale` of its
// own pixels. False when it is not on the X screen.
bool present_on_x11(OsWindow* w, const std::vector<SurfaceBlock>& copies, const Area& stale);
#else
inline void upload(cairo_surface_t*, const uint32_t*, int, const Area&) {}
inline void fill_on_server(cairo_surface_t*, const Area&, uint32_t) {}
inline cairo_surface_t* server_surface(GtkWidget*, int, int) {
    return nullptr;
}
inline bool present_on_x11(OsWindow*, const std::vector<SurfaceBlock>&, const Area&) {
    return false;
}
#endif

} // namespace toolkit
