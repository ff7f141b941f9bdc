#pragma once

// A program run as a child process (dexhand-sim, dexhand-bridge, a script),
// its two streams going to files read back as they fill.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/eventually.h"

extern char** environ;

namespace dexhand_test {

class ChildProcess {
public:
    // args[0] is the program's path.
    explicit ChildProcess(std::vector<std::string> args) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Asked to stop as a user would (Ctrl-C), killed when it does not.
    ~ChildProcess() {
        if (pid_ > 0 && end(SIGINT, std::chrono::seconds(5)) == -1 && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::remove(out_path_.c_str());
        std::remove(err_path_.c_str());
    }

    // Whether either stream came to hold text in time.
    bool printed(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return eventually([&] { return output().find(text) != std::string::npos; }, timeout);
    }

    // Sends the signal (0: none) and waits for the program to end: its exit
    // status, or -1 when it did not end in time or ended by a signal.
    int end(int signal = 0, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        int status = 0;
        if (pid_ <= 0 || (signal != 0 && ::kill(pid_, signal) != 0) ||
            !eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
            return -1;
        }
        pid_ = -1;
        output();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Both streams so far, stdout first; also kept in out and err.
    std::string output() {
        std::ostringstream out_text, err_text;
        out_text << std::ifstream(out_path_).rdbuf();
        err_text << std::ifstream(err_path_).rdbuf();
        out = out_text.str();
        err = err_text.str();
        return out + err;
    }

    std::string out;
    std::string err;

private:
    static inline int started_ = 0;
    const std::string out_path_ =
        "/tmp/dexhand-child-" + std::to_string(::getpid()) + "-" + std::to_string(++started_);
    const std::string err_path_ = out_path_ + ".err";
    pid_t pid_ = -1;
};

}  // namespace dexhand_test
