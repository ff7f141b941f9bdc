// Finds the hands on the subnet, prints who they are and reads each hand's
// joint positions once.
//
//   build/examples/list_hands
//
// Discovery broadcasts on 192.168.137.255: run it on the machine that is
// wired to the hands (or, for a dry run, inside tests/netns/run-in-netns next
// to simulated hands).
#include <tessaro_dexhand/tessaro_dexhand.h>

#include <cstdio>

int main() {
    tessaro_dexhand::Client client;

    // One second of listening; timeout when no hand answered at all.
    const tessaro_dexhand::Status found = client.discover();
    if (found != tessaro_dexhand::Status::ok) {
        std::printf("No hand registered (%s); check the cable and the 192.168.137.0/24 address of this machine.\n",
                    tessaro_dexhand::to_text(found));
        return 1;
    }

    const auto hands = client.hands();
    std::printf("%zu hand(s) found\n", hands.size());
    for (const tessaro_dexhand::HandInfo& hand : hands) {
        std::printf("%s  name %s  type %s  driver %s  hardware %s\n", hand.address.c_str(), hand.kind.c_str(),
                    hand.type.c_str(), hand.driver_version.c_str(), hand.hardware_version.c_str());

        // The kind's facts: how many joints, in which unit.
        const tessaro_dexhand::KindInfo* kind = hand.kind_info();
        const auto positions = client.positions(hand.address);
        if (!positions) {
            std::printf("  positions: %s\n", tessaro_dexhand::to_text(positions.status));
            continue;
        }
        std::printf("  positions (%zu joints, %s):", kind->joints, kind->position_unit.c_str());
        for (const float value : positions.value) {
            std::printf(" %.3f", static_cast<double>(value));
        }
        std::printf("\n");
    }
    for (const tessaro_dexhand::SkippedDevice& device : client.skipped()) {
        std::printf("%s  skipped: %s\n", device.address.c_str(), device.reason.c_str());
    }
    return 0;
}
