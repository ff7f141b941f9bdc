#pragma once

// dexhand-sim run as a child process, its output read as it comes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace dexhand_test {

class SimProcess {
public:
    using Clock = std::chrono::steady_clock;

    explicit SimProcess(const std::vector<std::string>& args) {
        int out_pipe[2];
        int err_pipe[2];
        if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
        out_fd_ = out_pipe[0];
        err_fd_ = err_pipe[0];
    }

    ~SimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_fd_, err_fd_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool started() const { return pid_ > 0; }

    // Reads until stdout holds text or the time is up.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (out.find(text) == std::string::npos) {
            if (Clock::now() >= deadline || !read_some(deadline)) {
                return out.find(text) != std::string::npos;
            }
        }
        return true;
    }

    // The exit status, or -1 when the process did not end in time or ended by a signal.
    int wait_exit(std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (read_some(deadline)) {
        }
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(5000);
        }
        return -1;
    }

    void signal(int number) { ::kill(pid_, number); }

    std::string out;
    std::string err;

private:
    // Reads what is there on either pipe; false once both are closed or the time is up.
    bool read_some(Clock::time_point deadline) {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || (out_fd_ < 0 && err_fd_ < 0)) {
            return false;
        }
        if (::poll(fds, 2, static_cast<int>(left)) <= 0) {
            return false;
        }
        bool open = false;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out_fd_ : err_fd_;
            if (fd < 0) {
                continue;
            }
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                char buffer[4096];
                const ssize_t got = ::read(fd, buffer, sizeof(buffer));
                if (got > 0) {
                    (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(got));
                } else {
                    ::close(fd);
                    fd = -1;
                    continue;
                }
            }
            open = true;
        }
        return open;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool exited_ = false;
};

}  // namespace dexhand_test
