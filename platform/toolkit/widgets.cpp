// The windows and their controls over GTK 3, with what they tell the
// accessibility tree, their texts, fonts and pictures; the peak display's
// control keeps its pixels here and is presented by toolkit/present.cpp.
#include "toolkit/gtk_window.h"

using namespace toolkit;

namespace {

// A control's text as the toolkit wants it. Texts keep Windows' line breaks
// ("\r\n", as the templates and the program write them) above the seam, so
// that GetWindowText gives back what was set; GTK breaks lines at "\n"
// alone and would hand the "\r" on to the accessibility tree.
std::string toolkit_text(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        if (*c == '\r') {
            if (c[1] != '\n') {
                out += '\n';
            }
        } else {
            out += *c;
        }
    }
    return out;
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

void set_link_text(OsWindow* w, const char* text) {
    gtk_button_set_label(GTK_BUTTON(w->widget), toolkit_text(text).c_str());
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
    gtk_style_context_add_provider(gtk_widget_get_style_context(button), GTK_STYLE_PROVIDER(plain),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    return button;
}

} // namespace

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
    const std::string shown = toolkit_text(text);
    text = shown.c_str();
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
        w->shown = std::make_unique<OwnPixels>();
        w->shown->pixels.assign(static_cast<size_t>(width) * height, 0);
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
        gtk_frame_set_label(GTK_FRAME(w->widget), *text ? toolkit_text(text).c_str() : nullptr);
    } else if (w->label) {
        gtk_label_set_text(GTK_LABEL(w->label), toolkit_text(text).c_str());
    }
}

void os_window_set_note(OsWindow* w, const char* text) {
    if (w && w->note) {
        const std::string shown = toolkit_text(text);
        gtk_label_set_text(GTK_LABEL(w->note), shown.c_str());
        // Read out after the button's name, as Windows gives a command
        // link's note to assistive technologies.
        atk_object_set_description(gtk_widget_get_accessible(w->widget), shown.c_str());
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
