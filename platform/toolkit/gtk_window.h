// What the files of the GTK side share: a window's toolkit objects, the
// display's scale (toolkit/display.cpp) and the input handlers the widgets
// connect (toolkit/input.cpp).
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "toolkit/os_window.h"

struct WaylandPane;

// A page's copy on the display: an X pixmap (X11), or on Wayland none
// (`surface` null): the page's own pixels are read at the frame.
struct OsSurface {
    cairo_surface_t* surface;
    OsPixels pixels;
};

using SurfaceBlock = PageBlock<OsSurface>;

// A control that shows pixels of its own (the peak display's black
// rectangle): the pixels its window DC draws into, and how they and the
// pages copied onto it reach the screen (toolkit/present.cpp).
struct OwnPixels {
    std::vector<uint32_t> pixels;
    // What changed in `pixels` since the toolkit last drew them; `pending`
    // while a draw is queued.
    Area changed;
    bool pending = false;
    // Once pages kept with the display are copied onto the control, it is
    // presented by the display: at the next frame the copies waiting in
    // `copies` are made there (in the X server; on Wayland into the pane's
    // buffer), in order, and then `stale`, what was drawn in `pixels`
    // themselves, is sent.
    bool by_display = false;
    std::vector<SurfaceBlock> copies;
    Area stale;
    // On Wayland, a surface of its own in front of the window's, which
    // the control's drawing goes to in place of the toolkit's (made once
    // the control is on the screen, dropped when it leaves it).
    WaylandPane* pane = nullptr;
    guint frame = 0;         // the tick callback that presents them
    GSource* soon = nullptr; // or this source, made ready when a frame has passed
    // The last frame found the control on the X screen. A copy queued on
    // the strength of it is made at the next frame, which looks again, or
    // owed to `pixels` like any other should the control have gone since.
    bool on_x_screen = false;
    gint64 presented = 0; // when they last were (monotonic microseconds)
};

struct OsWindow {
    GtkWidget* widget = nullptr; // the GtkWindow, or the control's outer widget
    GtkWidget* fixed = nullptr;  // a top-level window's client area (a GtkLayout)
    GtkWidget* label = nullptr;  // the text part of buttons and statics
    GtkWidget* note = nullptr;   // a command link's note
    GtkWidget* image = nullptr;  // a button's or icon static's picture
    HWND hwnd = nullptr;
    OsControl kind = OsControl::PushButton;
    // A black rectangle's backing bitmap and its presentation; null for
    // every other control.
    std::unique_ptr<OwnPixels> shown;
    int width = 0;
    int height = 0;
    std::string font; // Pango description of the dialog font
    // A shown top-level window asks once to be the active one, when it is
    // on the screen (see on_mapped).
    bool activate_on_map = false;
};

namespace toolkit {

// The program works in device pixels, the toolkit in logical ones,
// `window_scale` device pixels each; `display_dpi` is the font resolution
// in device pixels (os_display_dpi).
extern int window_scale;
extern int display_dpi;
int to_logical(int device);
Area to_logical(const Area& device);
// The dialog font, with fallbacks that have CJK glyphs.
std::string font_description(const char* face, double pixel_height, int weight);
// Whether the display is an X server (else a Wayland compositor).
bool x11_display();

// Tells the key events that the X server repeats for a held key from the
// key's press (once, when the display opens).
void watch_key_repeats();
// The time of the user's latest input, for activating a window.
void note_user_time(guint32 time);
guint32 user_time(GtkWidget* window);
void activate(GtkWidget* window);
// The widgets' signals, reported to the user area (user_event_*).
gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data);
gboolean on_key(GtkWidget*, GdkEventKey* event, gpointer data);
gboolean on_configure(GtkWidget*, GdkEvent*, gpointer data);
gboolean on_mapped(GtkWidget* widget, GdkEvent*, gpointer data);
void on_clicked(GtkButton*, gpointer data);
gboolean on_link(GtkLinkButton*, gpointer);
gboolean on_focus_in(GtkWidget*, GdkEvent*, gpointer data);

// The peak display's control (toolkit/present.cpp): its pixels drawn by the
// toolkit, and its pane (on Wayland) and presentation dropped as it leaves
// the screen or goes.
gboolean on_draw_pixels(GtkWidget*, cairo_t* cr, gpointer data);
void on_unmapped(GtkWidget*, gpointer data);
void forget_presenting(OsWindow* w);

} // namespace toolkit
