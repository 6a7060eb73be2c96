#include "session_bus.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>

SessionBus::SessionBus() {
    std::string pattern = std::filesystem::temp_directory_path() / "sonaret-bus-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error_ = "no temporary folder";
        return;
    }
    dir_ = pattern;
    const std::filesystem::path runtime = dir_ / "runtime";
    if (mkdir(runtime.c_str(), 0700) != 0) {
        error_ = "cannot make the runtime folder";
        return;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    ServerProcess::Options options;
    // In the foreground, so that the process we stop is the daemon.
    options.argv = {"dbus-daemon",
                    "--session",
                    "--nofork",
                    "--nopidfile",
                    "--address=unix:path=" + (dir_ / "bus").string(),
                    "--print-address=" + std::to_string(fds[1])};
    options.keep_fd = fds[1];
    // What the services it starts keep (the settings' database, the
    // accessibility bus's socket) stays here, away from the user's own and
    // from other test programs'.
    options.set = {{"XDG_CONFIG_HOME", (dir_ / "config").string()},
                   {"XDG_RUNTIME_DIR", runtime.string()}};
    options.unset = {"DBUS_SESSION_BUS_ADDRESS"};
    options.log = (dir_ / "daemon.log").string();
    const bool started = server_.start(options, &error_);
    close(fds[1]);
    if (started && (!server_.read_line(fds[0], &address_) || address_.empty())) {
        address_.clear();
        error_ = server_.running() ? "dbus-daemon gave no address"
                                   : "dbus-daemon ended at start (is it installed?)";
        server_.stop();
    }
    close(fds[0]);
}

SessionBus::~SessionBus() {
    // This process leaves the bus before the bus goes, as a program leaves a
    // desktop session before the session's bus ends: GDBus ends a process
    // whose shared session connection the bus closed (exit-on-close), and
    // the toolkit keeps that connection open in a worker thread once it has
    // stored a setting (the file chooser does).
    const char* used = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (ok() && used && address_ == used) {
        if (GDBusConnection* own = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
            g_dbus_connection_close_sync(own, nullptr, nullptr);
            g_object_unref(own);
        }
    }
    server_.stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}
