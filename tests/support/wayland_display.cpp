#include "wayland_display.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

WaylandDisplay::WaylandDisplay(int width, int height, const std::string& x_display) {
    std::string pattern = std::filesystem::temp_directory_path() / "sonaret-wayland-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        error_ = "no temporary folder";
        return;
    }
    dir_ = pattern;
    if (mkdir(runtime_dir().c_str(), 0700) != 0) {
        error_ = "cannot make the runtime folder";
        return;
    }
    // weston says when it is ready as a service tells systemd, READY=1 on a
    // datagram socket: after its socket listens and its shell is loaded, so
    // that a client never meets a socket that is bound but not listening.
    const std::string ready_path = (dir_ / "ready").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (ready_path.size() >= sizeof address.sun_path) {
        error_ = "the temporary folder's path is too long for a socket";
        return;
    }
    ready_path.copy(address.sun_path, ready_path.size());
    const int ready = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ready < 0 || bind(ready, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error_ = "cannot make the readiness socket";
        if (ready >= 0) {
            close(ready);
        }
        return;
    }
    const std::string log = (dir_ / "weston.log").string();
    ServerProcess::Options options;
    // No user's weston.ini, no idle blanking (a blanked output sends no frame
    // callbacks), pixman so that the output really shows what clients draw.
    options.argv = {"weston",
                    x_display.empty() ? "--backend=headless-backend.so"
                                      : "--backend=x11-backend.so",
                    "--socket=" + name_,
                    "--width=" + std::to_string(width),
                    "--height=" + std::to_string(height),
                    "--use-pixman",
                    "--idle-time=0",
                    "--no-config",
                    "--modules=systemd-notify.so",
                    "--log=" + log};
    options.set = {{"XDG_RUNTIME_DIR", runtime_dir()}, {"NOTIFY_SOCKET", ready_path}};
    options.unset = {"WAYLAND_DISPLAY", "WAYLAND_SOCKET"};
    if (x_display.empty()) {
        options.unset.push_back("DISPLAY");
    } else {
        options.set["DISPLAY"] = x_display;
    }
    if (server_.start(options, &error_)) {
        std::string message;
        char buffer[256];
        while (message.find("READY=1") == std::string::npos &&
               server_.wait_readable(ready, std::chrono::seconds(20))) {
            const ssize_t n = recv(ready, buffer, sizeof buffer, 0);
            if (n > 0) {
                message.assign(buffer, static_cast<size_t>(n));
            }
        }
        struct stat socket_file {};
        if (message.find("READY=1") == std::string::npos) {
            error_ = server_.running() ? "weston did not say it was ready"
                                       : "weston ended at start (is it installed?)";
        } else if (stat((dir_ / "runtime" / name_).c_str(), &socket_file) != 0 ||
                   !S_ISSOCK(socket_file.st_mode)) {
            error_ = "weston is ready but its socket is missing";
        }
        if (!error_.empty()) {
            std::ostringstream text;
            text << std::ifstream(log).rdbuf();
            error_ += "\n--- weston's log ---\n" + text.str();
            server_.stop();
        }
    }
    close(ready);
}

WaylandDisplay::~WaylandDisplay() {
    server_.stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}
