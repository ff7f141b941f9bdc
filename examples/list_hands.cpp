// Finds the hands on the subnet, prints who they are and reads each hand's
// joint positions once.
//
//   build/examples/list_hands
//
// Discovery broadcasts on 192.168.137.255: run it on the machine that is
// wired to the hands (or, for a dry run, inside tests/netns/run-in-netns next
// to simulated hands).
#include <cstdio>
#include <string>
#include <vector>

#include "client/dexhand.h"

int main() {
    QmHand::DexHand client;

    // One second of listening; -1 when no hand could be registered.
    if (client.init(0) != 0) {
        std::printf("No hand registered; check the cable and the 192.168.137.0/24 address of this machine.\n");
        return 1;
    }

    const std::vector<std::string> ips = client.get_ip_list();
    std::printf("%zu hand(s) found\n", ips.size());
    for (const std::string& ip : ips) {
        std::printf("%s  name %s  type %s  driver %s  hardware %s\n", ip.c_str(), client.get_name(ip).c_str(),
                    client.get_type(ip).c_str(), client.get_driver_ver(ip).c_str(),
                    client.get_hardware_ver(ip).c_str());

        const std::vector<float> positions = client.get_pos(ip);  // empty when the read failed
        if (positions.empty()) {
            std::printf("  positions: no answer\n");
            continue;
        }
        std::printf("  positions:");
        for (const float value : positions) {
            std::printf(" %.3f", static_cast<double>(value));
        }
        std::printf("\n");
    }
    return 0;
}
