// A private Wayland display for the window tests of the Linux build: weston
// of our own, headless or nested in an X display (whose screen then shows
// what weston composed, for tests that read it back), in a runtime folder of
// its own, stopped by its process id. Its shell's clients are its children
// and end with it.
#pragma once

#include <filesystem>
#include <string>

#include "server_process.h"

class WaylandDisplay {
  public:
    // Starts weston with one output of width x height, headless or, with
    // `x_display` (":N"), as a window at the top-left of that display's
    // screen; ok() once it accepts clients.
    explicit WaylandDisplay(int width = 1280, int height = 800, const std::string& x_display = "");
    // Stops weston, removes the folder.
    ~WaylandDisplay();
    WaylandDisplay(const WaylandDisplay&) = delete;
    WaylandDisplay& operator=(const WaylandDisplay&) = delete;

    bool ok() const { return server_.running() && error_.empty(); }
    // WAYLAND_DISPLAY: the socket's name in runtime_dir().
    const std::string& name() const { return name_; }
    // XDG_RUNTIME_DIR: private to us (0700).
    std::string runtime_dir() const { return (dir_ / "runtime").string(); }
    const std::string& error() const { return error_; }
    // weston's process id.
    pid_t pid() const { return server_.pid(); }

  private:
    std::filesystem::path dir_;
    ServerProcess server_;
    const std::string name_ = "sonaret-test";
    std::string error_;
};
