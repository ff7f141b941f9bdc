#pragma once

// What the network around this process looks like, for the programs and
// tests that must never put a datagram on a real network: they go on only
// inside the private namespace of tests/netns/run-in-netns, where loopback is
// the only interface and carries the hand subnet.

#include <string>

namespace sim {

struct NetworkSurvey {
    bool only_loopback = false;  // no interface besides "lo"
    std::string other_interface;  // one interface besides "lo", when there is one
    bool subnet_local = false;    // 192.168.137.1 is a local address
    std::string failure;          // why the interfaces could not be listed (then nothing above is known)
};

NetworkSurvey survey_network();

}  // namespace sim
