// Registration through QmHand::DexHand::init: refused hands, lists of unequal
// length, duplicate addresses, a second discovery and the endpoints' lifetime.
// Which names, types and addresses are served is tested on the table itself
// (handkinds_test).
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "client/client_support.h"
#include "support/fd_count.h"

using client_test::printed;
using client_test::reply;
using client_test::Strings;
using QmHand::kFailure;
using QmHand::kSuccess;

namespace {

// Hands at 192.168.137.60, .61, ... answering with these replies.
std::unique_ptr<client_test::Subnet> answering(const Strings& replies) {
    auto subnet = std::make_unique<client_test::Subnet>();
    for (std::size_t i = 0; i < replies.size(); ++i) {
        subnet->add("192.168.137." + std::to_string(60 + i), replies[i]);
    }
    return subnet;
}

}  // namespace

TEST(Registry, ARefusedHandStopsRegistrationAndKeepsTheHandsBefore) {
    const auto subnet = answering({reply("qmhv1", "QMH-6L", "192.168.137.10"),
                                   reply("qmhv1", "QMH-7L", "192.168.137.11"),
                                   reply("qmhv2", "QMH-12L", "192.168.137.12")});
    subnet->run_init();
    EXPECT_EQ(subnet->init.result, kFailure);
    EXPECT_EQ(subnet->init.output, "[Qhand] init(): type: QMH-7Lunexcepted!\n");
    EXPECT_EQ(subnet->client.get_ip_list(), Strings{"192.168.137.10"});
    EXPECT_EQ(subnet->client.hand_manager.hands.size(), 1u);
}

TEST(Registry, DiscoveryListsOfUnequalLengthRegisterNothing) {
    const Strings unequal = {
        R"({"name":"qmhv1","IP":"192.168.137.10"})",                                                 // no type
        R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.10","ip_address":"192.168.137.10"})",  // two addresses
    };
    for (const std::string& text : unequal) {
        const auto subnet = answering({text});
        subnet->run_init();
        EXPECT_EQ(subnet->init.result, kFailure) << text;
        EXPECT_EQ(subnet->init.output, "[Qhand] init(): ip type name Dimensions are different\n");
        EXPECT_EQ(subnet->client.get_ip_list(), Strings{}) << text;
        EXPECT_EQ(subnet->client.hand_manager.hands.size(), 0u) << text;
    }
}

// The address comes from the network: text that is not IPv4 is refused like
// any unusable reply, printed with its control bytes escaped.
TEST(Registry, AnAddressThatIsNotIpv4IsRefusedAndKeepsTheHandsBefore) {
    const auto subnet = answering({reply("qmhv1", "QMH-6L", "192.168.137.10"),
                                   R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.300\u001b[2J"})",
                                   reply("qmhv1", "QMH-6L", "192.168.137.12")});
    subnet->run_init();
    EXPECT_EQ(subnet->init.result, kFailure);
    EXPECT_EQ(subnet->init.output, "[Qhand] init(): ip: 192.168.137.300\\x1B[2Junexcepted!\n");
    EXPECT_EQ(subnet->client.get_ip_list(), Strings{"192.168.137.10"});
}

TEST(Registry, DestroyingTheClientClosesEveryEndpoint) {
    const auto subnet = answering({reply("qmhv2", "QMH-12L", "192.168.137.39")});
    const int before = dexhand_test::open_descriptors();
    auto client = std::make_unique<QmHand::DexHand>();
    ASSERT_EQ(client->init(0), kSuccess);
    client.reset();
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

// Two hands, a second-generation and a first-generation one, that give the
// same address: the first is registered (no second protocol object, every
// lookup reaches it), then the table is refused.
TEST(Registry, ADuplicateAddressKeepsTheFirstHandAndRefusesTheTable) {
    const auto subnet =
        answering({reply("qmhv2", "QMH-12L", "192.168.137.39"), reply("qmhv1", "QMH-6L", "192.168.137.39")});
    subnet->run_init();
    EXPECT_EQ(subnet->init.result, kFailure);
    EXPECT_EQ(subnet->init.output, "[Error] [[Qhand]][init()] Server illegal duplicate ip.\n");
    EXPECT_EQ(subnet->client.get_ip_list(), Strings{"192.168.137.39"});
    EXPECT_EQ(subnet->client.hand_manager.hands.size(), 1u);
    EXPECT_EQ(subnet->client.get_name("192.168.137.39"), "qmhv2");
    EXPECT_EQ(subnet->client.reboot("192.168.137.39"), kFailure);  // the second generation has no reboot
}

// A hand registered by a first discovery falls silent for the second: the
// second finds nothing and starts from nothing.
TEST(Registry, ASecondDiscoveryThatHearsNothingStartsFromNothing) {
    const auto subnet = answering({reply("qmhv2", "QMH-12L", "192.168.137.39")});
    subnet->run_init();
    ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output;
    subnet->hands[0]->set_discovery(sim::DiscoveryAnswer().silent());
    const auto second = printed([&subnet] { return subnet->client.init(1); });
    EXPECT_EQ(second.result, kFailure);
    EXPECT_EQ(second.output, "DEVICE RECVFROM TIMEOUT\n\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m\n");
    const hand_ws::Qhand& manager = subnet->client.hand_manager;
    EXPECT_EQ(subnet->client.get_ip_list(), Strings{});
    EXPECT_EQ(manager.hands.size(), 0u);
    EXPECT_EQ(manager.names, Strings{});
    EXPECT_EQ(manager.types, Strings{});
    EXPECT_EQ(manager.ip_addresses, Strings{});
}
