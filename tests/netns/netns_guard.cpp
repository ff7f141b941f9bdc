#include "netns_guard.h"

#include <iostream>

#include "private_network.h"

namespace dexhand_test {

bool inside_private_network() {
    const sim::NetworkSurvey survey = sim::survey_network();
    if (!survey.failure.empty()) {
        std::cerr << "netns guard: getifaddrs failed\n";
        return false;
    }
    if (!survey.only_loopback || !survey.subnet_local) {
        std::cerr << "\n*** REFUSING TO RUN: this test talks to hand addresses and must run inside the\n"
                  << "*** private network namespace of tests/netns/run-in-netns (or through ctest).\n";
        if (!survey.only_loopback) {
            std::cerr << "*** Found a network interface other than loopback: " << survey.other_interface << "\n";
        } else {
            std::cerr << "*** 192.168.137.1 is not a local address here.\n";
        }
        std::cerr << std::endl;
        return false;
    }
    return true;
}

}  // namespace dexhand_test
