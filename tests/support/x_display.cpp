#include "x_display.h"

#include <fcntl.h>
#include <unistd.h>

XDisplay::XDisplay(int width, int height) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    ServerProcess::Options options;
    options.argv = {"Xvfb",      "-displayfd", std::to_string(fds[1]),
                    "-screen",   "0",          screen,
                    "-nolisten", "tcp",        "-noreset"};
    options.keep_fd = fds[1];
    const bool started = server_.start(options, &error_);
    close(fds[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    if (started && server_.read_line(fds[0], &number) && !number.empty()) {
        name_ = ":" + number;
    } else if (started) {
        error_ = server_.running() ? "Xvfb gave no display number"
                                   : "Xvfb ended at start (is it installed?)";
        server_.stop();
    }
    close(fds[0]);
}
