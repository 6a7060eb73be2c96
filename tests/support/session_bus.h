// A private D-Bus session bus for the window tests of the Linux build: a
// dbus-daemon of our own, which tells us its address, stopped by its
// process id. Without one, GLib on a machine with dbus-x11 starts a bus
// that belongs to the test's display and ends with it, and a process whose
// session bus goes away is ended by GDBus (exit-on-close).
#pragma once

#include <filesystem>
#include <string>

#include "server_process.h"

class SessionBus {
  public:
    // Starts the daemon with the session bus's configuration, listening in a
    // folder of its own; ok() says whether it runs. Services it starts on
    // demand (the accessibility bus, settings) get this process's
    // environment as it is now: start it once the display is chosen.
    SessionBus();
    // This process leaves the bus, then the daemon is stopped and its folder
    // removed.
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    bool ok() const { return server_.running() && !address_.empty(); }
    // For DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    const std::string& error() const { return error_; }

  private:
    std::filesystem::path dir_;
    ServerProcess server_;
    std::string address_;
    std::string error_;
};
