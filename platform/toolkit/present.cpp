// The peak display's control presented at the display's frames: the blocks
// of pages kept with the display copied onto it (inside the X server, or
// into the Wayland pane's buffer), then what was drawn in its own pixels.
// What the pixels are owed meanwhile is display_page's.
#include "toolkit/gtk_window.h"

#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>

#include "toolkit/wayland_pane.h"
#endif
#include "toolkit/x11_pixmap.h"

#include <algorithm>

using namespace toolkit;

namespace {

OsPageEvents page_events{nullptr, nullptr};

// What is owed to `area` of the control's pixels is made there first.
void reading(OsWindow* w, const Area& area) {
    if (page_events.reading) {
        page_events.reading(w, area);
    }
}

} // namespace

void os_set_page_events(const OsPageEvents& events) {
    page_events = events;
}

OsPixels os_window_pixels(OsWindow* w) {
    if (!w || !w->shown) {
        return OsPixels{nullptr, 0, 0};
    }
    return OsPixels{w->shown->pixels.data(), w->width, w->height};
}

namespace {

// Queues `area` to be presented at the display's next frame.
void present(OsWindow* w, const Area& area) {
    // The toolkit draws queued areas at its frame clock's pace, one frame
    // for all of them; an area already queued is not queued again.
    if (w->shown->pending) {
        if (inside(area, w->shown->changed)) {
            return;
        }
        w->shown->changed = joined(w->shown->changed, area);
    } else {
        w->shown->changed = area;
        w->shown->pending = true;
    }
    const Area logical = to_logical(area);
    gtk_widget_queue_draw_area(w->widget, logical.x, logical.y, logical.w, logical.h);
}

// Controls with copies or drawing waiting for the next frame.
std::vector<OsWindow*> presenting;

// A waiting copy from `surface` (inside `area` of it, when given) would copy
// what the page holds no more: its block is sent from the control's own
// pixels instead, which hold what it copied.
void unhook(OsSurface* surface, const Area* area) {
    for (OsWindow* w : presenting) {
        std::erase_if(w->shown->copies, [&](const SurfaceBlock& c) {
            if (c.from != surface || (area && common(c.read(c.to), *area).empty())) {
                return false;
            }
            w->shown->stale = joined(w->shown->stale, c.to);
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
    if (!w->shown->pane && GDK_IS_WAYLAND_DISPLAY(display) && gtk_widget_get_mapped(w->widget)) {
        GdkWindow* window = gtk_widget_get_window(gtk_widget_get_toplevel(w->widget));
        if (window && gdk_window_get_scale_factor(window) == window_scale) {
            w->shown->pane = wayland_pane_create(gdk_wayland_display_get_wl_display(display),
                                                 gdk_wayland_window_get_wl_surface(window),
                                                 w->width, w->height, window_scale);
            // Its first frame is the whole control.
            if (w->shown->pane) {
                w->shown->stale = joined(w->shown->stale, Area{0, 0, w->width, w->height});
            }
        }
    }
#endif
    return w->shown->pane;
}

// The waiting copies, from their pages' own pixels, then what was drawn in
// the control's: into the pane's free buffer.
void show_on_pane(OsWindow* w, const std::vector<SurfaceBlock>& copies, const Area& stale) {
#ifdef GDK_WINDOWING_WAYLAND
    int x = 0;
    int y = 0;
    gtk_widget_translate_coordinates(w->widget, gtk_widget_get_toplevel(w->widget), 0, 0, &x, &y);
    if (wayland_pane_place(w->shown->pane, x, y)) {
        // Where it is takes effect with the window's next frame.
        gtk_widget_queue_draw(w->widget);
    }
    std::vector<WaylandPaneBlock> blocks;
    for (const SurfaceBlock& c : copies) {
        const OsPixels& from = c.from->pixels;
        blocks.push_back(WaylandPaneBlock{from.data, from.width, c.from_x, c.from_y, c.to});
    }
    blocks.push_back(WaylandPaneBlock{w->shown->pixels.data(), w->width, stale.x, stale.y, stale});
    if (!wayland_pane_show(w->shown->pane, blocks.data(), static_cast<int>(blocks.size()))) {
        // The compositor still holds both buffers: at the next frame, the
        // copies from the control's own pixels, which get them then.
        for (const SurfaceBlock& c : copies) {
            w->shown->stale = joined(w->shown->stale, c.to);
        }
        w->shown->stale = joined(w->shown->stale, stale);
        present_by_display(w);
    }
#endif
}

// The waiting copies, then what was drawn in the control's own pixels.
void present_now(OsWindow* w) {
    w->shown->presented = g_get_monotonic_time();
    std::erase(presenting, w);
    const Area stale = w->shown->stale;
    std::vector<SurfaceBlock> copies;
    copies.swap(w->shown->copies);
    w->shown->stale = Area{};
    // What the copies put on the screen is still owed to the pixels there.
    reading(w, stale);
    w->shown->on_x_screen = present_on_x11(w, copies, stale);
    if (w->shown->pane) {
        show_on_pane(w, copies, stale);
    }
    // Not on the screen: it is drawn from the client's pixels when it is.
}

gboolean on_frame(GtkWidget*, GdkFrameClock*, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    w->shown->frame = 0;
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
    if (!w->shown->soon) {
        static GSourceFuncs funcs{nullptr, nullptr, on_soon, nullptr, nullptr, nullptr};
        w->shown->soon = g_source_new(&funcs, sizeof(SoonSource));
        reinterpret_cast<SoonSource*>(w->shown->soon)->window = w;
        g_source_set_priority(w->shown->soon, G_PRIORITY_HIGH);
        g_source_attach(w->shown->soon, nullptr);
    }
    g_source_set_ready_time(w->shown->soon, 0);
}

// The waiting copies and drawing go to the screen once per display frame at
// most, however many passes come before it. When a frame has passed since
// the last time, that is as soon as the thread is done with what it is
// handling (an idle source, run before the thread sleeps again); otherwise
// at the next frame. A meter that updates less often than the display then
// costs no wake-up of its own to be shown.
void present_by_display(OsWindow* w) {
    if (w->shown->frame != 0 || (w->shown->soon && g_source_get_ready_time(w->shown->soon) == 0)) {
        return;
    }
    constexpr gint64 kFrameMicroseconds = 1000000 / 60;
    if (g_get_monotonic_time() - w->shown->presented >= kFrameMicroseconds) {
        // Ahead of the display's event source: a loop iteration that runs
        // this one skips that source, whose preparation flushes what is
        // queued for the display, so the pass's requests leave in one write.
        present_soon(w);
    } else {
        w->shown->frame = gtk_widget_add_tick_callback(w->widget, on_frame, w, nullptr);
    }
    presenting.push_back(w);
}

void drop_pane(OsWindow* w) {
#ifdef GDK_WINDOWING_WAYLAND
    wayland_pane_destroy(w->shown->pane);
#endif
    w->shown->pane = nullptr;
}

} // namespace

void toolkit::forget_presenting(OsWindow* w) {
    if (!w->shown) {
        return;
    }
    std::erase(presenting, w);
    if (page_events.gone) {
        page_events.gone(w);
    }
    w->shown->frame = 0; // its tick callback goes with the widget
    if (w->shown->soon) {
        g_source_destroy(w->shown->soon);
        g_source_unref(w->shown->soon);
        w->shown->soon = nullptr;
    }
    drop_pane(w);
}

gboolean toolkit::on_draw_pixels(GtkWidget*, cairo_t* cr, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    // The toolkit has clipped cr to what was queued (and to any damage).
    w->shown->pending = false;
    reading(w, Area{0, 0, w->width, w->height});
    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(w->shown->pixels.data()), CAIRO_FORMAT_RGB24, w->width,
        w->height, w->width * 4);
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
    w->shown->on_x_screen = false;
    drop_pane(w);
}

void os_window_redraw(OsWindow* w, const Area& changed) {
    if (!w || !w->shown || changed.empty()) {
        return;
    }
    if (w->shown->by_display || pane_for(w)) {
        w->shown->stale = joined(w->shown->stale, changed);
        present_by_display(w);
    } else {
        present(w, changed);
    }
}

OsSurface* os_surface_create(OsWindow* like, OsPixels pixels) {
    if (!like) {
        return nullptr;
    }
    // On Wayland the page stays the client's, and is copied straight into
    // the pane's buffer: no copy of it in the control's own pixels.
    if (pane_for(like)) {
        return new OsSurface{nullptr, pixels};
    }
    cairo_surface_t* surface = server_surface(like->widget, pixels.width, pixels.height);
    return surface ? new OsSurface{surface, pixels} : nullptr;
}

void os_surface_destroy(OsSurface* surface) {
    if (surface) {
        unhook(surface, nullptr);
        cairo_surface_destroy(surface->surface);
        delete surface;
    }
}

void os_surface_upload(OsSurface* surface, const Area& area, const OsFill* fills, int fill_count) {
    if (!surface) {
        return;
    }
    const OsPixels& pixels = surface->pixels;
    if (surface->surface) {
        cairo_surface_flush(surface->surface);
    }
    const Area page{0, 0, pixels.width, pixels.height};
    // The fills in their order, then the pixels: those are the page as it is
    // now, so they stand whatever a fill did there before them.
    for (int i = 0; i < fill_count; ++i) {
        const Area filled = common(fills[i].area, page);
        if (!filled.empty()) {
            unhook(surface, &filled);
            if (surface->surface) {
                fill_on_server(surface->surface, filled, fills[i].value);
            }
        }
    }
    const Area sent = common(area, page);
    if (!sent.empty()) {
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
        if (!w->shown->on_x_screen) {
            Window xid = 0;
            int x = 0;
            int y = 0;
            w->shown->on_x_screen = server_target(w->widget, &xid, &x, &y);
        }
        return w->shown->on_x_screen;
    }
#endif
    return pane_for(w) != nullptr;
}

} // namespace

bool os_window_copy(OsWindow* w, const Area& to, OsSurface* from, int from_x, int from_y) {
    if (!w || !from || !w->shown || to.empty() || !shown_by_display(w, from)) {
        return false;
    }
    if (inside(w->shown->stale, to)) {
        w->shown->stale = Area{};
    }
    // From now on the server presents it. The toolkit may still have a draw
    // from the client's pixels queued: the same picture.
    w->shown->by_display = true;
    add_block(w->shown->copies, SurfaceBlock{from, from_x, from_y, to});
    present_by_display(w);
    return true;
}
