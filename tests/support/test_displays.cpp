// The window test programs' own servers: a program on the private session bus
// outlives the bus's end (GDBus would end it otherwise, and every window
// test program with it).
#include <stdlib.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <thread>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "session_bus.h"

namespace {

// The toolkit's settings worker holds the shared session connection from a
// thread and a main context of its own; it is the one that ends the process.
void settings_worker_through_the_end_of_the_bus() {
    auto bus = std::make_unique<SessionBus>();
    if (!bus->ok()) {
        _exit(2);
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().c_str(), 1);
    std::promise<void> connected;
    std::thread worker([&] {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        GDBusConnection* shared = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (!shared) {
            _exit(3);
        }
        bool closed = false;
        // After GDBus's own handler, which raises SIGTERM when the bus went.
        g_signal_connect_after(shared, "closed",
                               G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer flag) {
                                   *static_cast<bool*>(flag) = true;
                               }),
                               &closed);
        connected.set_value();
        while (!closed) {
            g_main_context_iteration(context, TRUE);
        }
        g_object_unref(shared);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    });
    connected.get_future().wait();
    bus.reset();
    worker.join();
    _exit(0);
}

TEST(SessionBus, AProgramOnItOutlivesItsEnd) {
    EXPECT_EXIT(settings_worker_through_the_end_of_the_bus(), ::testing::ExitedWithCode(0), "");
}

} // namespace
