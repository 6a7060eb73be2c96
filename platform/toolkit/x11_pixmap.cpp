// Pages kept in the X server, as pixmaps: made like a window, written and
// copied with Xlib's own requests.
#include "toolkit/gtk_window.h"

#ifdef GDK_WINDOWING_X11
#include <cairo-xlib.h>
#include <gdk/gdkx.h>

#include "toolkit/x11_pixmap.h"

namespace {

bool plain_visual(const Visual* visual, int depth) {
    return visual && depth == 24 && visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
           visual->blue_mask == 0xFF;
}

} // namespace

namespace toolkit {

// Pixmaps in the X server are written with Xlib's own copy and put-image
// requests, not cairo: cairo keeps a pixmap it was given an image to draw in
// a client-side copy for a while, and would then composite the pages' copies
// in the client, reading them back from the server first.
GC copy_gc(Display* display, Drawable drawable) {
    static Display* made_for = nullptr;
    static GC gc = nullptr;
    if (made_for != display) {
        // No GraphicsExpose or NoExpose event for every copy: what a copy
        // could not take from a page is sent from the client instead.
        XGCValues values{};
        values.graphics_exposures = False;
        gc = XCreateGC(display, drawable, GCGraphicsExposures, &values);
        made_for = display;
    }
    return gc;
}

// Sends `area` of `pixels` (`width` pixels a row), and only that, to (x, y)
// of `drawable`, whose pixels are 0x00RRGGBB.
void put_pixels(Display* display, Drawable drawable, Visual* visual, const uint32_t* pixels,
                int width, const Area& area, int x, int y) {
    if (area.empty()) {
        return;
    }
    XImage* image =
        XCreateImage(display, visual, 24, ZPixmap, 0,
                     reinterpret_cast<char*>(const_cast<uint32_t*>(pixels) +
                                             static_cast<size_t>(area.y) * width + area.x),
                     area.w, area.h, 32, width * 4);
    if (!image) {
        return;
    }
    // The pixels are 32-bit words in this machine's order; Xlib swaps them
    // for a server of the other.
    const uint32_t probe = 1;
    image->byte_order = *reinterpret_cast<const unsigned char*>(&probe) ? LSBFirst : MSBFirst;
    XPutImage(display, drawable, copy_gc(display, drawable), image, 0, 0, x, y, area.w, area.h);
    image->data = nullptr; // ours, not Xlib's to free
    XDestroyImage(image);
}

// A pixmap's pixels drawn by Xlib, behind cairo's back: callers flush the
// surface before and mark it dirty after.
void upload(cairo_surface_t* target, const uint32_t* pixels, int width, const Area& area) {
    put_pixels(cairo_xlib_surface_get_display(target), cairo_xlib_surface_get_drawable(target),
               cairo_xlib_surface_get_visual(target), pixels, width, area, area.x, area.y);
}

// Its pixels are plain 0x00RRGGBB, so a fill with one of them is exact.
void fill_on_server(cairo_surface_t* target, const Area& area, uint32_t value) {
    Display* display = cairo_xlib_surface_get_display(target);
    const Drawable drawable = cairo_xlib_surface_get_drawable(target);
    // The copies' GC: they take no colour from it.
    GC gc = copy_gc(display, drawable);
    XSetForeground(display, gc, value);
    XFillRectangle(display, drawable, gc, area.x, area.y, static_cast<unsigned>(area.w),
                   static_cast<unsigned>(area.h));
}

// A pixmap in the X server like `widget`'s window, width x height device
// pixels at one pixel per unit; null off X11, before the widget is realized,
// or when its pixels are not the bitmaps' own 0x00RRGGBB.
cairo_surface_t* server_surface(GtkWidget* widget, int width, int height) {
    GdkWindow* window = gtk_widget_get_realized(widget) ? gtk_widget_get_window(widget) : nullptr;
    if (!window || !x11_display()) {
        return nullptr;
    }
    cairo_surface_t* surface = gdk_window_create_similar_surface(
        window, CAIRO_CONTENT_COLOR, (width + window_scale - 1) / window_scale,
        (height + window_scale - 1) / window_scale);
    const bool xlib = cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
                      cairo_surface_get_type(surface) == CAIRO_SURFACE_TYPE_XLIB;
    if (!xlib || !plain_visual(cairo_xlib_surface_get_visual(surface),
                               cairo_xlib_surface_get_depth(surface))) {
        // Kept in the client after all: a second copy of the pixels there
        // would only cost.
        cairo_surface_destroy(surface);
        return nullptr;
    }
    cairo_surface_set_device_scale(surface, 1, 1);
    return surface;
}

// The X window that shows `widget` and where the widget lies in it, in
// device pixels; false when it is not on the screen or its pixels are not
// plain 0x00RRGGBB.
bool server_target(GtkWidget* widget, Window* xid, int* x, int* y) {
    if (!x11_display() || !gtk_widget_is_drawable(widget)) {
        return false;
    }
    GdkWindow* window = gtk_widget_get_window(widget);
    int left = 0;
    int top = 0;
    // The toolkit's child windows live in the client; the nearest native
    // one is the X window they are drawn in.
    while (window && !gdk_window_has_native(window)) {
        int wx = 0;
        int wy = 0;
        gdk_window_get_position(window, &wx, &wy);
        left += wx;
        top += wy;
        window = gdk_window_get_parent(window);
    }
    if (!window || !GDK_IS_X11_WINDOW(window)) {
        return false;
    }
    GdkVisual* visual = gdk_window_get_visual(window);
    if (!plain_visual(gdk_x11_visual_get_xvisual(visual), gdk_visual_get_depth(visual))) {
        return false;
    }
    *xid = GDK_WINDOW_XID(window);
    *x = left * window_scale;
    *y = top * window_scale;
    return true;
}

// The waiting copies, made by the server from the pages' pixmaps, then
// `stale` of the control's own pixels; false when the control is not on
// the X screen (nothing is sent).
bool present_on_x11(OsWindow* w, const std::vector<SurfaceBlock>& copies, const Area& stale) {
    Window xid = 0;
    int x = 0;
    int y = 0;
    if (!server_target(w->widget, &xid, &x, &y)) {
        return false;
    }
    Display* display = GDK_DISPLAY_XDISPLAY(gtk_widget_get_display(w->widget));
    GC gc = copy_gc(display, xid);
    for (const SurfaceBlock& c : copies) {
        XCopyArea(display, cairo_xlib_surface_get_drawable(c.from->surface), xid, gc, c.from_x,
                  c.from_y, c.to.w, c.to.h, x + c.to.x, y + c.to.y);
    }
    // Last: the client's pixels are what the control shows now.
    put_pixels(display, xid,
               gdk_x11_visual_get_xvisual(gdk_window_get_visual(gtk_widget_get_window(w->widget))),
               w->shown->pixels.data(), w->width, stale, x + stale.x, y + stale.y);
    return true;
}

} // namespace toolkit

#endif
