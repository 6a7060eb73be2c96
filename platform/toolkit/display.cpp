// The display: opening it, its scale and resolution, and the dialog font's
// metrics.
#include "toolkit/gtk_window.h"
#include "toolkit/session.h"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

#include <locale.h>

#include <algorithm>
#include <cmath>

namespace {

int display_state = 0; // 0 not tried, 1 open, -1 none

} // namespace

namespace toolkit {

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

Area to_logical(const Area& device) {
    // Outward, so that every device pixel of the area is covered.
    const int left = static_cast<int>(std::floor(static_cast<double>(device.x) / window_scale));
    const int top = static_cast<int>(std::floor(static_cast<double>(device.y) / window_scale));
    const int right =
        static_cast<int>(std::ceil(static_cast<double>(device.right()) / window_scale));
    const int bottom =
        static_cast<int>(std::ceil(static_cast<double>(device.bottom()) / window_scale));
    return Area{left, top, right - left, bottom - top};
}

// The dialog font, with fallbacks that have CJK glyphs: the template's face
// is a Windows font that Linux machines rarely have.
std::string font_description(const char* face, double pixel_height, int weight) {
    char size[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_formatd(size, sizeof size, "%.3f", pixel_height);
    return std::string(face) + ",SimSun,WenQuanYi Micro Hei,Noto Sans CJK SC,sans-serif " +
           (weight >= 700 ? "Bold " : "") + size + "px";
}

bool x11_display() {
#ifdef GDK_WINDOWING_X11
    return GDK_IS_X11_DISPLAY(gdk_display_get_default());
#else
    return false;
#endif
}

} // namespace toolkit

using namespace toolkit;

bool os_open_display() {
    if (display_state == 0) {
        // The toolkit's own texts (the folder chooser's) in the user's
        // language; numbers stay as the C runtime writes them on Windows,
        // where a program starts in the "C" locale whatever the user's.
        gtk_disable_setlocale();
        setlocale(LC_ALL, "");
        setlocale(LC_NUMERIC, "C");
        // Desktops tie a window to its menu entry (its icon in the dock,
        // pinning) by the entry's name. On Wayland that is the app id, which
        // the toolkit takes from the program's name, so the name is set
        // before the display opens. On X11 the same name is the window's
        // class, the entry's StartupWMClass; gtk_init_check derives the
        // class from the program's name with a capital first letter, so
        // the class is set after it. The executable stays "sonaret".
        g_set_prgname(SONARET_APP_ID);
        // Where the toolkit shows people the program's name, it stays ours.
        g_set_application_name("Sonaret");
        display_state = gtk_init_check(nullptr, nullptr) ? 1 : -1;
        if (display_state == 1) {
            gdk_set_program_class(SONARET_APP_ID);
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
            watch_key_repeats();
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
