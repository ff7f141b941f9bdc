#include "private_network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace sim {

NetworkSurvey survey_network() {
    NetworkSurvey survey;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        survey.failure = std::string("getifaddrs failed: ") + std::strerror(errno);
        return survey;
    }
    survey.only_loopback = true;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (std::strcmp(entry->ifa_name, "lo") != 0) {
            survey.only_loopback = false;
            survey.other_interface = entry->ifa_name;
        }
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            if (address->sin_addr.s_addr == htonl(0xC0A88901)) {  // 192.168.137.1
                survey.subnet_local = true;
            }
        }
    }
    ::freeifaddrs(list);
    return survey;
}

}  // namespace sim
