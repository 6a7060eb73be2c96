// The window toolkit behind os_window.h: GTK 3. The only file of the program
// that includes GTK.
#include "toolkit/os_window.h"
#include "toolkit/session.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <cairo-xlib.h>
#include <gdk/gdkx.h>
#endif
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>

#include "toolkit/wayland_pane.h"
#else
struct WaylandPane;
#endif

#include <locale.h>
#include <string.h>

#include <algorithm>
#include <cmath>

#include <string>
#include <vector>

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
    bool by_server = false;
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
    guint frame = 0;        // the tick callback that presents them
    GSource* soon = nullptr; // or this source, made ready when a frame has passed
    // The last frame found the control on the X screen. A copy queued on
    // the strength of it is made at the next frame, which looks again, or
    // owed to `pixels` like any other should the control have gone since.
    bool on_x_screen = false;
    gint64 presented = 0;   // when they last were (monotonic microseconds)
    int width = 0;
    int height = 0;
    std::string font; // Pango description of the dialog font
    // A shown top-level window asks once to be the active one, when it is
    // on the screen (see on_mapped).
    bool activate_on_map = false;
};

namespace {

int display_state = 0; // 0 not tried, 1 open, -1 none

void forget_presenting(OsWindow* w);
void drop_pane(OsWindow* w);
void settle(OsWindow* w, const GdkRectangle& area);

// The program works in device pixels, as a DPI-aware Windows program does:
// its fonts, dialogs and bitmaps grow with the display's DPI. The toolkit
// works in logical pixels, `window_scale` device pixels each (GDK_SCALE, a
// Wayland output's scale), so everything that crosses the seam is divided
// or multiplied here.
int window_scale = 1;
int display_dpi = 96;

int to_logical(int device) {
    return static_cast<int>(std::lround(static_cast<double>(device) / window_scale));
}

GdkRectangle to_logical(const GdkRectangle& device) {
    // Outward, so that every device pixel of the area is covered.
    const int left = static_cast<int>(std::floor(static_cast<double>(device.x) / window_scale));
    const int top = static_cast<int>(std::floor(static_cast<double>(device.y) / window_scale));
    const int right = static_cast<int>(
        std::ceil(static_cast<double>(device.x + device.width) / window_scale));
    const int bottom = static_cast<int>(
        std::ceil(static_cast<double>(device.y + device.height) / window_scale));
    return GdkRectangle{left, top, right - left, bottom - top};
}

GdkPixbuf* pixbuf_from(OsPixels p) {
    if (!p.data || p.width <= 0 || p.height <= 0) {
        return nullptr;
    }
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, p.width, p.height);
    if (!pixbuf) {
        return nullptr;
    }
    guchar* out = gdk_pixbuf_get_pixels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const uint32_t v = p.data[y * p.width + x];
            guchar* o = out + y * stride + x * 4;
            o[0] = static_cast<guchar>(v >> 16);
            o[1] = static_cast<guchar>(v >> 8);
            o[2] = static_cast<guchar>(v);
            o[3] = static_cast<guchar>(v >> 24);
        }
    }
    return pixbuf;
}

// The dialog font, with fallbacks that have CJK glyphs: the template's face
// is a Windows font that Linux machines rarely have.
std::string font_description(const char* face, double pixel_height, int weight) {
    char size[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(size, sizeof size, "%.3f", pixel_height);
    return std::string(face) + ",SimSun,WenQuanYi Micro Hei,Noto Sans CJK SC,sans-serif " +
           (weight >= 700 ? "Bold " : "") + size + "px";
}

void apply_font(GtkWidget* label, const std::string& font, double scale = 1.0) {
    PangoFontDescription* desc = pango_font_description_from_string(font.c_str());
    if (scale != 1.0) {
        pango_font_description_set_absolute_size(desc,
                                                 pango_font_description_get_size(desc) * scale);
    }
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_font_desc_new(desc));
    gtk_label_set_attributes(GTK_LABEL(label), attrs);
    pango_attr_list_unref(attrs);
    pango_font_description_free(desc);
}

// The time of the user's latest input that reached us, for the window
// manager's focus-stealing prevention: a request to activate a window with
// no time (0) is one it must guess about, and logs as a buggy client's.
guint32 last_user_time = 0;

void note_user_time(guint32 time) {
    if (time != GDK_CURRENT_TIME) {
        last_user_time = time;
    }
}

guint32 user_time(GtkWidget* window) {
    note_user_time(gtk_get_current_event_time());
    if (last_user_time != GDK_CURRENT_TIME) {
        return last_user_time;
    }
#ifdef GDK_WINDOWING_X11
    // Before the first input (the main window at start-up) the X server's
    // own time stands in; Wayland has no timestamps to give here.
    if (GdkWindow* gdk_window = gtk_widget_get_window(window); GDK_IS_X11_WINDOW(gdk_window)) {
        return gdk_x11_get_server_time(gdk_window);
    }
#endif
    (void)window;
    return GDK_CURRENT_TIME;
}

void activate(GtkWidget* window) {
    gtk_window_present_with_time(GTK_WINDOW(window), user_time(window));
}

gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    user_event_close(static_cast<OsWindow*>(data)->hwnd);
    return TRUE; // the program decides whether the window goes
}

gboolean on_key(GtkWidget*, GdkEventKey* event, gpointer data) {
    note_user_time(event->time);
    int key = 0;
    switch (event->keyval) {
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
        key = VK_TAB;
        break;
    case GDK_KEY_Escape:
        key = VK_ESCAPE;
        break;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        key = VK_RETURN;
        break;
    case GDK_KEY_space:
        key = VK_SPACE;
        break;
    default:
        return FALSE;
    }
    // The dialog manager, not GTK, moves the focus and presses buttons.
    user_event_key(static_cast<OsWindow*>(data)->hwnd, key,
                   (event->state & GDK_SHIFT_MASK) != 0 || event->keyval == GDK_KEY_ISO_Left_Tab);
    return TRUE;
}

bool on_x11() {
#ifdef GDK_WINDOWING_X11
    return GDK_IS_X11_DISPLAY(gdk_display_get_default());
#else
    return false;
#endif
}

gboolean on_configure(GtkWidget*, GdkEvent*, gpointer data) {
    // On X11 the program learns where its client area really is (a window
    // manager puts its frame where the program asked, and the client area
    // inside it). A Wayland compositor tells no positions: there the
    // windows stay where the program placed them, a screen of its own.
    auto* w = static_cast<OsWindow*>(data);
    if (on_x11() && gtk_widget_get_realized(w->fixed)) {
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(w->fixed), &x, &y);
        user_event_moved(w->hwnd, x * window_scale, y * window_scale);
    }
    return FALSE;
}

gboolean on_mapped(GtkWidget* widget, GdkEvent*, gpointer data) {
    // A shown dialog is the active window and takes the keyboard, as
    // ShowWindow makes it on Windows; asking before it is on the screen
    // does nothing without a window manager. Only once per show: on
    // Wayland presenting a mapped window maps it again.
    auto* w = static_cast<OsWindow*>(data);
    if (w->activate_on_map) {
        w->activate_on_map = false;
        activate(widget);
    }
    return FALSE;
}

void on_clicked(GtkButton*, gpointer data) {
    note_user_time(gtk_get_current_event_time());
    user_event_click(static_cast<OsWindow*>(data)->hwnd);
}

gboolean on_link(GtkLinkButton*, gpointer) {
    return TRUE; // the program opens what the link means (its click came first)
}

gboolean on_focus_in(GtkWidget*, GdkEvent*, gpointer data) {
    user_event_focus(static_cast<OsWindow*>(data)->hwnd);
    return FALSE;
}

// A picture of `pixels` (device pixels) for an image widget: drawn one
// device pixel per pixel whatever the window scale.
cairo_surface_t* picture_from(OsPixels pixels) {
    GdkPixbuf* pixbuf = pixbuf_from(pixels);
    if (!pixbuf) {
        return nullptr;
    }
    cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(pixbuf, window_scale, nullptr);
    g_object_unref(pixbuf);
    return surface;
}

// Pixmaps in the X server are written with Xlib's own copy and put-image
// requests, not cairo: cairo keeps a pixmap it was given an image to draw in
// a client-side copy for a while, and would then composite the pages' copies
// in the client, reading them back from the server first.
#ifdef GDK_WINDOWING_X11

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
                int width, const GdkRectangle& area, int x, int y) {
    if (area.width <= 0 || area.height <= 0) {
        return;
    }
    XImage* image =
        XCreateImage(display, visual, 24, ZPixmap, 0,
                     reinterpret_cast<char*>(const_cast<uint32_t*>(pixels) +
                                             static_cast<size_t>(area.y) * width + area.x),
                     area.width, area.height, 32, width * 4);
    if (!image) {
        return;
    }
    // The pixels are 32-bit words in this machine's order; Xlib swaps them
    // for a server of the other.
    const uint32_t probe = 1;
    image->byte_order = *reinterpret_cast<const unsigned char*>(&probe) ? LSBFirst : MSBFirst;
    XPutImage(display, drawable, copy_gc(display, drawable), image, 0, 0, x, y, area.width,
              area.height);
    image->data = nullptr; // ours, not Xlib's to free
    XDestroyImage(image);
}

// A pixmap's pixels drawn by Xlib, behind cairo's back: callers flush the
// surface before and mark it dirty after.
void upload(cairo_surface_t* target, const uint32_t* pixels, int width, const GdkRectangle& area) {
    put_pixels(cairo_xlib_surface_get_display(target), cairo_xlib_surface_get_drawable(target),
               cairo_xlib_surface_get_visual(target), pixels, width, area, area.x, area.y);
}

// Its pixels are plain 0x00RRGGBB, so a fill with one of them is exact.
void fill_on_server(cairo_surface_t* target, const GdkRectangle& area, uint32_t value) {
    Display* display = cairo_xlib_surface_get_display(target);
    const Drawable drawable = cairo_xlib_surface_get_drawable(target);
    // The copies' GC: they take no colour from it.
    GC gc = copy_gc(display, drawable);
    XSetForeground(display, gc, value);
    XFillRectangle(display, drawable, gc, area.x, area.y, static_cast<unsigned>(area.width),
                   static_cast<unsigned>(area.height));
}

bool plain_visual(const Visual* visual, int depth) {
    return visual && depth == 24 && visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
           visual->blue_mask == 0xFF;
}

// A pixmap in the X server like `widget`'s window, width x height device
// pixels at one pixel per unit; null off X11, before the widget is realized,
// or when its pixels are not the bitmaps' own 0x00RRGGBB.
cairo_surface_t* server_surface(GtkWidget* widget, int width, int height) {
    GdkWindow* window = gtk_widget_get_realized(widget) ? gtk_widget_get_window(widget) : nullptr;
    if (!window || !on_x11()) {
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
    if (!on_x11() || !gtk_widget_is_drawable(widget)) {
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

#else

void upload(cairo_surface_t*, const uint32_t*, int, const GdkRectangle&) {}
void fill_on_server(cairo_surface_t*, const GdkRectangle&, uint32_t) {}
cairo_surface_t* server_surface(GtkWidget*, int, int) {
    return nullptr;
}

#endif

gboolean on_draw_pixels(GtkWidget*, cairo_t* cr, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    // The toolkit has clipped cr to what was queued (and to any damage).
    w->pending = false;
    settle(w, GdkRectangle{0, 0, w->width, w->height});
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
void on_unmapped(GtkWidget*, gpointer data) {
    auto* w = static_cast<OsWindow*>(data);
    w->on_x_screen = false;
    drop_pane(w);
}

void set_link_text(OsWindow* w, const char* text) {
    gtk_button_set_label(GTK_BUTTON(w->widget), text);
    w->label = gtk_bin_get_child(GTK_BIN(w->widget));
    gtk_label_set_xalign(GTK_LABEL(w->label), 0.0f);
    apply_font(w->label, w->font);
}

// A link is a link button, which assistive technologies know as one link
// named by its text, focused only when it has the focus (a label's inline
// link reports itself focused whether or not it is). It keeps the look of
// text: none of the button's padding or frame.
GtkWidget* link_button_new() {
    static GtkCssProvider* plain = nullptr;
    if (!plain) {
        plain = gtk_css_provider_new();
        gtk_css_provider_load_from_data(
            plain, "button { padding: 0; margin: 0; min-height: 0; min-width: 0; border: none; }",
            -1, nullptr);
    }
    GtkWidget* button = gtk_link_button_new("sonaret:link");
    gtk_widget_set_has_tooltip(button, FALSE);
    atk_object_set_role(gtk_widget_get_accessible(button), ATK_ROLE_LINK);
    gtk_style_context_add_provider(gtk_widget_get_style_context(button),
                                   GTK_STYLE_PROVIDER(plain),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    return button;
}

} // namespace

bool os_open_display() {
    if (display_state == 0) {
        // The toolkit's own texts (the folder chooser's) in the user's
        // language; numbers stay as the C runtime writes them on Windows,
        // where a program starts in the "C" locale whatever the user's.
        gtk_disable_setlocale();
        setlocale(LC_ALL, "");
        setlocale(LC_NUMERIC, "C");
        display_state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
        if (display_state == 1) {
            GdkScreen* screen = gdk_screen_get_default();
            if (GdkMonitor* monitor = gdk_display_get_monitor(gdk_display_get_default(), 0)) {
                window_scale = std::max(1, gdk_monitor_get_scale_factor(monitor));
            }
            // The font resolution the desktop asks for (Xft.dpi, a text
            // scaling setting), in logical pixels.
            gint xft_dpi = -1; // 1024ths of a dot per inch
            g_object_get(gtk_settings_get_for_screen(screen), "gtk-xft-dpi", &xft_dpi, nullptr);
            const double resolution = xft_dpi > 0 ? xft_dpi / 1024.0 : 96.0;
            display_dpi = static_cast<int>(std::lround(resolution * window_scale));
            session_watch_start();
        }
    }
    return display_state == 1;
}

int os_display_dpi() {
    return os_open_display() ? display_dpi : 96;
}

bool os_font_metrics(const char* face, int pixel_height, int weight, int* average_width,
                     int* height) {
    if (!os_open_display()) {
        return false;
    }
    PangoFontMap* map = pango_cairo_font_map_get_default();
    PangoContext* context = pango_font_map_create_context(map);
    PangoFontDescription* desc =
        pango_font_description_from_string(font_description(face, pixel_height, weight).c_str());
    PangoLayout* layout = pango_layout_new(context);
    pango_layout_set_font_description(layout, desc);
    pango_layout_set_text(layout, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", -1);
    int text_width = 0;
    pango_layout_get_pixel_size(layout, &text_width, nullptr);
    PangoFontMetrics* metrics = pango_context_get_metrics(context, desc, nullptr);
    const int line = PANGO_PIXELS(pango_font_metrics_get_ascent(metrics) +
                                  pango_font_metrics_get_descent(metrics));
    pango_font_metrics_unref(metrics);
    g_object_unref(layout);
    pango_font_description_free(desc);
    g_object_unref(context);
    // Windows rounds the average of the 52 letters the same way.
    *average_width = (text_width / 26 + 1) / 2;
    *height = line;
    return *average_width > 0 && *height > 0;
}

OsWindow* os_toplevel_create(HWND hwnd, const char* title, int x, int y, int width, int height,
                             bool modal_frame) {
    auto* w = new OsWindow;
    w->hwnd = hwnd;
    w->widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w->widget), title);
    gtk_window_set_resizable(GTK_WINDOW(w->widget), FALSE);
    if (modal_frame) {
        gtk_window_set_type_hint(GTK_WINDOW(w->widget), GDK_WINDOW_TYPE_HINT_DIALOG);
        atk_object_set_role(gtk_widget_get_accessible(w->widget), ATK_ROLE_DIALOG);
    }
    // A layout, not a GtkFixed: a window is the size its template says,
    // whatever its controls would like. A GtkFixed asks for room for each
    // wrapping label's height at that label's narrowest width, which made an
    // About box with a few lines of text taller than the screen.
    w->fixed = gtk_layout_new(nullptr, nullptr);
    gtk_widget_set_size_request(w->fixed, to_logical(width), to_logical(height));
    gtk_container_add(GTK_CONTAINER(w->widget), w->fixed);
    gtk_widget_show(w->fixed);
    gtk_window_move(GTK_WINDOW(w->widget), to_logical(x), to_logical(y));
    g_signal_connect(w->widget, "delete-event", G_CALLBACK(on_delete), w);
    g_signal_connect(w->widget, "key-press-event", G_CALLBACK(on_key), w);
    g_signal_connect(w->widget, "configure-event", G_CALLBACK(on_configure), w);
    g_object_set_data(G_OBJECT(w->widget), "sonaret-window", w);
    g_signal_connect(w->widget, "map-event", G_CALLBACK(on_mapped), w);
    w->width = width;
    w->height = height;
    return w;
}

OsWindow* os_control_create(OsWindow* toplevel, HWND hwnd, OsControl kind, const char* text,
                            const char* font_face, int font_pixels, int x, int y, int width,
                            int height) {
    auto* w = new OsWindow;
    w->hwnd = hwnd;
    w->kind = kind;
    w->width = width;
    w->height = height;
    w->font = font_description(font_face, static_cast<double>(font_pixels) / window_scale, 400);
    switch (kind) {
    case OsControl::PushButton:
    case OsControl::DefaultPushButton:
        w->widget = gtk_button_new();
        w->label = gtk_label_new(text);
        gtk_container_add(GTK_CONTAINER(w->widget), w->label);
        g_signal_connect(w->widget, "clicked", G_CALLBACK(on_clicked), w);
        break;
    case OsControl::CommandLink: {
        // Picture on the left; the text above its note, as Windows draws it.
        w->widget = gtk_button_new();
        gtk_button_set_relief(GTK_BUTTON(w->widget), GTK_RELIEF_NONE);
        GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
        GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        w->image = gtk_image_new();
        w->label = gtk_label_new(text);
        w->note = gtk_label_new("");
        gtk_label_set_xalign(GTK_LABEL(w->label), 0.0f);
        gtk_label_set_xalign(GTK_LABEL(w->note), 0.0f);
        gtk_box_pack_start(GTK_BOX(row), w->image, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(column), w->label, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(column), w->note, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(row), column, TRUE, TRUE, 0);
        gtk_container_add(GTK_CONTAINER(w->widget), row);
        apply_font(w->note, w->font, 0.75);
        g_signal_connect(w->widget, "clicked", G_CALLBACK(on_clicked), w);
        break;
    }
    case OsControl::TextLeft:
    case OsControl::TextCentre:
        w->widget = w->label = gtk_label_new(text);
        gtk_label_set_line_wrap(GTK_LABEL(w->label), TRUE);
        gtk_label_set_xalign(GTK_LABEL(w->label), kind == OsControl::TextCentre ? 0.5f : 0.0f);
        gtk_label_set_yalign(GTK_LABEL(w->label), 0.0f);
        gtk_label_set_justify(GTK_LABEL(w->label), kind == OsControl::TextCentre
                                                       ? GTK_JUSTIFY_CENTER
                                                       : GTK_JUSTIFY_LEFT);
        gtk_label_set_max_width_chars(GTK_LABEL(w->label), 1);
        break;
    case OsControl::BlackRect:
        w->pixels.assign(static_cast<size_t>(width) * height, 0);
        w->widget = gtk_drawing_area_new();
        g_signal_connect(w->widget, "draw", G_CALLBACK(on_draw_pixels), w);
        g_signal_connect(w->widget, "unmap", G_CALLBACK(on_unmapped), w);
        break;
    case OsControl::Icon:
        w->widget = w->image = gtk_image_new();
        break;
    case OsControl::GroupBox:
        w->widget = gtk_frame_new(*text ? text : nullptr);
        break;
    case OsControl::Link:
        w->widget = link_button_new();
        set_link_text(w, text);
        g_signal_connect(w->widget, "clicked", G_CALLBACK(on_clicked), w);
        g_signal_connect(w->widget, "activate-link", G_CALLBACK(on_link), w);
        break;
    }
    if (w->label && kind != OsControl::Link) {
        apply_font(w->label, w->font);
    }
    gtk_widget_set_size_request(w->widget, to_logical(width), to_logical(height));
    g_signal_connect(w->widget, "focus-in-event", G_CALLBACK(on_focus_in), w);
    gtk_layout_put(GTK_LAYOUT(toplevel->fixed), w->widget, to_logical(x), to_logical(y));
    gtk_widget_show_all(w->widget);
    return w;
}

void os_window_destroy(OsWindow* window) {
    if (!window) {
        return;
    }
    if (window->widget) {
        // Gone from the screen at once, as DestroyWindow's window is, even
        // when the thread goes on to work before it pumps again (a message
        // box that closes before Stop waits for the disk, say).
        GdkDisplay* display = gtk_widget_get_display(window->widget);
        gtk_widget_destroy(window->widget);
        gdk_display_flush(display);
    }
    forget_presenting(window);
    drop_pane(window);
    delete window;
}

void os_window_set_text(OsWindow* w, const char* text) {
    if (!w) {
        return;
    }
    if (GTK_IS_WINDOW(w->widget)) {
        gtk_window_set_title(GTK_WINDOW(w->widget), text);
    } else if (w->kind == OsControl::Link) {
        set_link_text(w, text);
    } else if (w->kind == OsControl::GroupBox) {
        gtk_frame_set_label(GTK_FRAME(w->widget), *text ? text : nullptr);
    } else if (w->label) {
        gtk_label_set_text(GTK_LABEL(w->label), text);
    }
}

void os_window_set_note(OsWindow* w, const char* text) {
    if (w && w->note) {
        gtk_label_set_text(GTK_LABEL(w->note), text);
        // Read out after the button's name, as Windows gives a command
        // link's note to assistive technologies.
        atk_object_set_description(gtk_widget_get_accessible(w->widget), text);
    }
}

void os_window_set_image(OsWindow* w, OsPixels pixels) {
    if (!w) {
        return;
    }
    if (GTK_IS_WINDOW(w->widget)) {
        GdkPixbuf* pixbuf = pixbuf_from(pixels);
        gtk_window_set_icon(GTK_WINDOW(w->widget), pixbuf);
        if (pixbuf) {
            g_object_unref(pixbuf);
        }
        return;
    }
    cairo_surface_t* picture = picture_from(pixels);
    if (w->image) {
        gtk_image_set_from_surface(GTK_IMAGE(w->image), picture);
    } else if (GTK_IS_BUTTON(w->widget)) {
        // A push button shows its picture beside the text.
        w->image = gtk_image_new_from_surface(picture);
        gtk_button_set_image(GTK_BUTTON(w->widget), w->image);
        gtk_button_set_always_show_image(GTK_BUTTON(w->widget), TRUE);
    }
    if (picture) {
        cairo_surface_destroy(picture);
    }
}

void os_window_set_enabled(OsWindow* w, bool enabled) {
    if (w) {
        gtk_widget_set_sensitive(w->widget, enabled);
    }
}

void os_window_set_busy(OsWindow* w, bool busy) {
    GdkWindow* window = w && GTK_IS_WINDOW(w->widget) ? gtk_widget_get_window(w->widget) : nullptr;
    if (window == nullptr) {
        return;
    }
    // The controls' own windows have no shape of their own: they show this.
    GdkCursor* cursor =
        busy ? gdk_cursor_new_from_name(gdk_window_get_display(window), "wait") : nullptr;
    gdk_window_set_cursor(window, cursor);
    if (cursor != nullptr) {
        g_object_unref(cursor);
    }
}

void os_window_set_visible(OsWindow* w, bool visible) {
    if (!w) {
        return;
    }
    if (visible && GTK_IS_WINDOW(w->widget)) {
        if (gtk_widget_get_mapped(w->widget)) {
            activate(w->widget);
        } else {
            w->activate_on_map = true;
            gtk_widget_show(w->widget);
        }
    } else {
        gtk_widget_set_visible(w->widget, visible);
    }
}

void os_window_move(OsWindow* w, int x, int y) {
    if (!w) {
        return;
    }
    if (GTK_IS_WINDOW(w->widget)) {
        gtk_window_move(GTK_WINDOW(w->widget), to_logical(x), to_logical(y));
    } else if (GtkWidget* parent = gtk_widget_get_parent(w->widget); GTK_IS_LAYOUT(parent)) {
        gtk_layout_move(GTK_LAYOUT(parent), w->widget, to_logical(x), to_logical(y));
    }
}

void os_window_focus(OsWindow* w) {
    if (w) {
        gtk_widget_set_can_focus(w->widget, TRUE);
        gtk_widget_grab_focus(w->widget);
        // The focus is the dialog manager's keyboard focus: always show it.
        if (GtkWidget* top = gtk_widget_get_toplevel(w->widget); GTK_IS_WINDOW(top)) {
            gtk_window_set_focus_visible(GTK_WINDOW(top), TRUE);
        }
    }
}

void os_window_set_owner(OsWindow* w, OsWindow* owner) {
    if (w && GTK_IS_WINDOW(w->widget)) {
        gtk_window_set_transient_for(GTK_WINDOW(w->widget),
                                     owner ? GTK_WINDOW(owner->widget) : nullptr);
    }
}

OsPixels os_window_pixels(OsWindow* w, const RECT& area) {
    if (!w || w->pixels.empty()) {
        return OsPixels{nullptr, 0, 0};
    }
    settle(w, GdkRectangle{area.left, area.top, area.right - area.left, area.bottom - area.top});
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
void settle(OsWindow* w, const GdkRectangle& area) {
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
void settle_from(OsSurface* surface, const GdkRectangle& area) {
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
            settle(w, r);
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

void present_by_server(OsWindow* w);

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

void drop_pane(OsWindow* w) {
#ifdef GDK_WINDOWING_WAYLAND
    wayland_pane_destroy(w->pane);
#endif
    w->pane = nullptr;
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
    settle(w, stale);
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
        present_by_server(w);
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
        settle(w, stale);
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
void present_by_server(OsWindow* w) {
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

void forget_presenting(OsWindow* w) {
    std::erase(presenting, w);
    std::erase(owing, w);
    w->frame = 0; // its tick callback goes with the widget
    if (w->soon) {
        g_source_destroy(w->soon);
        g_source_unref(w->soon);
        w->soon = nullptr;
    }
}

} // namespace

void os_window_redraw(OsWindow* w, const RECT& changed) {
    if (!w || changed.right <= changed.left || changed.bottom <= changed.top) {
        return;
    }
    const GdkRectangle area{changed.left, changed.top, changed.right - changed.left,
                            changed.bottom - changed.top};
    if (w->by_server || pane_for(w)) {
        join(w->stale, area);
        present_by_server(w);
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
        settle_from(surface, GdkRectangle{0, 0, surface->pixels.width, surface->pixels.height});
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
        settle_from(surface, GdkRectangle{area.left, area.top, area.right - area.left,
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
    w->by_server = true;
    add_copy(w->copies, ServerCopy{from, from_x, from_y, to});
    if (w->owed.empty()) {
        owing.push_back(w);
    }
    add_copy(w->owed, ServerCopy{from, from_x, from_y, to});
    // Copies that never cover each other are made at once past a few, so
    // that what is owed stays small whatever a caller copies.
    constexpr size_t kMostOwed = 64;
    if (w->owed.size() > kMostOwed) {
        settle(w, GdkRectangle{0, 0, w->width, w->height});
    }
    present_by_server(w);
    return true;
}

int os_monitor_count() {
    return os_open_display() ? gdk_display_get_n_monitors(gdk_display_get_default()) : 0;
}

int os_monitor_nearest(const RECT& rect) {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* nearest = gdk_display_get_monitor_at_point(
        display, to_logical((rect.left + rect.right) / 2), to_logical((rect.top + rect.bottom) / 2));
    for (int i = 0; i < gdk_display_get_n_monitors(display); ++i) {
        if (gdk_display_get_monitor(display, i) == nearest) {
            return i;
        }
    }
    return 0;
}

bool os_monitor_rects(int index, RECT* monitor, RECT* work_area) {
    if (!os_open_display() || index < 0 || index >= os_monitor_count()) {
        return false;
    }
    GdkMonitor* m = gdk_display_get_monitor(gdk_display_get_default(), index);
    GdkRectangle g;
    gdk_monitor_get_geometry(m, &g);
    const int k = window_scale;
    *monitor = RECT{g.x * k, g.y * k, (g.x + g.width) * k, (g.y + g.height) * k};
    gdk_monitor_get_workarea(m, &g);
    *work_area = RECT{g.x * k, g.y * k, (g.x + g.width) * k, (g.y + g.height) * k};
    return true;
}

bool os_pointer_position(HWND* over, POINT* point) {
    GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
    GdkDevice* pointer = seat ? gdk_seat_get_pointer(seat) : nullptr;
    if (!pointer) {
        return false;
    }
    int x = 0;
    int y = 0;
    if (GdkWindow* under = gdk_device_get_window_at_position(pointer, nullptr, nullptr)) {
        GdkWindow* top = gdk_window_get_toplevel(under);
        gpointer widget = nullptr;
        gdk_window_get_user_data(top, &widget);
        auto* w = widget ? static_cast<OsWindow*>(g_object_get_data(G_OBJECT(widget),
                                                                     "sonaret-window"))
                         : nullptr;
        if (w) {
            gdk_window_get_device_position(top, pointer, &x, &y, nullptr);
            // From the window's surface (with any decorations the toolkit
            // draws) to its client area.
            int client_x = 0;
            int client_y = 0;
            gtk_widget_translate_coordinates(w->widget, w->fixed, x, y, &client_x, &client_y);
            *over = w->hwnd;
            *point = POINT{client_x * window_scale, client_y * window_scale};
            return true;
        }
    }
    if (!on_x11()) {
        return false;
    }
    gdk_device_get_position(pointer, nullptr, &x, &y);
    *over = nullptr;
    *point = POINT{x * window_scale, y * window_scale};
    return true;
}

namespace {

struct MenuRun {
    void (*done)(void*, UINT);
    void* context;
    UINT chosen = 0;
    GtkWidget* menu = nullptr;
};

void on_menu_item(GtkMenuItem* item, gpointer data) {
    static_cast<MenuRun*>(data)->chosen =
        static_cast<UINT>(GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "sonaret-id")));
}

gboolean finish_menu(gpointer data) {
    auto* run = static_cast<MenuRun*>(data);
    run->done(run->context, run->chosen);
    gtk_widget_destroy(run->menu);
    delete run;
    return G_SOURCE_REMOVE;
}

void on_menu_closed(GtkMenuShell*, gpointer data) {
    // An item's "activate" comes after the menu's "deactivate"; report once
    // both have been handled.
    g_idle_add(finish_menu, data);
}

} // namespace

void os_popup_menu(OsWindow* owner, const OsMenuItem* items, int count, int x, int y,
                   void (*done)(void*, UINT), void* context) {
    auto* run = new MenuRun{done, context};
    run->menu = gtk_menu_new();
    for (int i = 0; i < count; ++i) {
        GtkWidget* item = items[i].separator ? gtk_separator_menu_item_new()
                                             : gtk_menu_item_new_with_label(items[i].text);
        gtk_widget_set_sensitive(item, !items[i].disabled);
        g_object_set_data(G_OBJECT(item), "sonaret-id", GUINT_TO_POINTER(items[i].id));
        g_signal_connect(item, "activate", G_CALLBACK(on_menu_item), run);
        gtk_menu_shell_append(GTK_MENU_SHELL(run->menu), item);
    }
    gtk_widget_show_all(run->menu);
    g_signal_connect(run->menu, "deactivate", G_CALLBACK(on_menu_closed), run);
    // The menu belongs to its owner: on Wayland a popup needs a parent to be
    // placed at all, and it is placed relative to that parent.
    gtk_menu_attach_to_widget(GTK_MENU(run->menu), owner->widget, nullptr);
    GdkWindow* owner_window = gtk_widget_get_window(owner->widget);
    int at_x = 0;
    int at_y = 0;
    gtk_widget_translate_coordinates(owner->fixed, owner->widget, to_logical(x), to_logical(y),
                                     &at_x, &at_y);
    // The menu takes the pointer and keyboard for the device of its trigger
    // event; TrackPopupMenu has no event, so it gets one of the pointer's
    // (without it the toolkit complains and guesses).
    GdkEvent* trigger = gdk_event_new(GDK_BUTTON_PRESS);
    trigger->button.window = GDK_WINDOW(g_object_ref(owner_window));
    trigger->button.time = user_time(owner->widget);
    trigger->button.button = 1;
    gdk_event_set_device(trigger, gdk_seat_get_pointer(gdk_display_get_default_seat(
                                      gdk_window_get_display(owner_window))));
    GdkRectangle at{at_x, at_y, 1, 1};
    gtk_menu_popup_at_rect(GTK_MENU(run->menu), owner_window, &at, GDK_GRAVITY_NORTH_WEST,
                           GDK_GRAVITY_NORTH_WEST, trigger);
    gdk_event_free(trigger);
}

namespace {

// A text drawn once, transparently, in one colour: premultiplied ARGB pixels
// as cairo makes them. The peak display writes the same notice at every
// level update while recording; shaping it each time cost more than the
// rest of the update.
struct RenderedText {
    std::string text;
    COLORREF colour = 0;
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

RenderedText render_text(const char* text, COLORREF colour) {
    RenderedText r;
    r.text = text;
    r.colour = colour;
    cairo_surface_t* probe = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* cr = cairo_create(probe);
    PangoLayout* layout = pango_cairo_create_layout(cr);
    // The size of the system font at the display's DPI, as on Windows.
    PangoFontDescription* desc = pango_font_description_from_string(
        ("SimSun,WenQuanYi Micro Hei,sans-serif " + std::to_string(16 * display_dpi / 96) + "px")
            .c_str());
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
    pango_layout_set_text(layout, text, -1);
    PangoRectangle ink{}, logical{};
    pango_layout_get_pixel_extents(layout, &ink, &logical);
    r.width = std::max(ink.x + ink.width, logical.width);
    r.height = std::max(ink.y + ink.height, logical.height);
    if (r.width > 0 && r.height > 0) {
        r.pixels.assign(static_cast<size_t>(r.width) * r.height, 0);
        cairo_surface_t* surface = cairo_image_surface_create_for_data(
            reinterpret_cast<unsigned char*>(r.pixels.data()), CAIRO_FORMAT_ARGB32, r.width,
            r.height, r.width * 4);
        cairo_t* text_cr = cairo_create(surface);
        cairo_set_source_rgb(text_cr, GetRValue(colour) / 255.0, GetGValue(colour) / 255.0,
                             GetBValue(colour) / 255.0);
        pango_cairo_update_layout(text_cr, layout);
        pango_cairo_show_layout(text_cr, layout);
        cairo_destroy(text_cr);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);
    }
    g_object_unref(layout);
    cairo_destroy(cr);
    cairo_surface_destroy(probe);
    return r;
}

// Only the window thread draws; the last text is kept.
const RenderedText& rendered(const char* text, COLORREF colour) {
    static RenderedText cached;
    if (cached.text != text || cached.colour != colour || cached.pixels.empty()) {
        cached = render_text(text, colour);
    }
    return cached;
}

} // namespace

RECT os_text_cell(int x, int y, const char* text, COLORREF colour) {
    const RenderedText& r = rendered(text ? text : "", colour);
    auto end = [](int start, int length) {
        return static_cast<LONG>(std::min<int64_t>(int64_t{start} + length, INT32_MAX));
    };
    return RECT{x, y, end(x, r.width), end(y, r.height)};
}

RECT os_draw_text(OsPixels target, int x, int y, const char* text, COLORREF colour) {
    if (!target.data || target.width <= 0 || target.height <= 0 || !text) {
        return RECT{0, 0, 0, 0};
    }
    const RenderedText& cached = rendered(text, colour);
    // Over the target's pixels (0x00RRGGBB), clipped to it.
    for (int row = 0; row < cached.height; ++row) {
        const int ty = y + row;
        if (ty < 0 || ty >= target.height) {
            continue;
        }
        for (int col = 0; col < cached.width; ++col) {
            const int tx = x + col;
            const uint32_t src = cached.pixels[static_cast<size_t>(row) * cached.width + col];
            const uint32_t alpha = src >> 24;
            if (tx < 0 || tx >= target.width || alpha == 0) {
                continue;
            }
            uint32_t& dst = target.data[static_cast<size_t>(ty) * target.width + tx];
            uint32_t out = 0;
            for (int shift = 0; shift <= 16; shift += 8) {
                const uint32_t s = (src >> shift) & 0xFF;
                const uint32_t d = (dst >> shift) & 0xFF;
                out |= std::min<uint32_t>(255, s + (d * (255 - alpha) + 127) / 255) << shift;
            }
            dst = out;
        }
    }
    const int64_t left = std::clamp<int64_t>(x, 0, target.width);
    const int64_t top = std::clamp<int64_t>(y, 0, target.height);
    return RECT{
        static_cast<LONG>(left), static_cast<LONG>(top),
        static_cast<LONG>(std::clamp<int64_t>(int64_t{x} + cached.width, left, target.width)),
        static_cast<LONG>(std::clamp<int64_t>(int64_t{y} + cached.height, top, target.height))};
}

namespace {

struct FolderRun {
    void (*done)(void*, const char*);
    void* context;
};

void on_folder_response(GtkDialog* dialog, gint response, gpointer data) {
    auto* run = static_cast<FolderRun*>(data);
    gchar* path = response == GTK_RESPONSE_ACCEPT
                      ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))
                      : nullptr;
    run->done(run->context, path);
    g_free(path);
    gtk_widget_destroy(GTK_WIDGET(dialog));
    delete run;
}

} // namespace

void os_choose_folder(OsWindow* owner, void (*done)(void*, const char*), void* context) {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        nullptr, owner ? GTK_WINDOW(owner->widget) : nullptr, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        g_dgettext("gtk30", "_Cancel"), GTK_RESPONSE_CANCEL, g_dgettext("gtk30", "_Select"),
        GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(dialog), TRUE);
    auto* run = new FolderRun{done, context};
    g_signal_connect(dialog, "response", G_CALLBACK(on_folder_response), run);
    gtk_widget_show(dialog);
}

bool os_open_uri(const char* uri_or_path) {
    std::string uri;
    if (g_path_is_absolute(uri_or_path)) {
        gchar* converted = g_filename_to_uri(uri_or_path, nullptr, nullptr);
        if (!converted) {
            return false;
        }
        uri = converted;
        g_free(converted);
    } else {
        uri = uri_or_path;
    }
    return g_app_info_launch_default_for_uri(uri.c_str(), nullptr, nullptr) != FALSE;
}

bool os_music_folder(char* out, size_t size) {
    const char* music = g_get_user_special_dir(G_USER_DIRECTORY_MUSIC);
    std::string path = music ? music : std::string(g_get_home_dir()) + "/Music";
    // Windows always has one; make ours exist too.
    if (g_mkdir_with_parents(path.c_str(), 0755) != 0 || path.size() + 1 > size) {
        return false;
    }
    memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

void os_wait_events() {
    g_main_context_iteration(nullptr, TRUE);
}

void os_wait_events_for(unsigned timeout_ms) {
    // A one-shot source whose only work is to end the iteration in time. It
    // is removed unless it fired, so it never outlives `fired` or piles up.
    bool fired = false;
    const guint source = g_timeout_add(
        timeout_ms,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &fired);
    g_main_context_iteration(nullptr, TRUE);
    if (!fired) {
        g_source_remove(source);
    }
}

void os_run_ready_events() {
    g_main_context_iteration(nullptr, FALSE);
}

void os_wake() {
    g_main_context_wakeup(nullptr);
}
