#pragma once

// dexhand-sim run as a child process, its output going to files read back as
// it comes.

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

class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
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

    ~SimProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        std::remove(out_path_.c_str());
        std::remove(err_path_.c_str());
    }

    // Whether stdout came to hold text in time.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
        return eventually([&] { return read_back().find(text) != std::string::npos; }, timeout);
    }

    // The exit status, or -1 when the process did not end in time or ended by a signal.
    int wait_exit(std::chrono::milliseconds timeout) {
        int status = 0;
        exited_ = pid_ > 0 && eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
        read_back();
        return exited_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void signal(int number) { ::kill(pid_, number); }

    std::string out;
    std::string err;

private:
    // Both streams so far; stdout returned.
    const std::string& read_back() {
        std::ostringstream out_text, err_text;
        out_text << std::ifstream(out_path_).rdbuf();
        err_text << std::ifstream(err_path_).rdbuf();
        err = err_text.str();
        return out = out_text.str();
    }

    static inline int started_ = 0;
    const std::string out_path_ = "/tmp/dexhand-sim-" + std::to_string(::getpid()) + "-" + std::to_string(++started_);
    const std::string err_path_ = out_path_ + ".err";
    pid_t pid_ = -1;
    bool exited_ = false;
};

}  // namespace dexhand_test
