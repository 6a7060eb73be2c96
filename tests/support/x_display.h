// A private X display for the UI tests of the Linux build: an Xvfb server of
// our own, chosen by the server itself (-displayfd), stopped by its process
// id. The tests use it whatever display the caller has, so they never draw
// on a desktop and always see the same screen.
#pragma once

#include <string>

#include "server_process.h"

class XDisplay {
  public:
    // Starts Xvfb with one screen of width x height x 24; ok() says whether
    // it runs. `name()` is ":N".
    XDisplay(int width = 1280, int height = 800);
    XDisplay(const XDisplay&) = delete;
    XDisplay& operator=(const XDisplay&) = delete;

    bool ok() const { return server_.running() && !name_.empty(); }
    const std::string& name() const { return name_; }
    const std::string& error() const { return error_; }

  private:
    ServerProcess server_;
    std::string name_;
    std::string error_;
};
