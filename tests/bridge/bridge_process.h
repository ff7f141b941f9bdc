#pragma once

// What the bridge's end-to-end tests share: simulated hands that answer
// discovery, and dexhand-bridge (DEXHAND_BRIDGE_PATH) as a child process.

#include <memory>
#include <string>
#include <vector>

#include "simulator.h"
#include "support/child_process.h"

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

// dexhand-bridge (or another program) as a child process.
class BridgeProcess : public dexhand_test::ChildProcess {
public:
    explicit BridgeProcess(std::vector<std::string> arguments, const char* program = DEXHAND_BRIDGE_PATH)
        : ChildProcess(with_program(program, std::move(arguments))) {}

private:
    static std::vector<std::string> with_program(const char* program, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), program);
        return arguments;
    }
};

}  // namespace bridge_test
