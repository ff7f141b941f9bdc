// Registration through QmHand::DexHand::init: refused hands, lists of unequal
// length, duplicate addresses, a second discovery and the endpoints' lifetime.
// Which names, types and addresses are served is tested on the table itself
// (handkinds_test).
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "client/client_support.h"
#include "support/fd_count.h"

using client_test::add_hand;
using client_test::printed;
using client_test::reply;
using client_test::Strings;
using QmHand::kFailure;
using QmHand::kSuccess;

namespace {

// Hands at 192.168.137.60, .61, ... answering with these replies, 80 ms apart.
std::unique_ptr<sim::Simulator> answering(const Strings& replies) {
    auto simulator = std::make_unique<sim::Simulator>();
    for (std::size_t i = 0; i < replies.size(); ++i) {
        add_hand(*simulator, "192.168.137." + std::to_string(60 + i), replies[i], static_cast<int>(i) * 80);
    }
    return simulator;
}

}  // namespace

TEST(Registry, ARefusedHandStopsRegistrationAndKeepsTheHandsBefore) {
    const auto simulator = answering({reply("qmhv1", "QMH-6L", "192.168.137.10"),
                                      reply("qmhv1", "QMH-7L", "192.168.137.11"),
                                      reply("qmhv2", "QMH-12L", "192.168.137.12")});
    QmHand::DexHand client;
    const auto init = printed([&client] { return client.init(0); });
    EXPECT_EQ(init.result, kFailure);
    EXPECT_EQ(init.output, "[Qhand] init(): type: QMH-7Lunexcepted!\n");
    EXPECT_EQ(client.get_ip_list(), Strings{"192.168.137.10"});
    EXPECT_EQ(client.hand_manager.hands.size(), 1u);
}

TEST(Registry, DiscoveryListsOfUnequalLengthRegisterNothing) {
    const Strings unequal = {
        R"({"name":"qmhv1","IP":"192.168.137.10"})",                                                 // no type
        R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.10","ip_address":"192.168.137.10"})",  // two addresses
    };
    for (const std::string& text : unequal) {
        const auto simulator = answering({text});
        QmHand::DexHand client;
        const auto init = printed([&client] { return client.init(0); });
        EXPECT_EQ(init.result, kFailure) << text;
        EXPECT_EQ(init.output, "[Qhand] init(): ip type name Dimensions are different\n");
        EXPECT_EQ(client.get_ip_list(), Strings{}) << text;
        EXPECT_EQ(client.hand_manager.hands.size(), 0u) << text;
    }
}

TEST(Registry, AnAddressThatIsNotIpv4ThrowsFromInitAndKeepsTheHandsBefore) {
    const auto simulator =
        answering({reply("qmhv1", "QMH-6L", "192.168.137.10"), reply("qmhv1", "QMH-6L", "hand-eleven")});
    QmHand::DexHand client;
    EXPECT_THROW(client.init(0), std::invalid_argument);
    EXPECT_EQ(client.get_ip_list(), Strings{"192.168.137.10"});
}

TEST(Registry, DestroyingTheClientClosesEveryEndpoint) {
    const auto simulator = answering({reply("qmhv2", "QMH-12L", "192.168.137.39")});
    const int before = dexhand_test::open_descriptors();
    auto client = std::make_unique<QmHand::DexHand>();
    ASSERT_EQ(client->init(0), kSuccess);
    client.reset();
    EXPECT_EQ(dexhand_test::open_descriptors(), before);
}

// Two hands, a second-generation and a first-generation one, that give the
// same address: both are registered, then the table is refused.
class DuplicateAddress : public testing::Test {
protected:
    struct World {
        sim::Simulator simulator;
        QmHand::DexHand client;
        client_test::Printed<int> init;
    };
    static void SetUpTestSuite() {
        world = std::make_unique<World>();
        add_hand(world->simulator, "192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"));
        add_hand(world->simulator, "192.168.137.41", reply("qmhv1", "QMH-6L", "192.168.137.39"), 100);
        world->init = printed([] { return world->client.init(0); });
    }
    static void TearDownTestSuite() { world.reset(); }

    static inline std::unique_ptr<World> world;
};

TEST_F(DuplicateAddress, InitRefusesTheTable) {
    EXPECT_EQ(world->init.result, kFailure);
    EXPECT_EQ(world->init.output, "[Error] [[Qhand]][init()] Server illegal duplicate ip.\n");
}

TEST_F(DuplicateAddress, BothHandsStayRegistered) {
    EXPECT_EQ(world->client.get_ip_list(), (Strings{"192.168.137.39", "192.168.137.39"}));
    EXPECT_EQ(world->client.hand_manager.hands.size(), 2u);
}

TEST_F(DuplicateAddress, EveryLookupReachesTheFirst) {
    EXPECT_EQ(world->client.get_name("192.168.137.39"), "qmhv2");
    EXPECT_EQ(world->client.reboot("192.168.137.39"), kFailure);  // the second generation has no reboot
}

// A hand registered by a first discovery falls silent for the second.
class SecondDiscovery : public testing::Test {
protected:
    struct World {
        sim::Simulator simulator;
        QmHand::DexHand client;
        client_test::Printed<int> first;
        client_test::Printed<int> second;
    };
    static void SetUpTestSuite() {
        world = std::make_unique<World>();
        auto hand = add_hand(world->simulator, "192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"));
        world->first = printed([] { return world->client.init(0); });
        hand->set_discovery(sim::DiscoveryAnswer().silent());
        world->second = printed([] { return world->client.init(1); });
    }
    static void TearDownTestSuite() { world.reset(); }

    void SetUp() override { ASSERT_EQ(world->first.result, kSuccess) << world->first.output; }

    static inline std::unique_ptr<World> world;
};

TEST_F(SecondDiscovery, NoAnswerMeansConnotFindServer) {
    EXPECT_EQ(world->second.result, kFailure);
    EXPECT_EQ(world->second.output,
              "DEVICE RECVFROM TIMEOUT\n\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m\n");
}

TEST_F(SecondDiscovery, StartsFromNothing) {
    const hand_ws::Qhand& manager = world->client.hand_manager;
    EXPECT_EQ(world->client.get_ip_list(), Strings{});
    EXPECT_EQ(manager.hands.size(), 0u);
    EXPECT_EQ(manager.names, Strings{});
    EXPECT_EQ(manager.types, Strings{});
    EXPECT_EQ(manager.ip_addresses, Strings{});
}
