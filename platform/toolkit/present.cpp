// The peak display's control presented at the display's frames: what was
// drawn in its pixels and the blocks of pages kept with the display copied
// onto it (inside the X server, or into the Wayland pane's buffer), and the
// blocks owed to its pixels until something uses them there.
#include "toolkit/gtk_window.h"

#ifdef GDK_WINDOWING_X11
#include <cairo-xlib.h>
#include <gdk/gdkx.h>
#endif
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>

#include "toolkit/wayland_pane.h"
#endif
#include "toolkit/x11_pixmap.h"

#include <algorithm>

using namespace toolkit;

namespace {

void make_owed(OsWindow* w, const GdkRectangle& area);

} // namespace

OsPixels os_window_pixels(OsWindow* w, const RECT& area) {
    if (!w || w->pixels.empty()) {
        return OsPixels{nullptr, 0, 0};
    }
    make_owed(w, GdkRectangle{area.left, area.top, area.right - area.left, area.bottom - area.top});
    return OsPixels{w->pixels.data(), w->width, w->height};
}

namespace {

// Queues `area` to be presented at the display's next frame.
void present(OsWindow* w, const GdkRectangle& area) {
    // The toolkit draws queued areas at its frame clock's pace, one frame
    // for all of them; an area already queued is not queued again.
    if (w->pending) {
        GdkRectangle joined;
        gdk_rectangle_union(&w->changed, &area, &joined);
        if (gdk_rectangle_equal(&joined, &w->changed)) {
            return;
        }
        w->changed = joined;
    } else {
        w->changed = area;
        w->pending = true;
    }
    const GdkRectangle logical = to_logical(area);
    gtk_widget_queue_draw_area(w->widget, logical.x, logical.y, logical.width, logical.height);
}

void join(GdkRectangle& into, const GdkRectangle& area) {
    if (into.width <= 0 || into.height <= 0) {
        into = area;
    } else {
        gdk_rectangle_union(&into, &area, &into);
    }
}

} // namespace

struct OsSurface {
    cairo_surface_t* surface;
    OsPixels pixels{nullptr, 0, 0}; // the page's own, given at each upload
};

namespace {

// Controls with copies or drawing waiting for the next frame.
std::vector<OsWindow*> presenting;

bool inside(const GdkRectangle& inner, const GdkRectangle& outer) {
    return inner.x >= outer.x && inner.y >= outer.y &&
           inner.x + inner.width <= outer.x + outer.width &&
           inner.y + inner.height <= outer.y + outer.height;
}

// Controls that are owed blocks copied inside the display.
std::vector<OsWindow*> owing;

// Makes the blocks owed to `w` in its own pixels, in order, where they fall
// in `area`; what lies outside it stays owed, in up to four pieces a block.
void make_owed(OsWindow* w, const GdkRectangle& area) {
    // Called before every drawing call on a window or a page: most find
    // nothing owed there, and cost no allocation.
    if (std::none_of(w->owed.begin(), w->owed.end(), [&](const ServerCopy& c) {
            return gdk_rectangle_intersect(&c.to, &area, nullptr);
        })) {
        return;
    }
    std::vector<ServerCopy> still;
    for (const ServerCopy& c : w->owed) {
        GdkRectangle part;
        if (!gdk_rectangle_intersect(&c.to, &area, &part)) {
            still.push_back(c);
            continue;
        }
        const OsPixels& from = c.from->pixels;
        for (int row = 0; row < part.height; ++row) {
            const int from_y = c.from_y + part.y - c.to.y + row;
            const int from_x = c.from_x + part.x - c.to.x;
            memcpy(w->pixels.data() + static_cast<size_t>(part.y + row) * w->width + part.x,
                   from.data + static_cast<size_t>(from_y) * from.width + from_x,
                   static_cast<size_t>(part.width) * sizeof(uint32_t));
        }
        const int right = c.to.x + c.to.width;
        const int bottom = c.to.y + c.to.height;
        const GdkRectangle pieces[] = {
            {c.to.x, c.to.y, c.to.width, part.y - c.to.y},
            {c.to.x, part.y + part.height, c.to.width, bottom - part.y - part.height},
            {c.to.x, part.y, part.x - c.to.x, part.height},
            {part.x + part.width, part.y, right - part.x - part.width, part.height}};
        for (const GdkRectangle& piece : pieces) {
            if (piece.width > 0 && piece.height > 0) {
                still.push_back(ServerCopy{c.from, c.from_x + piece.x - c.to.x,
                                           c.from_y + piece.y - c.to.y, piece});
            }
        }
    }
    w->owed.swap(still);
    if (w->owed.empty()) {
        std::erase(owing, w);
    }
}

// Makes the blocks owed from `area` of `surface`, in every control, before
// the page changes there.
void make_owed_from(OsSurface* surface, const GdkRectangle& area) {
    // From the back: settling may take a window out of `owing`, and only
    // that window.
    for (size_t i = owing.size(); i-- > 0;) {
        OsWindow* w = owing[i];
        std::vector<GdkRectangle> reading;
        for (const ServerCopy& c : w->owed) {
            const GdkRectangle read{c.from_x, c.from_y, c.to.width, c.to.height};
            GdkRectangle part;
            if (c.from == surface && gdk_rectangle_intersect(&read, &area, &part)) {
                reading.push_back(GdkRectangle{part.x + c.to.x - c.from_x,
                                               part.y + c.to.y - c.from_y, part.width,
                                               part.height});
            }
        }
        for (const GdkRectangle& r : reading) {
            make_owed(w, r);
        }
    }
}

// Adds `copy` to `list`, dropping what it makes needless. What a copy covers
// needs no earlier copy. With the copy before it, side by side, it may cover
// a whole strip: then the strips of passes that came within one frame are
// not all copied.
void add_copy(std::vector<ServerCopy>& list, const ServerCopy& copy) {
    const GdkRectangle& to = copy.to;
    GdkRectangle cover = to;
    size_t keep = list.size();
    if (keep > 0) {
        const GdkRectangle& last = list.back().to;
        if (last.y == to.y && last.height == to.height &&
            (last.x + last.width == to.x || to.x + to.width == last.x)) {
            gdk_rectangle_union(&last, &to, &cover);
            --keep;
        }
    }
    for (size_t i = keep; i-- > 0;) {
        if (inside(list[i].to, cover)) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    list.push_back(copy);
}

// A waiting copy from `surface` (inside `area` of it, when given) would copy
// what the page holds no more: its block is sent from the control's own
// pixels instead, which hold what it copied.
void unhook(OsSurface* surface, const GdkRectangle* area) {
    for (OsWindow* w : presenting) {
        std::erase_if(w->copies, [&](const ServerCopy& c) {
            const GdkRectangle read{c.from_x, c.from_y, c.to.width, c.to.height};
            if (c.from != surface || (area && !gdk_rectangle_intersect(&read, area, nullptr))) {
                return false;
            }
            join(w->stale, c.to);
            return true;
        });
    }
}

void present_by_display(OsWindow* w);

// The control's pane, made when it is first presented on the screen; null
// where the toolkit presents it.
WaylandPane* pane_for(OsWindow* w) {
#ifdef GDK_WINDOWING_WAYLAND
    GdkDisplay* display = gtk_widget_get_display(w->widget);
    if (!w->pane && !w->pixels.empty() && GDK_IS_WAYLAND_DISPLAY(display) &&
        gtk_widget_get_mapped(w->widget)) {
        GdkWindow* window = gtk_widget_get_window(gtk_widget_get_toplevel(w->widget));
        if (window && gdk_window_get_scale_factor(window) == window_scale) {
            w->pane = wayland_pane_create(gdk_wayland_display_get_wl_display(display),
                                          gdk_wayland_window_get_wl_surface(window), w->width,
                                          w->height, window_scale);
            // Its first frame is the whole control.
            if (w->pane) {
                join(w->stale, GdkRectangle{0, 0, w->width, w->height});
            }
        }
    }
#endif
    return w->pane;
}

// The waiting copies, from their pages' own pixels, then what was drawn in
// the control's: into the pane's free buffer.
void show_on_pane(OsWindow* w, const std::vector<ServerCopy>& copies, const GdkRectangle& stale) {
#ifdef GDK_WINDOWING_WAYLAND
    int x = 0;
    int y = 0;
    gtk_widget_translate_coordinates(w->widget, gtk_widget_get_toplevel(w->widget), 0, 0, &x, &y);
    if (wayland_pane_place(w->pane, x, y)) {
        // Where it is takes effect with the window's next frame.
        gtk_widget_queue_draw(w->widget);
    }
    make_owed(w, stale);
    std::vector<WaylandPaneBlock> blocks;
    for (const ServerCopy& c : copies) {
        const OsPixels& from = c.from->pixels;
        blocks.push_back(WaylandPaneBlock{from.data, from.width, c.from_x, c.from_y, c.to.x, c.to.y,
                                          c.to.width, c.to.height});
    }
    blocks.push_back(WaylandPaneBlock{w->pixels.data(), w->width, stale.x, stale.y, stale.x,
                                      stale.y, stale.width, stale.height});
    if (!wayland_pane_show(w->pane, blocks.data(), static_cast<int>(blocks.size()))) {
        // The compositor still holds both buffers: at the next frame, the
        // copies from the control's own pixels, which get them then.
        for (const ServerCopy& c : copies) {
            join(w->stale, c.to);
        }
        join(w->stale, stale);
        present_by_display(w);
    }
#endif
}

// The waiting copies, then what was drawn in the control's own pixels.
void present_now(OsWindow* w) {
    w->presented = g_get_monotonic_time();
    std::erase(presenting, w);
    const GdkRectangle stale = w->stale;
    std::vector<ServerCopy> copies;
    copies.swap(w->copies);
    w->stale = GdkRectangle{0, 0, 0, 0};
#ifdef GDK_WINDOWING_X11
    Window xid = 0;
    int x = 0;
    int y = 0;
    w->on_x_screen = server_target(w->widget, &xid, &x, &y);
    if (w->on_x_screen) {
        Display* display = GDK_DISPLAY_XDISPLAY(gtk_widget_get_display(w->widget));
        GC gc = copy_gc(display, xid);
        for (const ServerCopy& c : copies) {
            XCopyArea(display, cairo_xlib_surface_get_drawable(c.from->surface), xid, gc, c.from_x,
                      c.from_y, c.to.width, c.to.height, x + c.to.x, y + c.to.y);
        }
        // Last: the client's pixels are what the control shows now.
        make_owed(w, stale);
        put_pixels(
            display, xid,
            gdk_x11_visual_get_xvisual(gdk_window_get_visual(gtk_widget_get_window(w->widget))),
            w->pixels.data(), w->width, stale, x + stale.x, y + stale.y);
    }
#endif
    if (w->pane) {
        show_on_pane(w, copies, stale);
    }
    // Not on the screen: it is drawn from the client's pixels when it is.
}

gboolean on_frame(GtkWidget*, GdkFrameClock*, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    w->frame = 0;
    present_now(w);
    return G_SOURCE_REMOVE;
}

// The source that presents as soon as the thread is done with what it is
// handling. One per control for its life, made ready when needed: an idle
// source added and freed on every pass would cost an allocation and the
// context's bookkeeping each time.
struct SoonSource {
    GSource source;
    OsWindow* window;
};

gboolean on_soon(GSource* source, GSourceFunc, gpointer) {
    g_source_set_ready_time(source, -1);
    present_now(reinterpret_cast<SoonSource*>(source)->window);
    return G_SOURCE_CONTINUE;
}

void present_soon(OsWindow* w) {
    if (!w->soon) {
        static GSourceFuncs funcs{nullptr, nullptr, on_soon, nullptr, nullptr, nullptr};
        w->soon = g_source_new(&funcs, sizeof(SoonSource));
        reinterpret_cast<SoonSource*>(w->soon)->window = w;
        g_source_set_priority(w->soon, G_PRIORITY_HIGH);
        g_source_attach(w->soon, nullptr);
    }
    g_source_set_ready_time(w->soon, 0);
}

// The waiting copies and drawing go to the screen once per display frame at
// most, however many passes come before it. When a frame has passed since
// the last time, that is as soon as the thread is done with what it is
// handling (an idle source, run before the thread sleeps again); otherwise
// at the next frame. A meter that updates less often than the display then
// costs no wake-up of its own to be shown.
void present_by_display(OsWindow* w) {
    if (w->frame != 0 || (w->soon && g_source_get_ready_time(w->soon) == 0)) {
        return;
    }
    constexpr gint64 kFrameMicroseconds = 1000000 / 60;
    if (g_get_monotonic_time() - w->presented >= kFrameMicroseconds) {
        // Ahead of the display's event source: a loop iteration that runs
        // this one skips that source, whose preparation flushes what is
        // queued for the display, so the pass's requests leave in one write.
        present_soon(w);
    } else {
        w->frame = gtk_widget_add_tick_callback(w->widget, on_frame, w, nullptr);
    }
    presenting.push_back(w);
}

} // namespace

void toolkit::drop_pane(OsWindow* w) {
#ifdef GDK_WINDOWING_WAYLAND
    wayland_pane_destroy(w->pane);
#endif
    w->pane = nullptr;
}

void toolkit::forget_presenting(OsWindow* w) {
    std::erase(presenting, w);
    std::erase(owing, w);
    w->frame = 0; // its tick callback goes with the widget
    if (w->soon) {
        g_source_destroy(w->soon);
        g_source_unref(w->soon);
        w->soon = nullptr;
    }
}

gboolean toolkit::on_draw_pixels(GtkWidget*, cairo_t* cr, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    // The toolkit has clipped cr to what was queued (and to any damage).
    w->pending = false;
    make_owed(w, GdkRectangle{0, 0, w->width, w->height});
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(w->pixels.data()),
                                            CAIRO_FORMAT_RGB24, w->width, w->height, w->width * 4);
    cairo_surface_set_device_scale(surface, window_scale, window_scale);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_surface_destroy(surface);
    return TRUE;
}

// The pane goes when the control leaves the screen (hidden itself, or with
// its window): a subsurface would still show over a hidden control. It is
// made again, on the window's surface as it then is, once the control is
// back and drawn on.
void toolkit::on_unmapped(GtkWidget*, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    w->on_x_screen = false;
    drop_pane(w);
}

void os_window_redraw(OsWindow* w, const RECT& changed) {
    if (!w || changed.right <= changed.left || changed.bottom <= changed.top) {
        return;
    }
    const GdkRectangle area{changed.left, changed.top, changed.right - changed.left,
                            changed.bottom - changed.top};
    if (w->by_display || pane_for(w)) {
        join(w->stale, area);
        present_by_display(w);
    } else {
        present(w, area);
    }
}

OsSurface* os_surface_create(OsWindow* like, int width, int height) {
    if (!like) {
        return nullptr;
    }
    // On Wayland the page stays the client's, and is copied straight into
    // the pane's buffer: no copy of it in the control's own pixels.
    if (pane_for(like)) {
        return new OsSurface{nullptr};
    }
    cairo_surface_t* surface = server_surface(like->widget, width, height);
    return surface ? new OsSurface{surface} : nullptr;
}

void os_surface_destroy(OsSurface* surface) {
    if (surface) {
        make_owed_from(surface, GdkRectangle{0, 0, surface->pixels.width, surface->pixels.height});
        unhook(surface, nullptr);
        cairo_surface_destroy(surface->surface);
        delete surface;
    }
}

void os_surface_upload(OsSurface* surface, OsPixels pixels, const RECT& area, const OsFill* fills,
                       int fill_count) {
    if (!surface || !pixels.data) {
        return;
    }
    surface->pixels = pixels;
    if (surface->surface) {
        cairo_surface_flush(surface->surface);
    }
    auto within = [&](const RECT& r) {
        const int left = std::max<int>(r.left, 0);
        const int top = std::max<int>(r.top, 0);
        return GdkRectangle{left, top, std::min<int>(r.right, pixels.width) - left,
                            std::min<int>(r.bottom, pixels.height) - top};
    };
    // The fills in their order, then the pixels: those are the page as it is
    // now, so they stand whatever a fill did there before them.
    for (int i = 0; i < fill_count; ++i) {
        const GdkRectangle filled = within(fills[i].area);
        if (filled.width > 0 && filled.height > 0) {
            unhook(surface, &filled);
            if (surface->surface) {
                fill_on_server(surface->surface, filled, fills[i].value);
            }
        }
    }
    const GdkRectangle sent = within(area);
    if (sent.width > 0 && sent.height > 0) {
        unhook(surface, &sent);
        if (surface->surface) {
            upload(surface->surface, pixels.data, pixels.width, sent);
        }
    }
    if (surface->surface) {
        cairo_surface_mark_dirty(surface->surface);
    }
}

namespace {

// Whether copies from `from` onto `w` are made by the display: an X
// pixmap's inside the X server, a client page's into the pane's buffer.
bool shown_by_display(OsWindow* w, OsSurface* from) {
#ifdef GDK_WINDOWING_X11
    if (from->surface) {
        // Looked up only until a frame has found the control: after that
        // each frame looks again, and once a pass is enough.
        if (!w->on_x_screen) {
            Window xid = 0;
            int x = 0;
            int y = 0;
            w->on_x_screen = server_target(w->widget, &xid, &x, &y);
        }
        return w->on_x_screen;
    }
#endif
    return pane_for(w) != nullptr;
}

} // namespace

void os_surface_will_change(OsSurface* surface, const RECT& area) {
    if (surface && !owing.empty()) {
        make_owed_from(surface, GdkRectangle{area.left, area.top, area.right - area.left,
                                             area.bottom - area.top});
    }
}

bool os_window_copy(OsWindow* w, int x, int y, int width, int height, OsSurface* from, int from_x,
                    int from_y) {
    if (!w || !from || w->pixels.empty() || width <= 0 || height <= 0 ||
        !shown_by_display(w, from)) {
        return false;
    }
    const GdkRectangle to{x, y, width, height};
    if (inside(w->stale, to)) {
        w->stale = GdkRectangle{0, 0, 0, 0};
    }
    // From now on the server presents it. The toolkit may still have a draw
    // from the client's pixels queued: the same picture.
    w->by_display = true;
    add_copy(w->copies, ServerCopy{from, from_x, from_y, to});
    if (w->owed.empty()) {
        owing.push_back(w);
    }
    add_copy(w->owed, ServerCopy{from, from_x, from_y, to});
    // Copies that never cover each other are made at once past a few, so
    // that what is owed stays small whatever a caller copies.
    constexpr size_t kMostOwed = 64;
    if (w->owed.size() > kMostOwed) {
        make_owed(w, GdkRectangle{0, 0, w->width, w->height});
    }
    present_by_display(w);
    return true;
}
