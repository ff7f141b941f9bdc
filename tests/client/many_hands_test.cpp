// Reads and position commands of several hands in one round trip, through
// QmHand::DexHand, against one simulated hand of each kind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "client/client_support.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/protocol_rig.h"

using client_test::printed;
using QmHand::kFailure;
using QmHand::kSuccess;

namespace {

const std::string kQmhv1Ip = "192.168.137.10";
const std::string kInspireIp = "192.168.137.19";
const std::string kQmhv2Ip = "192.168.137.40";
const std::string kUnknownIp = "192.168.137.50";

using Positions = std::vector<std::vector<float>>;

class ManyHands : public testing::Test {
protected:
    static void SetUpTestSuite() {
        subnet = std::make_unique<client_test::Subnet>();
        qmhv1 = subnet->add<sim::Qmhv1Hand>(kQmhv1Ip, client_test::reply("qmhv1", "QMH-6L", kQmhv1Ip));
        inspire = subnet->add<sim::InspireHand>(kInspireIp, client_test::reply("QSH", "QSH-6", kInspireIp));
        qmhv2 = subnet->add<sim::Qmhv2Hand>(kQmhv2Ip, client_test::reply("qmhv2", "QMH-12R", kQmhv2Ip));
        subnet->run_init();
    }
    static void TearDownTestSuite() {
        qmhv1.reset();
        inspire.reset();
        qmhv2.reset();
        subnet.reset();
    }
    void SetUp() override { ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output; }
    void TearDown() override {
        for (const auto& hand : subnet->hands) {
            hand->set_faults({});
        }
    }

    QmHand::DexHand& client() { return subnet->client; }
    Positions one_by_one(const std::vector<std::string>& ips) {
        Positions pos;
        for (const auto& ip : ips) {
            pos.push_back(client().get_pos(ip));
        }
        return pos;
    }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1;
    static inline std::shared_ptr<sim::InspireHand> inspire;
    static inline std::shared_ptr<sim::Qmhv2Hand> qmhv2;
};

}  // namespace

// Each entry is what that hand's own read gives, an empty list (and
// get_pos's line) for an invalid or unknown address; an address listed twice
// is read twice; all means every hand in order.
TEST_F(ManyHands, ReadsGiveWhatEachHandsOwnReadGives) {
    const std::vector<std::string> ips = {kQmhv2Ip, kQmhv1Ip, kInspireIp, "192.168.137.4x", kUnknownIp, kQmhv2Ip};
    qmhv2->clear_received();
    const auto together = printed([&] { return client().get_pos_many(ips); });
    EXPECT_EQ(qmhv2->received_count(sim::kCommPort), 2u);
    std::vector<std::size_t> sizes;
    for (const auto& read : together.result) {
        sizes.push_back(read.size());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{12, 6, 6, 0, 0, 12}));
    EXPECT_EQ(together.output, "[Error] [dexhand][get_pos(std::string ip)] Invalid IP: 192.168.137.4x\n");
    EXPECT_EQ(together.result, printed([&] { return one_by_one(ips); }).result);
    EXPECT_EQ(client().get_pos_all(), one_by_one(client().get_ip_list()));
}

TEST_F(ManyHands, ASilentHandTimesOutOnItsOwnBudgetWhileTheOthersAnswer) {
    qmhv1->set_faults(dexhand_test::silent());
    const auto read = printed([this] { return client().get_pos_many({kQmhv1Ip, kQmhv2Ip, kInspireIp}); });
    ASSERT_EQ(read.result.size(), 3u);
    EXPECT_EQ(read.result[0], std::vector<float>{});
    EXPECT_EQ(read.result[1].size(), 12u);
    EXPECT_EQ(read.result[2].size(), 6u);
    EXPECT_EQ(read.output, "[Warning] [Qmhv1::get_pos()] DEVICE RECVFROM: 192.168.137.10, TIMEOUT\n");
}

// Two hands, each read twice, that answer 80 ms late: one by one that is
// 320 ms; together two rounds of about 80 ms (the slack is generous).
TEST_F(ManyHands, SlowHandsAreWaitedForTogether) {
    client().get_pos_all();  // first-generation limits are read once, before timing
    for (const auto& hand : subnet->hands) {
        hand->set_faults(dexhand_test::delayed(80));
    }
    const auto start = std::chrono::steady_clock::now();
    const Positions read = client().get_pos_many({kQmhv2Ip, kInspireIp, kQmhv2Ip, kInspireIp});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(read[0].size(), 12u);
    EXPECT_EQ(read[1].size(), 6u);
    EXPECT_LT(took, std::chrono::milliseconds(300));
}

TEST_F(ManyHands, PositionsReachEveryHandWithEachOnesResult) {
    const std::vector<float> twelve = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    const auto sent = printed([&] {
        return client().set_pos_many({kQmhv2Ip, kInspireIp, kQmhv1Ip, "x"},
                                     {twelve, {100, 200, 300, 400, 500, 600}, {0.5f}});
    });
    EXPECT_EQ(sent.result, (std::vector<int>{kSuccess, kSuccess, kFailure, kFailure}));
    EXPECT_EQ(qmhv2->targets(), std::vector<double>(twelve.begin(), twelve.end()));
    EXPECT_EQ(inspire->targets(), (sim::InspireHand::Values{1000, 1000, 1000, 1000, 1000, 1000}));
    EXPECT_NE(sent.output.find("pos size must be 6\n"), std::string::npos) << sent.output;
    EXPECT_NE(sent.output.find("[Error] [dexhand][set_pos(std::string ip)] Invalid IP: x\n"), std::string::npos)
        << sent.output;
}
