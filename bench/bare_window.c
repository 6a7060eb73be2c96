/* The yardstick for Sonaret's start-up: the least a GTK 3 program does to
   show a window of the main window's size; given an argument, it also shows
   that text, so that the cost of the text's fonts can be told apart. */
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Bare");
    gtk_window_set_default_size(GTK_WINDOW(window), 684, 522);
    if (argc > 1) {
        gtk_container_add(GTK_CONTAINER(window), gtk_label_new(argv[1]));
    }
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
