// The client's all-hands commands and its calibration driver, against three
// second-generation hands and one first-generation hand; the typed client's
// driver where a calibration takes its whole time.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>

#include "client/client_support.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

using client_test::printed;
using QmHand::kFailure;
using QmHand::kSuccess;
using QmHand::kTimeout;

namespace {

const std::string kFirstIp = "192.168.137.41";
const std::string kGoodIp = "192.168.137.39";
const std::string kBadIp = "192.168.137.40";
const std::string kQmhv1Ip = "192.168.137.10";

// One discovery for the suite (the typed client's alongside), hands
// registered in the order first, good, bad, qmhv1. Each test starts from the same hand settings: good refuses
// enable; first and bad are disabled; a calibration takes 100 ms and fails
// on bad only.
class AllHands : public testing::Test {
protected:
    static void SetUpTestSuite() {
        using client_test::reply;
        subnet = std::make_unique<client_test::Subnet>();
        first = subnet->add<sim::Qmhv2Hand>(kFirstIp, reply("qmhv2", "QMH-12L", kFirstIp));
        good = subnet->add<sim::Qmhv2Hand>(kGoodIp, reply("qmhv2", "QMH-12R", kGoodIp));
        bad = subnet->add<sim::Qmhv2Hand>(kBadIp, reply("qmhv2", "QMH-12L", kBadIp));
        qmhv1 = subnet->add<sim::Qmhv1Hand>(kQmhv1Ip, reply("qmhv1", "QMH-6R", kQmhv1Ip));
        typed = std::make_unique<tessaro_dexhand::Client>();
        auto typed_discovery = std::async(std::launch::async, [] { return typed->discover(); });
        subnet->run_init();
        typed_found = typed_discovery.get();
    }
    static void TearDownTestSuite() {
        typed.reset();
        subnet.reset();
    }

    void SetUp() override {
        ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output;
        ASSERT_EQ(client().get_ip_list().size(), 4u);
        good->set_command_code("/enable", 1);
        first->set_enabled(false);
        bad->set_enabled(false);
        first->set_calibration(100, false);
        good->set_calibration(100, false);
        bad->set_calibration(100, true);
        good->set_answer("/calibration", sim::Qmhv2Hand::Answer::Normal);
        subnet->clear_received();
    }

    QmHand::DexHand& client() { return subnet->client; }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::shared_ptr<sim::Qmhv2Hand> first, good, bad;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1;
    static inline std::unique_ptr<tessaro_dexhand::Client> typed;
    static inline tessaro_dexhand::Status typed_found = tessaro_dexhand::Status::failed;
};

}  // namespace

TEST_F(AllHands, EnableStopsAtTheFirstFailure) {
    const auto result = printed([this] { return client().enable(); });
    EXPECT_EQ(result.result, kFailure);
    EXPECT_EQ(result.output, "MOTOR: 192.168.137.39, SET ENABLE FAILED\n");
    EXPECT_TRUE(first->enabled());
    EXPECT_FALSE(bad->enabled());
    EXPECT_EQ(bad->received_count(sim::kCtrlPort), 0u);
}

TEST_F(AllHands, DisableReachesEveryHand) {
    first->set_enabled(true);
    bad->set_enabled(true);
    EXPECT_EQ(client().disable(), kSuccess);
    EXPECT_FALSE(first->enabled());
    EXPECT_FALSE(bad->enabled());
    ASSERT_TRUE(qmhv1->wait_received(sim::kCtrlPort, 1, std::chrono::seconds(1)));
    EXPECT_EQ(qmhv1->received_count(sim::kCtrlPort), 1u);
}

TEST_F(AllHands, CalibrationOfEachHandGivesItsOutcomeAndLeavesAFirstGenerationHandAlone) {
    EXPECT_EQ(client().calibration(kGoodIp), kSuccess);
    EXPECT_EQ(client().calibration(kBadIp), kFailure);
    EXPECT_EQ(client().calibration(kQmhv1Ip), kSuccess);
    EXPECT_EQ(qmhv1->calibrations(), 0);
    EXPECT_EQ(qmhv1->received_count(sim::kCtrlPort), 0u);
    EXPECT_EQ(client().calibration(), kFailure);  // all of them: the failing hand decides
}

// The first hand never finishes and the third fails: the first decides, after
// 500 ms and 6000 polls with a 1 ms pause each. Meanwhile the typed client
// calibrates the first hand, a time-out, and the second, which leaves the
// command unanswered but runs its routine: polled all the same, it succeeds.
TEST_F(AllHands, AHandThatNeverFinishesTimesOutAfterSixThousandPollsAndDecidesFirst) {
    namespace td = tessaro_dexhand;
    ASSERT_EQ(typed_found, td::Status::ok);
    first->set_calibration(24 * 3600 * 1000, false);  // answers 4294967295 at once, for ever
    good->set_answer("/calibration", sim::Qmhv2Hand::Answer::Silent);
    auto typed_run = std::async(std::launch::async, [] {
        return typed->calibrate(std::vector<std::string>{kFirstIp, kGoodIp});
    });
    const auto start = std::chrono::steady_clock::now();
    const auto result = printed([this] { return client().calibration(); });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.result, kTimeout);
    EXPECT_GE(took, std::chrono::milliseconds(6500));
    EXPECT_EQ(typed_run.get(), (std::vector<td::Status>{td::Status::timeout, td::Status::ok}));
    std::map<unsigned short, int> polls;  // by each client's port
    for (const sim::Received& read : first->received(sim::kCommPort)) {
        ++polls[read.from_port];
    }
    EXPECT_EQ(polls.size(), 2u);
    for (const auto& [port, count] : polls) {
        EXPECT_EQ(count, 6000) << port;
    }
}
