// A page's life with the display. A page is a bitmap's pixels, which stay
// the truth; one made from a window's DC also lives with the display, as a
// device-dependent bitmap does on Windows: from its first copy onto a
// control it has a copy there (toolkit: an X pixmap, or on Wayland its own
// pixels read at the frame), sent only what was drawn since, and copying it
// onto a control moves no pixels through the program. The control's own
// pixels get such a block only when something uses that part of them, or
// before the page changes there: until then the block is owed to them.
// This file owns all of that; GDI calls it where it draws and where it
// copies, and the toolkit only uploads, fills, copies and presents.
#pragma once

#include <stdint.h>

#include <optional>

#include "toolkit/area.h"
#include "toolkit/os_window.h"

struct DisplayPage;

// A black page of width x height pixels (both 1..16384); `with_display`
// for one made from a window's DC.
DisplayPage* display_page_create(int width, int height, bool with_display);
// Its copy on the display goes, after every control it is owed to has its
// blocks.
void display_page_destroy(DisplayPage* page);

// Drawing: the pixels of a page for reading or drawing `area` of them.
// When `drawing`, what was copied from there and is still owed to a control
// is made there first.
OsPixels display_page_pixels(DisplayPage* page, const Area& area, bool drawing);
// A control's own pixels, with what is owed to `area` of them made there.
OsPixels display_window_pixels(OsWindow* window, const Area& area);
// After drawing `changed` on a page; `filled_with` when all of it is now
// that one value, which is then sent as a fill, not as pixels.
void display_page_drawn(DisplayPage* page, const Area& changed,
                        std::optional<uint32_t> filled_with);

// Copying: `to` of the control gets the block at (from_x, from_y) of the
// page (both already clipped), copied by the display at its next frame.
// False when the display can't (a memory page, a control not on the
// screen): the caller copies into the control's pixels.
bool display_page_copy(DisplayPage* from, OsWindow* window, const Area& to, int from_x, int from_y);
