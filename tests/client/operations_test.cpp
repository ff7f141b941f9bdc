// Commands, reads and calibration through QmHand::DexHand, after a real
// discovery of simulated hands of all three kinds.
#include <gtest/gtest.h>

#include "client/dexhand.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "simulator.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string kInspireIp = "192.168.137.19";
const std::string kQmhv1Ip = "192.168.137.10";
const std::string kQmhv2Ip = "192.168.137.39";
const std::string kOtherQmhv2Ip = "192.168.137.40";

// Adds a hand that answers discovery as name/type, delay_ms after the request
// (the delays fix the registration order).
template <class H>
std::shared_ptr<H> add_hand(sim::Simulator& simulator, const std::string& ip, const std::string& name,
                            const std::string& type, int delay_ms) {
    auto hand = simulator.add<H>(ip);
    sim::DiscoveryAnswer answer;
    answer.text = sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
    answer.delay_ms = delay_ms;
    hand->set_discovery(answer);
    return hand;
}

void init_quietly(QmHand::DexHand& client, std::size_t expected_hands) {
    CaptureStdout();
    ASSERT_EQ(client.init(0), 0) << GetCapturedStdout();
    GetCapturedStdout();
    ASSERT_EQ(client.get_ip_list().size(), expected_hands);
}

// One hand of each kind, registered Inspire, first generation, second generation.
class ThreeKinds : public testing::Test {
protected:
    void SetUp() override {
        inspire = add_hand<sim::InspireHand>(simulator, kInspireIp, "QSH", "QSH-6", 0);
        qmhv1 = add_hand<sim::Qmhv1Hand>(simulator, kQmhv1Ip, "qmhv1", "QMH-6L", 60);
        qmhv2 = add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, "qmhv2", "QMH-12L", 120);
        init_quietly(client, 3);
    }

    sim::Simulator simulator;
    std::shared_ptr<sim::InspireHand> inspire;
    std::shared_ptr<sim::Qmhv1Hand> qmhv1;
    std::shared_ptr<sim::Qmhv2Hand> qmhv2;
    QmHand::DexHand client;
};

}  // namespace

TEST_F(ThreeKinds, ReadsAndCommandsReachEachKind) {
    EXPECT_EQ(client.get_ip_list(), (std::vector<std::string>{kInspireIp, kQmhv1Ip, kQmhv2Ip}));

    CaptureStdout();
    EXPECT_EQ(client.get_pos(kInspireIp).size(), 6u);
    EXPECT_EQ(client.get_pos(kQmhv1Ip).size(), 6u);
    EXPECT_EQ(client.get_pos(kQmhv2Ip).size(), 12u);

    const std::vector<float> targets = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    EXPECT_EQ(client.set_pos(kQmhv2Ip, targets), 0);
    EXPECT_EQ(qmhv2->targets(), std::vector<double>(targets.begin(), targets.end()));
    // The fast path of a second-generation hand is its position command.
    const std::vector<float> others(12, 5.0f);
    EXPECT_EQ(client.fast_set_pos(kQmhv2Ip, others), 0);
    EXPECT_EQ(qmhv2->targets(), std::vector<double>(12, 5.0));

    EXPECT_EQ(client.set_pos(kInspireIp, {100, 200, 300, 400, 500, 600}), 0);
    EXPECT_NE(inspire->targets(), sim::InspireHand::Values{});
    EXPECT_EQ(client.fast_set_pos(kQmhv1Ip, {1, 2, 3, 4, 5, 6}), 0);
    ASSERT_TRUE(qmhv1->wait_received(sim::kCtrlPort, 1, std::chrono::seconds(1)));

    EXPECT_EQ(client.get_hand_config(kQmhv2Ip), qmhv2->config());
    EXPECT_EQ(client.set_hand_config(kQmhv2Ip, R"({"method":"SET","cmd":"/config","name":"left hand"})"), 0);
    EXPECT_NE(qmhv2->config().find("left hand"), std::string::npos);

    EXPECT_FALSE(client.get_errorcode(kQmhv2Ip).empty());
    EXPECT_FALSE(client.get_ts_matrix(kQmhv2Ip).empty());
    EXPECT_EQ(client.enable(kQmhv2Ip), 0);
    EXPECT_EQ(client.clear_errorcode(kInspireIp), 0);

    // Live positions, velocities and currents where the hand serves all three.
    const auto pvc = client.get_pvc(kInspireIp);
    ASSERT_EQ(pvc.size(), 3u);
    EXPECT_EQ(pvc[0].size(), 6u);
    GetCapturedStdout();
}

TEST_F(ThreeKinds, ResultsAreShapedForTheApplication) {
    // No tactile matrix on a first-generation hand: one line, empty result.
    CaptureStdout();
    EXPECT_TRUE(client.get_ts_matrix(kQmhv1Ip).empty());
    EXPECT_EQ(GetCapturedStdout(), "[Error] [dexhand][get_ts_matrix(std::string ip)] Get ts matrix error\n");

    // A second-generation hand reads no currents, so get_pvc gives nothing.
    CaptureStdout();
    EXPECT_TRUE(client.get_pvc(kQmhv2Ip).empty());
    EXPECT_EQ(GetCapturedStdout(), "");

    // reboot is not served by the second generation; the fixed -1 passes through.
    EXPECT_EQ(client.reboot(kQmhv2Ip), -1);

    // The manager reports success for get_status whatever the hand did.
    std::vector<unsigned char> status = {7};
    EXPECT_EQ(client.hand_manager.get_status(kQmhv2Ip, status), 0);
    EXPECT_EQ(status, std::vector<unsigned char>{7});

    // A time-out passes through enable(ip) but set_hand_config reports -1.
    qmhv2->set_answer("/enable", sim::Qmhv2Hand::Answer::Silent);
    qmhv2->set_answer("/config", sim::Qmhv2Hand::Answer::Silent);
    CaptureStdout();
    EXPECT_EQ(client.enable(kQmhv2Ip), -2);
    EXPECT_EQ(client.set_hand_config(kQmhv2Ip, R"({"method":"SET","cmd":"/config"})"), -1);
    EXPECT_EQ(client.get_hand_config(kQmhv2Ip), "");
    EXPECT_EQ(GetCapturedStdout(), "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n"
                                   "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n"
                                   "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n");
}

TEST_F(ThreeKinds, AddressesAreCheckedBeforeAnythingIsSent) {
    CaptureStdout();
    EXPECT_EQ(client.set_pos("192.168.137.3x", {1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(client.enable("192.168.137.039"), -1);  // valid text, but not the registered spelling
    EXPECT_TRUE(client.get_pos("192.168.137.50").empty());
    EXPECT_TRUE(client.get_errorcode("192.168.137.256").empty());
    EXPECT_EQ(client.clear_errorcode("192.168.137.50"), -1);
    EXPECT_EQ(client.set_hand_config("", "{}"), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [dexhand][set_pos(std::string ip)] Invalid IP: 192.168.137.3x\n"
              "[Error] [dexhand][get_errorcode(std::string ip)] Invalid IP: 192.168.137.256\n"
              "[Error] [[Qhand]][clear_errorcode(std::string _ip)] IP not found.\n"
              "[Error] [dexhand][set_hand_config(std::string ip, std::string config)] Invalid IP: \n");
    EXPECT_EQ(qmhv2->received_count(sim::kCtrlPort) + qmhv1->received_count(sim::kCtrlPort), 0u);
}

TEST(AllHands, CommandsStopAtTheFirstFailure) {
    sim::Simulator simulator;
    auto first = add_hand<sim::Qmhv2Hand>(simulator, "192.168.137.41", "qmhv2", "QMH-12L", 0);
    auto second = add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, "qmhv2", "QMH-12R", 60);
    auto third = add_hand<sim::Qmhv2Hand>(simulator, kOtherQmhv2Ip, "qmhv2", "QMH-12L", 120);
    second->set_command_code("/enable", 1);
    first->set_enabled(false);
    third->set_enabled(false);

    QmHand::DexHand client;
    init_quietly(client, 3);
    CaptureStdout();
    EXPECT_EQ(client.enable(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n");
    EXPECT_TRUE(first->enabled());
    EXPECT_FALSE(third->enabled());
    EXPECT_EQ(third->received_count(sim::kCtrlPort), 0u);

    EXPECT_EQ(client.disable(), 0);
    EXPECT_FALSE(first->enabled());
    EXPECT_FALSE(third->enabled());

    QmHand::DexHand empty;
    EXPECT_EQ(empty.enable(), 0);
    EXPECT_EQ(empty.disable(), 0);
    EXPECT_EQ(empty.reboot(), 0);
}

TEST(Calibration, EveryOutcomeAndTheFirstDecisiveEntry) {
    sim::Simulator simulator;
    auto v1 = add_hand<sim::Qmhv1Hand>(simulator, kQmhv1Ip, "qmhv1", "QMH-6R", 0);
    auto good = add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, "qmhv2", "QMH-12L", 60);
    auto bad = add_hand<sim::Qmhv2Hand>(simulator, kOtherQmhv2Ip, "qmhv2", "QMH-12R", 120);
    good->set_calibration(100, false);
    bad->set_calibration(100, true);

    QmHand::DexHand client;
    init_quietly(client, 3);

    CaptureStdout();
    EXPECT_EQ(client.calibration(kQmhv2Ip), 0);
    EXPECT_EQ(client.calibration(kOtherQmhv2Ip), -1);
    // Both at once: the failing hand decides; the first generation is left alone.
    EXPECT_EQ(client.calibration(), -1);
    EXPECT_EQ(v1->calibrations(), 0);
    EXPECT_EQ(v1->received_count(sim::kCtrlPort), 0u);

    // Only the first generation: nothing to do, success.
    EXPECT_EQ(client.calibration(kQmhv1Ip), 0);
    EXPECT_EQ(client.calibration("192.168.137.50"), 0);
    EXPECT_EQ(GetCapturedStdout(), "[Error] [dexhand][get_name(std::string ip)] IP: 192.168.137.50 not found.\n");

    QmHand::DexHand empty;
    EXPECT_EQ(empty.calibration(), 0);
}

TEST(Calibration, AHandThatNeverFinishesTimesOutAndComesFirst) {
    sim::Simulator simulator;
    auto stuck = add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, "qmhv2", "QMH-12L", 0);
    auto bad = add_hand<sim::Qmhv2Hand>(simulator, kOtherQmhv2Ip, "qmhv2", "QMH-12R", 60);
    stuck->set_calibration(24 * 3600 * 1000, false);  // answers 4294967295 at once, for ever
    bad->set_calibration(50, true);

    QmHand::DexHand client;
    init_quietly(client, 2);
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.calibration(), -2);
    const auto took = std::chrono::steady_clock::now() - start;
    GetCapturedStdout();
    // 500 ms, then 6000 polls with a 1 ms pause each.
    EXPECT_GE(took, std::chrono::milliseconds(6500));
    EXPECT_GE(stuck->received_count(sim::kCommPort), 6000u);
}
