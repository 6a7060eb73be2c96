// Popup menus.
#include "toolkit/gtk_window.h"

using namespace toolkit;

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
