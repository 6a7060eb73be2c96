// The window thread's wait, in the toolkit's loop.
#include "toolkit/gtk_window.h"

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
