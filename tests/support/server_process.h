// A server the test programs start for themselves (a display, a session bus,
// a compositor): our own child, which the kernel ends when the thread that
// started it ends (a test program killed at its time-out leaves nothing
// behind), and which we stop by its process id.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

class ServerProcess {
  public:
    struct Options {
        std::vector<std::string> argv; // argv[0] is looked up on PATH
        // The child's environment: ours, with these set and those removed.
        std::map<std::string, std::string> set;
        std::vector<std::string> unset;
        // A descriptor of ours that the child keeps under the same number
        // (everything else of ours is closed in it): where it reports.
        int keep_fd = -1;
        // Where its standard output and error go; /dev/null when empty.
        std::string log;
    };

    ServerProcess() = default;
    ~ServerProcess() { stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts it; false with the reason in *error when it can't.
    bool start(const Options& options, std::string* error);
    // Waits until `fd` can be read, for at most `timeout`: false when the
    // time ran out or the server ended first (then running() is false).
    bool wait_readable(int fd, std::chrono::milliseconds timeout);
    // Reads what it writes into `fd` up to the end of the first line
    // (without the newline), for at most `timeout`: false when the line
    // did not come whole.
    bool read_line(int fd, std::string* line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // SIGTERM; SIGKILL when it has not ended a few seconds later. Reaps it.
    void stop();

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    void reap();

    pid_t pid_ = -1;
    int pidfd_ = -1; // readable once the process has ended
};
