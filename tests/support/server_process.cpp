#include "server_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace {

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

bool ServerProcess::start(const Options& options, std::string* error) {
    if (running() || options.argv.empty()) {
        *error = "already running, or nothing to run";
        return false;
    }
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (!options.set.count(name) &&
            std::find(options.unset.begin(), options.unset.end(), name) == options.unset.end()) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : options.set) {
        env.push_back(name + "=" + value);
    }
    std::vector<std::string> argv = options.argv;
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);
    const char* log = options.log.empty() ? "/dev/null" : options.log.c_str();
    const int out = open(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0) {
        *error = std::string("cannot open ") + log + ": " + strerror(errno);
        if (out >= 0) {
            close(out);
        }
        if (in >= 0) {
            close(in);
        }
        return false;
    }
    const int keep = options.keep_fd;
    const pid_t parent = getpid();
    // fork for the death signal; only async-signal-safe calls in the child.
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        // Nothing of ours that lacks close-on-exec (a toolkit's connection,
        // another server's pipe) may live on in a server.
        if (keep > STDERR_FILENO) {
            fcntl(keep, F_SETFD, 0);
            close_range(STDERR_FILENO + 1, static_cast<unsigned>(keep) - 1, 0);
            close_range(static_cast<unsigned>(keep) + 1, ~0U, 0);
        } else {
            close_range(STDERR_FILENO + 1, ~0U, 0);
        }
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    const int fork_errno = errno;
    close(out);
    close(in);
    if (child < 0) {
        *error = std::string("fork failed: ") + strerror(fork_errno);
        return false;
    }
    pid_ = child;
    // (glibc 2.36's header declares pidfd_open without C linkage.)
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd_ < 0) {
        *error = std::string("pidfd_open failed: ") + strerror(errno);
        stop();
        return false;
    }
    return true;
}

bool ServerProcess::wait_readable(int fd, std::chrono::milliseconds timeout) {
    if (!running()) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {pidfd_, POLLIN, 0}};
        const int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        // What it wrote before it ended still counts.
        if (fds[0].revents != 0) {
            return true;
        }
        if (fds[1].revents != 0) {
            reap();
            return false;
        }
    }
}

bool ServerProcess::read_line(int fd, std::string* line, std::chrono::milliseconds timeout) {
    line->clear();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!wait_readable(fd, left)) {
            return false;
        }
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        *line += c;
    }
}

void ServerProcess::stop() {
    if (!running()) {
        return;
    }
    ::kill(pid_, SIGTERM);
    pollfd ended{pidfd_, POLLIN, 0};
    while (pidfd_ >= 0 && poll(&ended, 1, 5000) < 0 && errno == EINTR) {
    }
    if (ended.revents == 0) {
        ::kill(pid_, SIGKILL);
    }
    reap();
}

void ServerProcess::reap() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (pidfd_ >= 0) {
        close(pidfd_);
    }
    pidfd_ = -1;
    pid_ = -1;
}
