// Stale, foreign, hostile and concurrent traffic against the protocol
// objects and the manager, with simulated hands inside the private namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "manager/qhand.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/protocol_rig.h"
#include "support/udp_peer.h"

using BaseHandProtocol::Qmhv1;
using BaseHandProtocol::Qmhv2;
using dexhand_test::ThreadLines;
using testing::ElementsAre;

namespace {

const std::string kV1Ip = "192.168.137.41";
const std::string kV2Ip = "192.168.137.39";
constexpr unsigned short kCtrl = 2333, kComm = 2334;

class Hostile : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv1Hand> v1hand = simulator.add<sim::Qmhv1Hand>(kV1Ip);
    std::shared_ptr<sim::Qmhv2Hand> v2hand = simulator.add<sim::Qmhv2Hand>(kV2Ip);
    Qmhv1 v1{kV1Ip};
    Qmhv2 v2{kV2Ip};
    ThreadLines capture;

    hand_ws::Qhand manager;  // with hands of its own at the same addresses

    void SetUp() override {
        manager.hands.push_back(std::make_unique<Qmhv2>(kV2Ip));
        manager.hands.push_back(std::make_unique<Qmhv1>(kV1Ip));
        manager.hand_ips = {kV2Ip, kV1Ip};
    }
};

}  // namespace

// A configuration reply that came too late is not decoded as an error-code
// field by the next request.
TEST_F(Hostile, ALateJsonReplyIsNotTakenAsErrorCodes) {
    v1hand->set_error_field(std::string(12, '\0'));
    v1hand->set_faults(sim::Faults().with_delay_ms(150));
    std::string config;
    ThreadLines::lines_of([&] { EXPECT_EQ(v1.get_comm_config(config), -2); });
    v1hand->set_faults({});
    ASSERT_TRUE(dexhand_test::wait_readable(v1.comm_udp_socket->sockfd));
    std::vector<long> codes;
    EXPECT_EQ(v1.get_errorcode(codes), 0);
    EXPECT_THAT(codes, ElementsAre());
}

// Another host floods a hand's endpoint with well-formed answers while the
// hand is asked: none is taken, every request still goes to the hand, nothing
// goes back to the flooder.
TEST_F(Hostile, AForeignFloodNeitherAnswersNorStealsTheEndpoint) {
    std::vector<float> expected;
    ASSERT_EQ(v2.get_pos(expected), 0);  // its endpoint has a local port now
    const auto target = dexhand_test::ipv4("192.168.137.1", dexhand_test::local_port(v2.comm_udp_socket->sockfd));
    dexhand_test::UdpPeer stranger("192.168.137.50", 0);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        for (; !stop; ++sent) {
            stranger.send_to(target, R"({"angle":[1,1,1,1,1,1,1,1,1,1,1,1],"errorcode":0})");
        }
    });
    while (sent < 100) {
        std::this_thread::yield();
    }
    v2hand->clear_received();
    for (int i = 0; i < 20; ++i) {
        std::vector<float> positions;
        EXPECT_EQ(v2.get_pos(positions), 0);
        EXPECT_EQ(positions, expected);
    }
    stop = true;
    flood.join();
    EXPECT_EQ(v2hand->received_count(kComm), 20u);
    std::string nothing;
    EXPECT_FALSE(stranger.receive(nothing, std::chrono::milliseconds(50)));
}

// One exchange passes over 100 replies it cannot use: 64 lines, then one
// line that counts the other 36.
TEST_F(Hostile, RefusalLinesOfOneOperationStopAt64WithACount) {
    v2hand->set_faults(sim::Faults().with_before(std::vector<std::string>(100, R"({"x":1})")));
    std::vector<float> angles;
    const auto lines = ThreadLines::lines_of([&] { EXPECT_EQ(v2.get_pos(angles), 0); });
    ASSERT_EQ(lines.size(), 65u);
    EXPECT_EQ(lines[63], "\"angle\" is not an array or does not exist.");
    EXPECT_EQ(lines[64], "further refused datagrams not printed: 36");
}

// Two threads on one hand through the manager, one making 300 configuration
// reads, the other 300 position reads by a one-hand call or a many-hands
// sweep: each call holds the hand, so none fails or takes another's answer.
TEST_F(Hostile, CallsOnOneHandQueueInsteadOfTakingEachOthersReplies) {
    v2hand->set_angles(std::vector<double>(12, 3.0));
    std::string expected;
    ASSERT_EQ(manager.get_comm_config(kV2Ip, expected), 0);
    const std::vector<std::function<bool()>> position_reads = {
        [&] {
            std::vector<float> angles;
            return manager.get_position(kV2Ip, angles) == 0 && angles == std::vector<float>(12, 3.0f);
        },
        [&] {
            std::vector<std::vector<float>> pos;
            std::vector<int> statuses;
            manager.get_positions({kV2Ip}, pos, statuses);
            return statuses == std::vector<int>{0} && pos[0] == std::vector<float>(12, 3.0f);
        },
    };
    for (const auto& read_positions : position_reads) {
        std::atomic<int> wrong{0};
        std::thread reader([&] {
            for (int i = 0; i < 300; ++i) {
                wrong += !read_positions();
            }
        });
        for (int i = 0; i < 300; ++i) {
            std::string config;
            wrong += manager.get_comm_config(kV2Ip, config) != 0 || config != expected;
        }
        reader.join();
        EXPECT_EQ(wrong, 0);
    }
}

// The lock is per hand: a silent hand's time-out does not hold up another.
TEST_F(Hostile, CallsOnDifferentHandsRunInParallel) {
    v2hand->set_faults(sim::Faults().with_silent(true));
    std::thread slow([&] {
        std::vector<float> angles;
        ThreadLines::lines_of([&] { EXPECT_EQ(manager.get_position(kV2Ip, angles), -2); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<float> positions;
    const long long took = dexhand_test::elapsed_ms([&] { EXPECT_EQ(manager.get_position(kV1Ip, positions), 0); });
    slow.join();
    EXPECT_LT(took, 500);
}
