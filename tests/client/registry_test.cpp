// Registration of what discovery found, on the lists themselves; then a
// second discovery and a typed discovery that register nothing. Which
// names, types and addresses are served is tested in handkinds_test, how
// replies fill the lists in discovery_codec_test.
#include <gtest/gtest.h>

#include <memory>

#include "client/client_support.h"
#include "manager/registration.h"
#include "support/fd_count.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

using client_test::printed;
using client_test::Strings;
using QmHand::kFailure;
using QmHand::kSuccess;

namespace {

// Fills the manager's discovery lists as discovery would.
void discovered(hand_ws::Qhand& manager, const Strings& names, const Strings& types, const Strings& addresses) {
    manager.names = names;
    manager.types = types;
    manager.ip_addresses = addresses;
}

}  // namespace

TEST(Registry, ARefusedEntryStopsRegistrationWithItsLineAndKeepsTheHandsBefore) {
    struct Case {
        Strings names, types, addresses;
        std::string line;
        Strings registered;
    };
    const std::string ten = "192.168.137.10", twelve = "192.168.137.12", dup = "192.168.137.39";
    const std::string unequal = "[Qhand] init(): ip type name Dimensions are different\n";
    const Case cases[] = {
        {{"qmhv1", "qmhv1", "qmhv2"}, {"QMH-6L", "QMH-7L", "QMH-12L"}, {ten, "192.168.137.11", twelve},
         "[Qhand] init(): type: QMH-7Lunexcepted!\n", {ten}},
        // The address comes from the network: text that is not IPv4 is
        // refused, printed with its control bytes escaped.
        {{"qmhv1", "qmhv1", "qmhv1"}, {"QMH-6L", "QMH-6L", "QMH-6L"}, {ten, "192.168.137.300\x1b[2J", twelve},
         "[Qhand] init(): ip: 192.168.137.300\\x1B[2Junexcepted!\n", {ten}},
        // Two hands that give one address: the first is registered (no
        // second protocol object), then the table is refused.
        {{"qmhv2", "qmhv1"}, {"QMH-12L", "QMH-6L"}, {dup, dup},
         "[Error] [[Qhand]][init()] Server illegal duplicate ip.\n", {dup}},
        // A reply without a type, and one with two addresses.
        {{"qmhv1"}, {}, {ten}, unequal, {}},
        {{"qmhv1"}, {"QMH-6L"}, {ten, ten}, unequal, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        hand_ws::Qhand manager;
        discovered(manager, c.names, c.types, c.addresses);
        const auto result = printed([&manager] { return hand_ws::register_discovered(manager, nullptr); });
        EXPECT_EQ(result.result, kFailure);
        EXPECT_EQ(result.output, c.line);
        EXPECT_EQ(manager.hand_ips, c.registered);
        EXPECT_EQ(manager.hands.size(), c.registered.size());
    }
}

// The typed client's registration leaves out each entry it cannot serve,
// taking it out of the lists, and goes on.
TEST(Registry, ATypedRegistrationSkipsAnEntryItCannotServeAndGoesOn) {
    hand_ws::Qhand manager;
    discovered(manager, {"qmhv2", "qmhv1"}, {"QMH-99X", "QMH-6L"}, {"192.168.137.41", "192.168.137.10"});
    std::vector<hand_ws::Skipped> skipped;
    const auto result = printed([&] { return hand_ws::register_discovered(manager, &skipped); });
    EXPECT_EQ(result.result, kSuccess);
    EXPECT_EQ(result.output, "[Qhand] init(): type: QMH-99Xunexcepted!\n");
    EXPECT_EQ(manager.hand_ips, Strings{"192.168.137.10"});
    EXPECT_EQ(manager.names, Strings{"qmhv1"});
    ASSERT_EQ(skipped.size(), 1u);
    EXPECT_EQ(skipped[0].address + " " + skipped[0].type, "192.168.137.41 QMH-99X");
}

// A registered hand falls silent: a second discovery finds nothing and
// starts from nothing, its endpoints closed (so none is left for the
// client's end to close).
TEST(Registry, ASecondDiscoveryThatHearsNothingStartsFromNothing) {
    const int before = dexhand_test::open_descriptors();
    QmHand::DexHand client;
    discovered(client.hand_manager, {"qmhv2"}, {"QMH-12L"}, {"192.168.137.39"});
    ASSERT_EQ(hand_ws::register_discovered(client.hand_manager, nullptr), kSuccess);
    EXPECT_EQ(dexhand_test::open_descriptors(), before + 3);
    const auto second = printed([&client] { return client.init(1); });
    EXPECT_EQ(second.result, kFailure);
    EXPECT_EQ(second.output, "DEVICE RECVFROM TIMEOUT\n\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m\n");
    EXPECT_EQ(client.get_ip_list(), Strings{});
    const hand_ws::Qhand& manager = client.hand_manager;
    EXPECT_EQ(manager.hands.size(), 0u);
    EXPECT_TRUE(manager.names.empty() && manager.types.empty() && manager.ip_addresses.empty());
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

// The typed client leaves out each device its kinds do not take; when that is
// every device, the discovery found no hand.
TEST(Registry, ATypedDiscoveryThatRegistersNothingFails) {
    sim::Simulator simulator;
    const std::string ip = "192.168.137.41";
    simulator.add<sim::Hand>(ip)->set_discovery(
        sim::DiscoveryAnswer().with_text(client_test::reply("qmhv2", "QMH-99X", ip)));
    tessaro_dexhand::Client client;
    EXPECT_EQ(printed([&client] { return client.discover(); }).result, tessaro_dexhand::Status::failed);
    EXPECT_EQ(client.skipped().size(), 1u);
    EXPECT_TRUE(client.hands().empty());
}
