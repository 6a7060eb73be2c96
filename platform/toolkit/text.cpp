// Text drawn onto the program's bitmaps.
#include "toolkit/gtk_window.h"

#include <algorithm>

using namespace toolkit;

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
