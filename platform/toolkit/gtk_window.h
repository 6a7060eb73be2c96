// What the files of the GTK side share: a window's toolkit objects, the
// display's scale (toolkit/display.cpp) and the input handlers the widgets
// connect (toolkit/input.cpp).
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "toolkit/os_window.h"

struct WaylandPane;

struct OsSurface;

// A block of a page kept with the display, to be copied onto a control.
struct ServerCopy {
    OsSurface* from;
    int from_x;
    int from_y;
    GdkRectangle to;
};

struct OsWindow {
    GtkWidget* widget = nullptr; // the GtkWindow, or the control's outer widget
    GtkWidget* fixed = nullptr;  // a top-level window's client area (a GtkLayout)
    GtkWidget* label = nullptr;  // the text part of buttons and statics
    GtkWidget* note = nullptr;   // a command link's note
    GtkWidget* image = nullptr;  // a button's or icon static's picture
    HWND hwnd = nullptr;
    OsControl kind = OsControl::PushButton;
    std::vector<uint32_t> pixels; // a black rectangle's backing bitmap
    // What changed in `pixels` since the toolkit last drew them; `pending`
    // while a draw is queued.
    GdkRectangle changed{0, 0, 0, 0};
    bool pending = false;
    // Once pages kept with the display are copied onto the control, it is
    // presented by the display: at the next frame the copies waiting in
    // `copies` are made there (in the X server; on Wayland into the pane's
    // buffer), in order, and then `stale`, what was drawn in `pixels`
    // themselves, is sent.
    bool by_display = false;
    std::vector<struct ServerCopy> copies;
    GdkRectangle stale{0, 0, 0, 0};
    // The same blocks are owed to `pixels`, in order: made there only when
    // something reads or draws that part of the control, or before their
    // page changes there. A strip copied on every pass mostly never is.
    std::vector<struct ServerCopy> owed;
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
GdkRectangle to_logical(const GdkRectangle& device);
// The dialog font, with fallbacks that have CJK glyphs.
std::string font_description(const char* face, double pixel_height, int weight);
// Whether the display is an X server (else a Wayland compositor).
bool x11_display();

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
void drop_pane(OsWindow* w);
void forget_presenting(OsWindow* w);

} // namespace toolkit
