// An application of the installed library, built by check-install through
// find_package and through pkg-config: the typed API by its one header, the
// integer API by its namespaced path, and (legacy_include.cpp) the deprecated
// include form. Run next to simulated hands, it checks that the installed
// library works for an application: discovery, positions of the kind's size,
// a command of hold values, and the integer API on the same hands. What each
// call returns is the library's own tests' subject.
#include <tessaro_dexhand/client/dexhand.h>
#include <tessaro_dexhand/tessaro_dexhand.h>

#include <cstdio>
#include <string>
#include <vector>

namespace td = tessaro_dexhand;

int legacy_include_hand_count(QmHand::DexHand& client);

namespace {

int failures = 0;

void expect(bool good, const std::string& what) {
    if (!good) {
        std::printf("consumer: FAILED: %s\n", what.c_str());
        ++failures;
    }
}

void expect_status(td::Status got, td::Status wanted, const std::string& what) {
    expect(got == wanted, what + ": " + td::to_text(got) + ", expected " + td::to_text(wanted));
}

}  // namespace

int main() {
    td::Client client;
    const td::Status discovered = client.discover();
    if (discovered != td::Status::ok) {
        std::printf("consumer: discover: %s\n", td::to_text(discovered));
        return 1;
    }
    const std::vector<td::HandInfo> hands = client.hands();
    for (const td::HandInfo& hand : hands) {
        const td::KindInfo* kind = hand.kind_info();
        expect(kind != nullptr && kind == client.kind_of(hand.address), hand.address + ": kind facts");
        if (kind == nullptr) {
            continue;
        }
        const td::Result<std::vector<float>> positions = client.positions(hand.address);
        expect_status(positions.status, td::Status::ok, hand.address + " positions");
        expect(positions.value.size() == kind->joints, hand.address + ": one position per joint");

        const std::vector<float> hold(kind->joints, kind->hold_value);
        expect_status(client.set_positions(hand.address, hold), td::Status::ok, hand.address + " hold");
        expect(client.legacy().get_name(hand.address) == hand.kind, hand.address + ": integer API's name");
        std::printf("%s  kind %s  %zu joints in %s  positions %s\n", hand.address.c_str(), hand.kind.c_str(),
                    kind->joints, kind->position_unit.c_str(), td::to_text(positions.status));
    }
    expect(legacy_include_hand_count(client.legacy()) == static_cast<int>(hands.size()),
           "integer API: the same hands");
    if (failures > 0) {
        return 1;
    }
    std::printf("consumer: %zu hands, all checks passed\n", hands.size());
    return 0;
}
