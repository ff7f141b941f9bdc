#pragma once

// What the bridge's end-to-end tests share: simulated hands that answer
// discovery, and dexhand-bridge (DEXHAND_BRIDGE_PATH) as a child process.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "simulator.h"
#include "support/eventually.h"

namespace bridge_test {

using namespace std::chrono_literals;

// Loopback only, no multicast: participants find each other through the
// unicast peer 127.0.0.1.
inline const char* const kCycloneConfig =
    "<CycloneDDS><Domain Id=\"any\"><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto</ParticipantIndex>"
    "<MaxAutoParticipantIndex>20</MaxAutoParticipantIndex><Peers><Peer Address=\"127.0.0.1\"/></Peers>"
    "</Discovery></Domain></CycloneDDS>";

inline const std::string kQmhv2Ip = "192.168.137.39";
inline const std::string kQmhv1Ip = "192.168.137.10";
inline const std::string kInspireIp = "192.168.137.19";

// A simulated hand that answers discovery with its name, type and address.
template <class Hand>
std::shared_ptr<Hand> add_hand(sim::Simulator& simulator, const std::string& ip, const std::string& name,
                               const std::string& type, int delay_ms = 0) {
    auto hand = simulator.add<Hand>(ip);
    const std::string reply = sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
    hand->set_discovery(sim::DiscoveryAnswer().with_text(reply).with_delay_ms(delay_ms));
    return hand;
}

// A program (by default dexhand-bridge) as a child process, its output (both
// streams) in a file.
class BridgeProcess {
public:
    explicit BridgeProcess(const std::vector<std::string>& arguments, const char* program = DEXHAND_BRIDGE_PATH) {
        char path[] = "/tmp/dexhand-bridge-output-XXXXXX";
        const int fd = mkstemp(path);
        output_path_ = path;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fd, STDERR_FILENO);
            dup2(fd, STDOUT_FILENO);
            std::vector<char*> argv = {const_cast<char*>(program)};
            for (const auto& argument : arguments) {
                argv.push_back(const_cast<char*>(argument.c_str()));
            }
            argv.push_back(nullptr);
            execv(program, argv.data());
            _exit(127);
        }
        close(fd);
    }
    ~BridgeProcess() {
        end(SIGINT);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        unlink(output_path_.c_str());
    }
    // Sends the signal (0: none) and waits up to 10 s for the program to end;
    // its exit status, or -1.
    int end(int signal = 0) {
        int status = -1;
        if (pid_ <= 0 || (signal != 0 && kill(pid_, signal) != 0) ||
            !dexhand_test::eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10s)) {
            return -1;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const {
        std::ifstream in(output_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool printed(const std::string& line) const {
        return dexhand_test::eventually([&] { return output().find(line) != std::string::npos; }, 10s);
    }

private:
    pid_t pid_ = -1;
    std::string output_path_;
};

}  // namespace bridge_test
