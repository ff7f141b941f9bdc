// Stale, foreign, hostile and concurrent traffic against the protocol
// objects and the manager, with simulated hands inside the private namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
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
using dexhand_test::UdpPeer;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const std::string kV1Ip = "192.168.137.41";
const std::string kV2Ip = "192.168.137.39";
const std::string kStranger = "192.168.137.50";
constexpr unsigned short kCtrl = 2333, kComm = 2334;

// The local address an endpoint's replies come to.
sockaddr_in reply_address(const CommSocket::Transmit::UDPSocket& endpoint) {
    return dexhand_test::ipv4("192.168.137.1", dexhand_test::local_port(endpoint.sockfd));
}

class Hostile : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv1Hand> v1hand = simulator.add<sim::Qmhv1Hand>(kV1Ip);
    std::shared_ptr<sim::Qmhv2Hand> v2hand = simulator.add<sim::Qmhv2Hand>(kV2Ip);
    Qmhv1 v1{kV1Ip};
    Qmhv2 v2{kV2Ip};
    ThreadLines capture;

    // 300 position reads by read_positions (true: the positions came) on
    // another thread while this one makes 300 configuration reads through
    // the manager, which holds the second-generation hand: the number of
    // calls that failed or got another call's answer.
    int wrong_answers(hand_ws::Qhand& manager, const std::function<bool()>& read_positions) {
        v2hand->set_angles(std::vector<double>(12, 3.0));
        std::string expected;
        EXPECT_EQ(manager.get_comm_config(kV2Ip, expected), 0);
        std::atomic<int> wrong{0};
        std::thread reader([&] {
            for (int i = 0; i < 300; ++i) {
                if (!read_positions()) {
                    ++wrong;
                }
            }
        });
        for (int i = 0; i < 300; ++i) {
            std::string config;
            if (manager.get_comm_config(kV2Ip, config) != 0 || config != expected) {
                ++wrong;
            }
        }
        reader.join();
        return wrong;
    }
};

}  // namespace

// Twelve zeros or twelve non-numbers pass the count check; kept, they would
// give inf or NaN positions with 0 and send target 0 to every joint.
TEST_F(Hostile, UnusableLimitRepliesFailPositionsAndAreNotKept) {
    const float nan = std::nanf("");
    for (const std::vector<float>& limits : {std::vector<float>(12, 0.0f), std::vector<float>(12, nan)}) {
        v1hand->set_pos_limits(limits);
        v1hand->clear_received();
        std::vector<float> positions;
        const auto lines = ThreadLines::lines_of([&] {
            EXPECT_EQ(v1.get_pos(positions), -1);
            EXPECT_EQ(v1.fast_set_positions({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}), -1);
        });
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_THAT(lines[0], HasSubstr("get_pos_limited() fail"));
        EXPECT_THAT(lines[1], HasSubstr("get_pos_limited() fail"));
        EXPECT_THAT(positions, ElementsAre());
        EXPECT_THAT(v1.pos_limits, ElementsAre());
        EXPECT_EQ(v1hand->received_count(kCtrl), 0u);  // no position command went out
    }
}

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

// Another host floods the endpoint with well-formed answers while the hand
// is asked: none is taken and the requests still go to the hand.
TEST_F(Hostile, AForeignFloodNeitherAnswersNorStealsTheEndpoint) {
    v2hand->set_angles(std::vector<double>(12, 7.0));
    std::vector<float> angles;
    ASSERT_EQ(v2.get_pos(angles), 0);  // the endpoint has a local port now
    UdpPeer stranger(kStranger, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        while (!stop) {
            stranger.send_to(reply_address(*v2.comm_udp_socket), R"({"angle":[1,1,1,1,1,1,1,1,1,1,1,1]})");
            ++sent;
        }
    });
    while (sent < 100) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 50; ++i) {
        angles.clear();
        ASSERT_EQ(v2.get_pos(angles), 0);
        ASSERT_EQ(angles, std::vector<float>(12, 7.0f));
    }
    stop = true;
    flood.join();
    EXPECT_EQ(v2hand->received_count(kComm), 51u);
    std::string nothing;
    EXPECT_FALSE(stranger.receive(nothing, nullptr, std::chrono::milliseconds(50)));
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

// Two threads on one hand through the manager: every configuration read gets
// the configuration and every position read the positions.
TEST_F(Hostile, CallsOnOneHandQueueInsteadOfTakingEachOthersReplies) {
    hand_ws::Qhand manager;
    manager.hands.push_back(std::make_unique<Qmhv2>(kV2Ip));
    manager.hand_ips.push_back(kV2Ip);
    EXPECT_EQ(wrong_answers(manager,
                            [&] {
                                std::vector<float> angles;
                                return manager.get_position(kV2Ip, angles) == 0 &&
                                       angles == std::vector<float>(12, 3.0f);
                            }),
              0);
}

// A many-hands sweep holds each hand like a one-hand call: configuration
// reads on one of its hands never take the sweep's position replies.
TEST_F(Hostile, ManyHandsSweepsQueueWithCallsOnTheSameHand) {
    hand_ws::Qhand manager;
    manager.hands.push_back(std::make_unique<Qmhv2>(kV2Ip));
    manager.hand_ips.push_back(kV2Ip);
    EXPECT_EQ(wrong_answers(manager,
                            [&] {
                                std::vector<std::vector<float>> pos;
                                std::vector<int> statuses;
                                manager.get_positions({kV2Ip}, pos, statuses);
                                return statuses == std::vector<int>{0} && pos[0] == std::vector<float>(12, 3.0f);
                            }),
              0);
}

// The lock is per hand: a silent hand's time-out does not hold up another.
TEST_F(Hostile, CallsOnDifferentHandsRunInParallel) {
    hand_ws::Qhand manager;
    manager.hands.push_back(std::make_unique<Qmhv2>(kV2Ip));
    manager.hand_ips.push_back(kV2Ip);
    manager.hands.push_back(std::make_unique<Qmhv1>(kV1Ip));
    manager.hand_ips.push_back(kV1Ip);
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
