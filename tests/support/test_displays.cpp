// The window test programs' own servers: a program on the private session bus
// outlives the bus's end (GDBus would end it otherwise, and every window
// test program with it), and weston leaves neither a process nor its folder
// behind.
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "session_bus.h"
#include "wayland_display.h"

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

std::vector<pid_t> children_of(pid_t pid) {
    std::ifstream listed("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                         "/children");
    std::vector<pid_t> children;
    for (pid_t child; listed >> child;) {
        children.push_back(child);
    }
    return children;
}

std::string command_of(pid_t pid) {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return name;
}

TEST(WaylandDisplay, TakesClientsAndLeavesNothingBehind) {
    std::filesystem::path runtime;
    std::vector<int> ended; // pidfds of weston and of the clients it started
    {
        WaylandDisplay wayland;
        ASSERT_TRUE(wayland.ok()) << wayland.error();
        runtime = wayland.runtime_dir();
        struct stat folder {};
        ASSERT_EQ(stat(runtime.c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 0777, 0700u);

        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socket_path = (runtime / wayland.name()).string();
        socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
        const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(client);

        // Its shell's client ("weston-desktop-shell", as the kernel
        // shortens it) comes up once weston is ready.
        std::vector<pid_t> started;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            started = children_of(wayland.pid());
            if (std::any_of(started.begin(), started.end(),
                            [](pid_t p) { return command_of(p) == "weston-desktop-"; }) ||
                std::chrono::steady_clock::now() > deadline) {
                break;
            }
            usleep(10000);
        }
        ASSERT_FALSE(started.empty()) << "weston started no shell client";
        started.push_back(wayland.pid());
        for (pid_t pid : started) {
            ended.push_back(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
            EXPECT_GE(ended.back(), 0);
        }
    }
    for (int pidfd : ended) {
        pollfd gone{pidfd, POLLIN, 0};
        EXPECT_EQ(poll(&gone, 1, 10000), 1) << "a process of weston's is still running";
        close(pidfd);
    }
    EXPECT_FALSE(std::filesystem::exists(runtime.parent_path()));
}

} // namespace
