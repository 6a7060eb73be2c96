// The shell's part: the folder chooser, opening a folder or a web address,
// the user's music folder.
#include "toolkit/gtk_window.h"

#include <string.h>

#include <algorithm>

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

// The chooser sizes itself to the size it was last closed at, or to one
// worked out from the font, whatever the screen: on a small screen its
// buttons would lie off it. It is kept within the work area of the screen
// its owner is on, with room to spare for where the desktop places it.
void fit_to_screen(GtkWindow* dialog, GtkWindow* owner) {
    GdkWindow* at = owner ? gtk_widget_get_window(GTK_WIDGET(owner)) : nullptr;
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(dialog));
    GdkMonitor* monitor = at ? gdk_display_get_monitor_at_window(display, at)
                             : gdk_display_get_primary_monitor(display);
    if (!monitor) {
        return;
    }
    GdkRectangle area;
    gdk_monitor_get_workarea(monitor, &area);
    GdkGeometry most{};
    most.max_width = area.width * 9 / 10;
    most.max_height = area.height * 9 / 10;
    gtk_window_set_geometry_hints(dialog, nullptr, &most, GDK_HINT_MAX_SIZE);
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
    fit_to_screen(GTK_WINDOW(dialog), owner ? GTK_WINDOW(owner->widget) : nullptr);
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
