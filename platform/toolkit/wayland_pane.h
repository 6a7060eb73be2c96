// A control's own Wayland surface: a subsurface of its window's, in front of
// it, that shows the control's pixels from two buffers of its own. The
// toolkit draws a window into a buffer that holds all of it and, when the
// compositor still holds the last one (as one that reads from it until the
// next comes does), into a new one each frame, with the rest copied over; a
// strip presented 25 times a second then costs the whole window each time.
// Here a frame writes only what changed, into a buffer the compositor has
// let go. Speaks Wayland alone: toolkit/present.cpp hands it the toolkit's
// display and surface.
#pragma once

#include <stdint.h>

#include "toolkit/area.h"

struct wl_display;
struct wl_surface;
struct WaylandPane;

// A pane on `parent` for a control of width x height device pixels, `scale`
// device pixels to a surface pixel; null when the compositor lacks what it
// takes, or the size is not whole surface pixels. The pane shows nothing and
// takes no input; it is placed at the parent's next commit.
WaylandPane* wayland_pane_create(wl_display* display, wl_surface* parent, int width, int height,
                                 int scale);
// Gone at once; a pane whose parent surface is already gone is only freed.
void wayland_pane_destroy(WaylandPane* pane);
// (x, y) in the parent's surface pixels; true when that moved it, which the
// parent's next commit makes true on the screen.
bool wayland_pane_place(WaylandPane* pane, int x, int y);
// A block of a frame: the pixels from (from_x, from_y) of `pixels` (rows
// of `stride`) to `to` of the control.
struct WaylandPaneBlock {
    const uint32_t* pixels;
    int stride;
    int from_x;
    int from_y;
    Area to;
};
// Shows a frame: the last one with `blocks` written over it, in order. The
// first frame's blocks must cover the whole control. False when no buffer
// is free yet (the compositor holds both): nothing is sent, and the blocks
// are to be shown at a later call.
bool wayland_pane_show(WaylandPane* pane, const WaylandPaneBlock* blocks, int count);
