#include "netns_guard.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <iostream>
#include <string>

namespace dexhand_test {

bool inside_private_network() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        std::cerr << "netns guard: getifaddrs failed\n";
        return false;
    }
    bool only_loopback = true;
    bool subnet_local = false;
    std::string stranger;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (std::strcmp(entry->ifa_name, "lo") != 0) {
            only_loopback = false;
            stranger = entry->ifa_name;
        }
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (address->sin_addr.s_addr == htonl(0xC0A88901)) {  // 192.168.137.1
                subnet_local = true;
            }
        }
    }
    ::freeifaddrs(list);

    if (!only_loopback || !subnet_local) {
        std::cerr << "\n*** REFUSING TO RUN: this test talks to hand addresses and must run inside the\n"
                  << "*** private network namespace of tests/netns/run-in-netns (or through ctest).\n";
        if (!only_loopback) {
            std::cerr << "*** Found a network interface other than loopback: " << stranger << "\n";
        } else {
            std::cerr << "*** 192.168.137.1 is not a local address here.\n";
        }
        std::cerr << std::endl;
        return false;
    }
    return true;
}

}  // namespace dexhand_test
