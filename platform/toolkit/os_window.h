// The seam between platform/ and the window toolkit. The files of toolkit/
// implement it and are the only ones that include GTK; the rest of platform/
// speaks Win32 on one side and these few calls on the other. Text
// crosses the seam as UTF-8, positions and sizes as pixels.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "toolkit/area.h"

struct OsWindow;

enum class OsControl {
    PushButton,
    DefaultPushButton,
    CommandLink,
    TextLeft,
    TextCentre,
    BlackRect,
    Icon,
    GroupBox,
    Link,
};

// 32-bit pixels, 0x00RRGGBB in memory order B, G, R, X (little endian), as a
// Windows DIB section; rows top-down with `width` pixels each.
struct OsPixels {
    uint32_t* data;
    int width;
    int height;
};

// Opens the display once; false when there is none (no $DISPLAY, say).
bool os_open_display();

// Dots per inch of the display in device pixels, the unit of every position
// and size that crosses this seam: the font resolution the desktop asks for
// (Xft.dpi, a text-scaling setting) times the window scale (GDK_SCALE, a
// Wayland output's scale); 96 when nothing says otherwise.
int os_display_dpi();

// Average width of the 52 Latin letters and the line height, in pixels, of
// `face` (UTF-8) at a character height of `pixel_height` and `weight`.
bool os_font_metrics(const char* face, int pixel_height, int weight, int* average_width,
                     int* height);

// A top-level window for dialog `hwnd`, hidden, with a client area of
// width x height pixels at screen position (x, y).
OsWindow* os_toplevel_create(HWND hwnd, const char* title, int x, int y, int width, int height,
                             bool modal_frame);
// A control inside `toplevel` at (x, y) of its client area.
OsWindow* os_control_create(OsWindow* toplevel, HWND hwnd, OsControl kind, const char* text,
                            const char* font_face, int font_pixels, int x, int y, int width,
                            int height);
void os_window_destroy(OsWindow* window);

void os_window_set_text(OsWindow* window, const char* text);
void os_window_set_note(OsWindow* window, const char* text);
// The picture of a button or icon static, or a top-level window's icon;
// `pixels.data` null removes it.
void os_window_set_image(OsWindow* window, OsPixels pixels);
void os_window_set_enabled(OsWindow* window, bool enabled);
// The pointer's shape over top-level `window` and its controls: the
// desktop's busy shape, or the usual one.
void os_window_set_busy(OsWindow* window, bool busy);
void os_window_set_visible(OsWindow* window, bool visible);
void os_window_move(OsWindow* window, int x, int y);
void os_window_focus(OsWindow* window);
// A dialog that stays above `owner` (null: none) while it is open.
void os_window_set_owner(OsWindow* window, OsWindow* owner);
// The control's backing bitmap, which its window DC draws into; null for
// controls that have none. Blocks copied onto the control by the display
// (os_window_copy) are made in it by display_page only where something
// uses them: before the toolkit reads any part of it, it says so
// (OsPageEvents). Call os_window_redraw after drawing.
OsPixels os_window_pixels(OsWindow* window);
// `changed` (in the bitmap's pixels) goes to the screen at the display's
// next frame: however many calls come before it, the control is presented
// once per frame, and only the part that changed.
void os_window_redraw(OsWindow* window, const Area& changed);

// A page's copy on the display (display_page/display_page.h): on X11 a
// pixmap in the X server, so that copying it onto a control moves no pixels
// through the client; on Wayland, where every pixel is the client's anyway,
// the page's own pixels, copied at the frame straight into the buffer of
// the control's own surface. Null while `like` is not yet on the screen, or
// where neither serves. `pixels` are the page's, and live as long as it.
struct OsSurface;
OsSurface* os_surface_create(OsWindow* like, OsPixels pixels);
void os_surface_destroy(OsSurface* surface);
// A rectangle filled with one 0x00RRGGBB value: sent as that, not as its
// pixels (a trace line, a cleared page).
struct OsFill {
    Area area;
    uint32_t value;
};
// Brings the surface up to its pixels: the `fills`, in order, then `area`
// of the pixels (on Wayland, nothing to send). A copy still waiting for the
// frame from a part that changes is presented from the control's own
// pixels instead.
void os_surface_upload(OsSurface* surface, const Area& area, const OsFill* fills, int fill_count);
// Copies the block at (from_x, from_y) of `from` to `to` of the control on
// the screen, by the display, at its next frame (one presentation per frame
// with everything os_window_redraw asked for). `from` must have been sent
// what its pixels hold. False when the control is not on a display that can
// (then the caller copies into the backing bitmap and os_window_redraw
// sends it).
bool os_window_copy(OsWindow* window, const Area& to, OsSurface* from, int from_x, int from_y);
// What the toolkit tells the owner of the pages (display_page), which sets
// it once: it is about to read `area` of a control's backing bitmap; a
// control is gone. Given as functions, so that the toolkit stays below
// what it serves.
struct OsPageEvents {
    void (*reading)(OsWindow* window, const Area& area);
    void (*gone)(OsWindow* window);
};
void os_set_page_events(const OsPageEvents& events);

int os_monitor_count();
// Index of the monitor nearest to the rectangle's centre.
int os_monitor_nearest(const RECT& rect);
bool os_monitor_rects(int index, RECT* monitor, RECT* work_area);
// Where the pointer is. Over one of the program's top-level windows,
// `*over` is that window and `point` is in its client area; elsewhere
// `*over` is null and `point` is on the screen, which only X11 tells (a
// Wayland client learns nothing of the pointer outside its own windows).
// False when neither is known.
bool os_pointer_position(HWND* over, POINT* point);

// A popup menu at (x, y) of `owner`'s client area, positioned relative to
// that window (Wayland has no screen coordinates to give it); `done(chosen id
// or 0)` is called once the menu closes. Ids and texts are copied.
struct OsMenuItem {
    UINT id;
    const char* text;
    bool separator;
    bool disabled;
};
void os_popup_menu(OsWindow* owner, const OsMenuItem* items, int count, int x, int y,
                   void (*done)(void*, UINT), void* context);

// Text drawn onto `target` at (x, y) (the top-left of its cell) in colour
// 0x00BBGGRR, clipped to the bitmap, in the system font's size at the
// display's resolution (a CJK face where there is one).
// Returns the rectangle it may have changed (empty when none).
RECT os_draw_text(OsPixels target, int x, int y, const char* text, COLORREF colour);
// The cell os_draw_text fills with `text` at (x, y), unclipped.
RECT os_text_cell(int x, int y, const char* text, COLORREF colour);

// Folder chooser, modal to `owner`; `done(path or null)` is called once it closes.
void os_choose_folder(OsWindow* owner, void (*done)(void*, const char*), void* context);
// Opens a folder or web address with the desktop's default handler.
bool os_open_uri(const char* uri_or_path);
// The user's music folder (XDG), or an empty string.
bool os_music_folder(char* out, size_t size);

// The desktop session. Once the display is open, a termination signal
// (SIGTERM, SIGHUP, SIGINT) or the display's going away is reported with
// user_event_session_end on the window thread, never inside a signal
// handler. While inhibited,
// the desktop's log-out asks the user first, where a session manager
// answers (none: nothing happens).
void os_session_inhibit(const char* reason);
void os_session_uninhibit();

// The window thread's wait: returns after the toolkit handled events or
// os_wake was called (from any thread); may return spuriously.
void os_wait_events();
// The same, but returns after `timeout_ms` at the latest (a window timer
// falls due then).
void os_wait_events_for(unsigned timeout_ms);
// Runs the toolkit's events that are ready now (input, drawing, requests
// still to be sent to the display), without waiting.
void os_run_ready_events();
void os_wake();

// Events the seam reports, implemented by the user area (user/input.cpp).
void user_event_click(HWND control);
void user_event_close(HWND toplevel);
// `repeat`: the key was already down (held, the system repeats it).
void user_event_key(HWND toplevel, int virtual_key, bool shift, bool repeat);
void user_event_focus(HWND control);
void user_event_moved(HWND toplevel, int x, int y);
// The thread's windows get WM_QUERYENDSESSION and WM_ENDSESSION (lParam
// `how`: 0 for a shut-down, ENDSESSION_LOGOFF), then the process ends, as
// Windows ends it; a report that comes while the first is answered returns.
void user_event_session_end(LPARAM how);
