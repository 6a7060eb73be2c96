// Pages kept in the X server as pixmaps (toolkit/x11_pixmap.cpp); on a
// toolkit without X11 there are none.
#pragma once

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <stdint.h>

namespace toolkit {

#ifdef GDK_WINDOWING_X11
// The one GC for copies: no graphics exposures.
GC copy_gc(Display* display, Drawable drawable);
// The X window that shows `widget` and where it lies there, in device pixels.
bool server_target(GtkWidget* widget, Window* xid, int* x, int* y);
// Sends `area` of `pixels` (`width` pixels a row) to (x, y) of `drawable`.
void put_pixels(Display* display, Drawable drawable, Visual* visual, const uint32_t* pixels,
                int width, const GdkRectangle& area, int x, int y);
// Pixels and fills sent into a pixmap surface, behind cairo's back.
void upload(cairo_surface_t* target, const uint32_t* pixels, int width, const GdkRectangle& area);
void fill_on_server(cairo_surface_t* target, const GdkRectangle& area, uint32_t value);
// A pixmap like `widget`'s window; null where it can't be one.
cairo_surface_t* server_surface(GtkWidget* widget, int width, int height);
#else
inline void upload(cairo_surface_t*, const uint32_t*, int, const GdkRectangle&) {}
inline void fill_on_server(cairo_surface_t*, const GdkRectangle&, uint32_t) {}
inline cairo_surface_t* server_surface(GtkWidget*, int, int) {
    return nullptr;
}
#endif

} // namespace toolkit
