// Fault injection through the simulator: each fault ends the call with its
// defined status within its budget plus a margin, and the next call is
// answered normally.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/protocol_rig.h"
#include "support/udp_peer.h"

using BaseHandProtocol::Inspire;
using BaseHandProtocol::Qmhv1;
using BaseHandProtocol::Qmhv2;
using dexhand_test::elapsed_ms;
using dexhand_test::ThreadLines;
using testing::ElementsAre;

namespace {

const std::string kV1Ip = "192.168.137.41";
const std::string kV2Ip = "192.168.137.39";
const std::string kInspireIp = "192.168.137.19";
constexpr int kMarginMs = 400;  // past a budget: generous, since busy loops share two cores
constexpr unsigned short kCtrl = 2333, kComm = 2334;

class Faults : public testing::Test {
protected:
    void SetUp() override {
        v2hand->set_angles(std::vector<double>(12, 5.0));
        v1hand->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
        v1.pos_limits = v1hand->pos_limits();
    }

    // The status of a call, its time and its lines.
    struct Outcome {
        int status;
        long long took_ms;
        std::vector<std::string> lines;
    };
    template <class Call>
    Outcome run(Call call) {
        Outcome o{};
        o.lines = ThreadLines::lines_of([&] { o.took_ms = elapsed_ms([&] { o.status = call(); }); });
        return o;
    }
    int v2_get_pos() {
        angles.clear();
        return v2.get_pos(angles);
    }

    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv1Hand> v1hand = simulator.add<sim::Qmhv1Hand>(kV1Ip);
    std::shared_ptr<sim::Qmhv2Hand> v2hand = simulator.add<sim::Qmhv2Hand>(kV2Ip);
    Qmhv1 v1{kV1Ip};
    Qmhv2 v2{kV2Ip};
    std::vector<float> angles;
    ThreadLines capture;
};

}  // namespace

TEST_F(Faults, ALostRequestOrAnswerTimesOutAndTheNextCallIsAnswered) {
    for (const sim::Faults& fault :
         {sim::Faults().with_lose_requests(1), sim::Faults().with_lose_answers(1)}) {
        v2hand->set_faults(fault);
        const Outcome lost = run([&] { return v2_get_pos(); });
        EXPECT_EQ(lost.status, -2);
        EXPECT_GT(lost.took_ms, 1000);
        EXPECT_LT(lost.took_ms, 1000 + kMarginMs);
        EXPECT_EQ(lost.lines, std::vector<std::string>{"DEVICE RECVFROM: 192.168.137.39, TIMEOUT"});
        EXPECT_EQ(v2_get_pos(), 0);
        EXPECT_EQ(angles, std::vector<float>(12, 5.0f));
    }
}

// The first-generation position read has 100 ms.
TEST_F(Faults, RepliesJustInsideTheBudgetCountAndJustOutsideTimeOut) {
    std::vector<float> positions;
    v1hand->set_faults(sim::Faults().with_delay_ms(60));
    EXPECT_EQ(run([&] { return v1.get_pos(positions); }).status, 0);
    EXPECT_THAT(positions, ElementsAre(0.75f, 1.0f, 0.0f, 0.5f, 0.25f, 0.875f));

    v1hand->set_faults(sim::Faults().with_delay_ms(140));
    const Outcome late = run([&] { return v1.get_pos(positions); });
    EXPECT_EQ(late.status, -2);
    EXPECT_LT(late.took_ms, 100 + kMarginMs);
    v1hand->set_faults({});
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the late reply is waiting now
    std::vector<long> counts;
    v1hand->set_counts({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(v1.get_cnt(counts), 0);
    EXPECT_THAT(counts, ElementsAre(1, 2, 3, 4, 5, 6));
}

// Copies of each answer, and an answer to an earlier request arriving ahead
// of this one's: keyed reads pass over what they did not ask for, and the
// copies are gone by the next request.
TEST_F(Faults, DuplicatedAndReorderedRepliesAnswerOnlyTheirOwnRequest) {
    v2hand->set_faults(sim::Faults().with_copies(3).with_before({R"({"errorcode":[0,0,0,0,0,0,0,0,0,0,0,0]})"}));
    EXPECT_EQ(run([&] { return v2_get_pos(); }).status, 0);
    EXPECT_EQ(angles, std::vector<float>(12, 5.0f));
    std::vector<long> codes;
    EXPECT_EQ(v2.get_errorcode(codes), 0);
    EXPECT_EQ(codes, std::vector<long>(12, 0));
    v2hand->set_faults({});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string config;
    EXPECT_EQ(v2.get_comm_config(config), 0);
    EXPECT_EQ(config, v2hand->config());
}

// One kind's reply to another kind's request.
TEST_F(Faults, AnotherProtocolsReplyGetsTheRowsDefinedOutcome) {
    // Text positions to a JSON read: not JSON, -1 at once.
    v2hand->script(kComm, "500 0 2000 1000 1500 250");
    const Outcome text = run([&] { return v2_get_pos(); });
    EXPECT_EQ(text.status, -1);
    EXPECT_EQ(text.lines, std::vector<std::string>{"Error in parsing JSON data"});
    // A JSON answer to a first-generation position read is no six-value
    // reply: passed over until the hand's own answer.
    std::vector<float> positions;
    v1hand->set_faults(sim::Faults().with_before({R"({"angle":[1,2,3,4,5,6,7,8,9,10,11,12]})"}));
    EXPECT_EQ(run([&] { return v1.get_pos(positions); }).status, 0);
    EXPECT_THAT(positions, ElementsAre(0.75f, 1.0f, 0.0f, 0.5f, 0.25f, 0.875f));
    // A register frame as a JSON read's answer: not JSON, -1.
    v2hand->script(kComm, std::string("\xEE\x16\x01\x00\x00", 5));
    std::vector<long> codes;
    EXPECT_EQ(run([&] { return v2.get_errorcode(codes); }).status, -1);
}

// 64 KiB datagrams are cut to 1024 bytes: a cut JSON reply does not parse,
// a configuration text is taken cut.
TEST_F(Faults, SixtyFourKilobyteDatagramsAreCutTo1024Bytes) {
    const std::string huge = R"({"angle":[)" + std::string(65000, '1') + "]}";
    v2hand->script(kComm, huge);
    EXPECT_EQ(run([&] { return v2_get_pos(); }).status, -1);
    v2hand->script(kComm, huge);
    std::string config;
    EXPECT_EQ(run([&] { return v2.get_comm_config(config); }).status, 0);
    EXPECT_EQ(config, huge.substr(0, 1024));
    std::vector<long> codes;
    v1hand->script(kComm, std::string(65000, '\xFF'));
    EXPECT_EQ(run([&] { return v1.get_errorcode(codes); }).status, 0);
    EXPECT_LE(codes.size(), 1024u / 2 * 8);
}

// Another host floods every port of the library's endpoints and of the hand
// while each kind is asked: every call keeps its normal result.
TEST_F(Faults, FloodsOnEveryPortChangeNoResult) {
    auto inspire_hand = simulator.add<sim::InspireHand>(kInspireIp);
    Inspire inspire{kInspireIp};
    std::vector<float> positions;
    ASSERT_EQ(v1.get_pos(positions), 0);
    ASSERT_EQ(v2_get_pos(), 0);
    ASSERT_EQ(v2.enable(), 0);
    std::vector<float> inspire_expected;
    ASSERT_EQ(inspire.get_pos(inspire_expected), 0);
    std::vector<sockaddr_in> targets;
    for (const BaseHandProtocol::BaseHand* hand : {static_cast<BaseHandProtocol::BaseHand*>(&v1),
                                                   static_cast<BaseHandProtocol::BaseHand*>(&v2),
                                                   static_cast<BaseHandProtocol::BaseHand*>(&inspire)}) {
        for (const auto* endpoint : {hand->ctrl_udp_socket.get(), hand->comm_udp_socket.get()}) {
            targets.push_back(
                dexhand_test::ipv4("192.168.137.1", dexhand_test::local_port(endpoint->sockfd)));
        }
    }
    for (const std::string& ip : {kV1Ip, kV2Ip, kInspireIp}) {
        for (unsigned short port : {kCtrl, kComm, static_cast<unsigned short>(2335)}) {
            targets.push_back(dexhand_test::ipv4(ip, port));
        }
    }
    dexhand_test::UdpPeer stranger("192.168.137.50", 0);
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread flood([&] {
        const std::string junk = R"({"angle":[0,0,0,0,0,0,0,0,0,0,0,0],"errorcode":0})";
        while (!stop) {
            for (const auto& to : targets) {
                stranger.send_to(to, junk);
            }
            ++rounds;
        }
    });
    while (rounds < 50) {
        std::this_thread::yield();
    }
    const auto check = [&](int status, long long took_ms, bool right, int budget_ms) {
        EXPECT_TRUE(status == 0 || status == -2) << status;
        EXPECT_TRUE(status != 0 || right);
        EXPECT_LT(took_ms, budget_ms + kMarginMs);
    };
    std::vector<float> inspire_positions;
    for (int i = 0; i < 20; ++i) {
        const Outcome first = run([&] { return v1.get_pos(positions); });
        check(first.status, first.took_ms, positions == std::vector<float>{0.75f, 1.0f, 0.0f, 0.5f, 0.25f, 0.875f},
              100);
        const Outcome second = run([&] { return v2_get_pos(); });
        check(second.status, second.took_ms, angles == std::vector<float>(12, 5.0f), 1000);
        const Outcome third = run([&] { return inspire.get_pos(inspire_positions); });
        check(third.status, third.took_ms, inspire_positions == inspire_expected, 100);
    }
    stop = true;
    flood.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the hands work through their queues
    EXPECT_EQ(run([&] { return v1.get_pos(positions); }).status, 0);
    EXPECT_EQ(run([&] { return v2_get_pos(); }).status, 0);
    EXPECT_EQ(run([&] { return inspire.get_pos(inspire_positions); }).status, 0);
}
