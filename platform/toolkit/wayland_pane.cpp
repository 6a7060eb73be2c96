#include "toolkit/wayland_pane.h"

#include <wayland-client.h>

#include <limits.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// The compositor's interfaces a pane is made with, bound once for the one
// display the toolkit opens.
struct Globals {
    wl_display* display = nullptr;
    wl_compositor* compositor = nullptr;
    wl_subcompositor* subcompositor = nullptr;
    wl_shm* shm = nullptr;
};
Globals globals;

void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
               uint32_t version) {
    auto* g = static_cast<Globals*>(data);
    // Version 4 of the compositor takes damage in buffer pixels.
    if (strcmp(interface, wl_compositor_interface.name) == 0 && version >= 4) {
        g->compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (strcmp(interface, wl_subcompositor_interface.name) == 0) {
        g->subcompositor = static_cast<wl_subcompositor*>(
            wl_registry_bind(registry, name, &wl_subcompositor_interface, 1));
    } else if (strcmp(interface, wl_shm_interface.name) == 0) {
        g->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    }
}

void on_global_remove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener registry_listener{on_global, on_global_remove};

bool bind_globals(wl_display* display) {
    if (globals.display != display) {
        if (globals.display) {
            return false;
        }
        globals.display = display;
        // The round trip runs on a queue of its own, so that it dispatches
        // none of the toolkit's events from inside a drawing call.
        wl_event_queue* queue = wl_display_create_queue(display);
        auto* wrapper = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper), queue);
        wl_registry* registry = wl_display_get_registry(wrapper);
        wl_proxy_wrapper_destroy(wrapper);
        wl_registry_add_listener(registry, &registry_listener, &globals);
        wl_display_roundtrip_queue(display, queue);
        wl_registry_destroy(registry);
        // What is made from them answers on the toolkit's queue, which its
        // event source reads and dispatches: a buffer's release comes in
        // while the thread waits, as the toolkit's own events do.
        for (void* proxy :
             {static_cast<void*>(globals.compositor), static_cast<void*>(globals.subcompositor),
              static_cast<void*>(globals.shm)}) {
            if (proxy) {
                wl_proxy_set_queue(static_cast<wl_proxy*>(proxy), nullptr);
            }
        }
        wl_event_queue_destroy(queue);
    }
    return globals.compositor && globals.subcompositor && globals.shm;
}

struct Buffer {
    wl_buffer* buffer = nullptr;
    uint32_t* data = nullptr;
    bool busy = false; // the compositor holds it
    Area behind;       // what it lacks of the control's pixels
};

void on_release(void* data, wl_buffer*) {
    static_cast<Buffer*>(data)->busy = false;
}

const wl_buffer_listener buffer_listener{on_release};

} // namespace

// Two buffers in one shared-memory pool: the compositor reads one while
// the next frame is written into the other.
struct WaylandPane {
    wl_surface* surface = nullptr;
    wl_subsurface* subsurface = nullptr;
    wl_shm_pool* pool = nullptr;
    void* memory = MAP_FAILED;
    size_t size = 0;
    Buffer buffers[2];
    int width = 0;
    int height = 0;
    int x = INT_MIN;
    int y = INT_MIN;
    Buffer* last = nullptr; // the last frame's
};

WaylandPane* wayland_pane_create(wl_display* display, wl_surface* parent, int width, int height,
                                 int scale) {
    if (!display || !parent || width <= 0 || height <= 0 || scale < 1 || width % scale != 0 ||
        height % scale != 0 || !bind_globals(display)) {
        return nullptr;
    }
    auto* pane = new WaylandPane;
    pane->width = width;
    pane->height = height;
    const size_t one = static_cast<size_t>(width) * height * 4;
    pane->size = 2 * one;
    const int fd = memfd_create("sonaret-pane", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(pane->size)) != 0 ||
        (pane->memory = mmap(nullptr, pane->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) ==
            MAP_FAILED) {
        if (fd >= 0) {
            close(fd);
        }
        wayland_pane_destroy(pane);
        return nullptr;
    }
    pane->pool = wl_shm_create_pool(globals.shm, fd, static_cast<int32_t>(pane->size));
    close(fd);
    for (int i = 0; i < 2; ++i) {
        Buffer& b = pane->buffers[i];
        b.data = reinterpret_cast<uint32_t*>(static_cast<char*>(pane->memory) + i * one);
        b.behind = Area{0, 0, width, height};
        b.buffer = wl_shm_pool_create_buffer(pane->pool, static_cast<int32_t>(i * one), width,
                                             height, width * 4, WL_SHM_FORMAT_XRGB8888);
        wl_buffer_add_listener(b.buffer, &buffer_listener, &b);
    }
    pane->surface = wl_compositor_create_surface(globals.compositor);
    pane->subsurface =
        wl_subcompositor_get_subsurface(globals.subcompositor, pane->surface, parent);
    // Its frames go to the screen as they come, not with the window's.
    wl_subsurface_set_desync(pane->subsurface);
    wl_surface_set_buffer_scale(pane->surface, scale);
    // Clicks fall through to the window under it, which has the control;
    // what is under it need not be drawn.
    wl_region* none = wl_compositor_create_region(globals.compositor);
    wl_surface_set_input_region(pane->surface, none);
    wl_region_destroy(none);
    wl_region* all = wl_compositor_create_region(globals.compositor);
    wl_region_add(all, 0, 0, width / scale, height / scale);
    wl_surface_set_opaque_region(pane->surface, all);
    wl_region_destroy(all);
    return pane;
}

void wayland_pane_destroy(WaylandPane* pane) {
    if (!pane) {
        return;
    }
    if (pane->subsurface) {
        wl_subsurface_destroy(pane->subsurface);
    }
    if (pane->surface) {
        wl_surface_destroy(pane->surface);
    }
    for (Buffer& b : pane->buffers) {
        if (b.buffer) {
            wl_buffer_destroy(b.buffer);
        }
    }
    if (pane->pool) {
        wl_shm_pool_destroy(pane->pool);
    }
    if (pane->memory != MAP_FAILED) {
        munmap(pane->memory, pane->size);
    }
    delete pane;
}

bool wayland_pane_place(WaylandPane* pane, int x, int y) {
    if (x == pane->x && y == pane->y) {
        return false;
    }
    pane->x = x;
    pane->y = y;
    wl_subsurface_set_position(pane->subsurface, x, y);
    return true;
}

namespace {

// What of `area` none of `blocks` covers, in pieces.
std::vector<Area> uncovered(const Area& area, const WaylandPaneBlock* blocks, int count) {
    std::vector<Area> left;
    if (!area.empty()) {
        left.push_back(area);
    }
    for (int i = 0; i < count && !left.empty(); ++i) {
        std::vector<Area> still;
        for (const Area& a : left) {
            each_piece_outside(a, blocks[i].to, [&](const Area& piece) { still.push_back(piece); });
        }
        left.swap(still);
    }
    return left;
}

} // namespace

bool wayland_pane_show(WaylandPane* pane, const WaylandPaneBlock* blocks, int count) {
    // Clipped to the control, and to what the blocks' pixels hold.
    std::vector<WaylandPaneBlock> clipped;
    Area changed;
    for (int i = 0; i < count; ++i) {
        WaylandPaneBlock b = blocks[i];
        const int dx = std::max({0, -b.to.x, -b.from_x});
        const int dy = std::max({0, -b.to.y, -b.from_y});
        b.to.x += dx, b.from_x += dx, b.to.w -= dx;
        b.to.y += dy, b.from_y += dy, b.to.h -= dy;
        b.to.w = std::min(b.to.w, pane->width - b.to.x);
        b.to.h = std::min(b.to.h, pane->height - b.to.y);
        if (b.pixels && !b.to.empty()) {
            clipped.push_back(b);
            changed = joined(changed, b.to);
        }
    }
    if (changed.empty()) {
        return true;
    }
    // The last frame's buffer once the compositor has let it go (it holds
    // that frame already), else the other one.
    Buffer* last = pane->last;
    Buffer* next = last && !last->busy ? last : nullptr;
    for (Buffer& b : pane->buffers) {
        if (!next && &b != last && !b.busy) {
            next = &b;
        }
    }
    if (!next) {
        return false;
    }
    // The other one catches up with the frames it missed from the last
    // one, where this frame's blocks do not write anyway (a strip that
    // scrolls writes all of it).
    if (last && last != next) {
        for (const Area& a :
             uncovered(next->behind, clipped.data(), static_cast<int>(clipped.size()))) {
            copy_rows(next->data, pane->width, a.x, a.y, last->data, pane->width, a.x, a.y, a.w,
                      a.h);
        }
    }
    for (const WaylandPaneBlock& b : clipped) {
        copy_rows(next->data, pane->width, b.to.x, b.to.y, b.pixels, b.stride, b.from_x, b.from_y,
                  b.to.w, b.to.h);
    }
    for (Buffer& b : pane->buffers) {
        b.behind = &b == next ? Area{} : joined(b.behind, changed);
    }
    next->busy = true;
    pane->last = next;
    wl_surface_attach(pane->surface, next->buffer, 0, 0);
    // Against the frame before, only this one's blocks differ (the first
    // frame's cover the whole control).
    wl_surface_damage_buffer(pane->surface, changed.x, changed.y, changed.w, changed.h);
    wl_surface_commit(pane->surface);
    return true;
}
