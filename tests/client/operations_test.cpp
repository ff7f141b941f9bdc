// The client end to end: discovery, registration, identity queries, commands,
// reads and calibration through QmHand::DexHand, against simulated hands.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "client/dexhand.h"
#include "inspire_hand.h"
#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "simulator.h"
#include "support/fd_count.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Strings = std::vector<std::string>;

namespace {

const std::string kInspireIp = "192.168.137.19";
const std::string kQmhv1Ip = "192.168.137.10";
const std::string kQmhv2Ip = "192.168.137.39";
const std::string kOtherQmhv2Ip = "192.168.137.40";

std::string reply(const std::string& name, const std::string& type, const std::string& ip) {
    return sim::JsonObject().str("name", name).str("type", type).str("IP", ip).text();
}

// Adds a hand that answers discovery with text, delay_ms after the request
// (the delays fix the registration order).
template <class H = sim::Hand>
std::shared_ptr<H> add_hand(sim::Simulator& simulator, const std::string& ip, const std::string& text,
                            int delay_ms = 0) {
    auto hand = simulator.add<H>(ip);
    sim::DiscoveryAnswer answer;
    answer.text = text;
    answer.delay_ms = delay_ms;
    hand->set_discovery(answer);
    return hand;
}

// Runs init and returns its result, with what it printed in output.
int run_init(QmHand::DexHand& client, std::string& output) {
    CaptureStdout();
    const int result = client.init(0);
    output = GetCapturedStdout();
    return result;
}

}  // namespace

TEST(Client, OneHandOfEachKind) {
    sim::Simulator simulator;
    auto qmhv2 = add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip,
                                          sim::JsonObject()
                                              .str("name", "qmhv2")
                                              .str("type", "QMH-12L")
                                              .str("IP", kQmhv2Ip)
                                              .array("hardware_verison", {1, 2})
                                              .array("firmware_verison", {3, 4, 5, 6})
                                              .text());
    auto inspire = add_hand<sim::InspireHand>(simulator, kInspireIp, reply("QSH", "QSH-6", kInspireIp), 60);
    auto qmhv1 = add_hand<sim::Qmhv1Hand>(simulator, kQmhv1Ip, reply("qmhv1", "QMH-6L", kQmhv1Ip), 120);
    const int descriptors = dexhand_test::open_descriptors();
    auto owner = std::make_unique<QmHand::DexHand>();
    QmHand::DexHand& client = *owner;
    std::string output;

    CaptureStdout();
    EXPECT_EQ(client.get_name(kQmhv2Ip), "");  // nothing registered yet
    EXPECT_EQ(GetCapturedStdout(), "[Error] [dexhand][get_name(std::string ip)] IP: 192.168.137.39 not found.\n");
    ASSERT_EQ(run_init(client, output), 0) << output;
    EXPECT_EQ(output, "");
    EXPECT_EQ(client.get_ip_list(), (Strings{kQmhv2Ip, kInspireIp, kQmhv1Ip}));
    const auto& hands = client.hand_manager.hands;
    ASSERT_EQ(hands.size(), 3u);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv2*>(hands[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Inspire*>(hands[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv1*>(hands[2].get()), nullptr);
    EXPECT_EQ(dexhand_test::open_descriptors(), descriptors + 9);  // three endpoints per hand

    // Identity queries; a hand past the end of the version lists gets "" silently.
    CaptureStdout();
    EXPECT_EQ(client.get_name(kQmhv2Ip), "qmhv2");
    EXPECT_EQ(client.get_type(kQmhv2Ip), "QMH-12L");
    EXPECT_EQ(client.get_driver_ver(kQmhv2Ip), "1.2.0.0");
    EXPECT_EQ(client.get_hardware_ver(kQmhv2Ip), "3.4.5.6");
    EXPECT_EQ(client.get_driver_ver(kInspireIp), "");
    EXPECT_EQ(client.get_hardware_ver(kInspireIp), "");
    EXPECT_EQ(GetCapturedStdout(), "");

    // Addresses are checked before anything is sent.
    CaptureStdout();
    EXPECT_EQ(client.get_name("192.168.137.300"), "");
    EXPECT_EQ(client.get_name("192.168.137.39 "), "");
    EXPECT_EQ(client.get_type("192.168.137.50"), "");
    EXPECT_EQ(client.get_hardware_ver("192.168.137.039"), "");
    EXPECT_EQ(client.set_pos("192.168.137.3x", {1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(client.enable("192.168.137.039"), -1);  // valid text, but not the registered spelling
    EXPECT_TRUE(client.get_pos("192.168.137.50").empty());
    EXPECT_TRUE(client.get_errorcode("192.168.137.256").empty());
    EXPECT_EQ(client.clear_errorcode("192.168.137.50"), -1);
    EXPECT_EQ(client.set_hand_config("", "{}"), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [dexhand][get_name(std::string ip)] Invalid IP: 192.168.137.300\n"
              "[Error] [dexhand][get_name(std::string ip)] Invalid IP: 192.168.137.39 \n"
              "[Error] [dexhand][get_type(std::string ip)] IP: 192.168.137.50 not found.\n"
              "[Error] [dexhand][get_hardware_ver(std::string ip)] IP: 192.168.137.039 not found.\n"
              "[Error] [dexhand][set_pos(std::string ip)] Invalid IP: 192.168.137.3x\n"
              "[Error] [dexhand][get_errorcode(std::string ip)] Invalid IP: 192.168.137.256\n"
              "[Error] [[Qhand]][clear_errorcode(std::string _ip)] IP not found.\n"
              "[Error] [dexhand][set_hand_config(std::string ip, std::string config)] Invalid IP: \n");
    EXPECT_EQ(qmhv2->received_count(sim::kCtrlPort) + qmhv1->received_count(sim::kCtrlPort), 0u);

    // Reads and commands reach each kind.
    CaptureStdout();
    EXPECT_EQ(client.get_pos(kInspireIp).size(), 6u);
    EXPECT_EQ(client.get_pos(kQmhv1Ip).size(), 6u);
    EXPECT_EQ(client.get_pos(kQmhv2Ip).size(), 12u);
    const std::vector<float> targets = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    EXPECT_EQ(client.set_pos(kQmhv2Ip, targets), 0);
    EXPECT_EQ(qmhv2->targets(), std::vector<double>(targets.begin(), targets.end()));
    // The fast path of a second-generation hand is its position command.
    EXPECT_EQ(client.fast_set_pos(kQmhv2Ip, std::vector<float>(12, 5.0f)), 0);
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
    const auto pvc = client.get_pvc(kInspireIp);  // the one kind that serves all three reads
    ASSERT_EQ(pvc.size(), 3u);
    EXPECT_EQ(pvc[0].size(), 6u);
    GetCapturedStdout();

    // Results are shaped for the application: no tactile matrix on a first-
    // generation hand; no currents on a second-generation one, so no get_pvc.
    CaptureStdout();
    EXPECT_TRUE(client.get_ts_matrix(kQmhv1Ip).empty());
    EXPECT_TRUE(client.get_pvc(kQmhv2Ip).empty());
    EXPECT_EQ(GetCapturedStdout(), "[Error] [dexhand][get_ts_matrix(std::string ip)] Get ts matrix error\n");
    EXPECT_EQ(client.reboot(kQmhv2Ip), -1);  // not served by the second generation
    // The manager reports success for get_status whatever the hand did.
    std::vector<unsigned char> status = {7};
    EXPECT_EQ(client.hand_manager.get_status(kQmhv2Ip, status), 0);
    EXPECT_EQ(status, std::vector<unsigned char>{7});
    // Unknown addresses at the manager, and a calibration command the hand refuses.
    std::vector<long> codes;
    qmhv2->set_command_code("/calibration", 1);
    CaptureStdout();
    EXPECT_EQ(client.hand_manager.get_status("192.168.137.50", status), -1);
    EXPECT_EQ(client.hand_manager.get_errorcode("192.168.137.50", codes), -1);
    EXPECT_EQ(client.hand_manager.calibration("192.168.137.50"), -1);
    EXPECT_EQ(client.hand_manager.calibration(kQmhv2Ip), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [[Qhand]][get_status(OperatePtrType type, std::vector<long> &status)] IP not found.\n"
              "[Error] [[Qhand]][get_errorcode(OperatePtrType type, std::vector<long> &errorcode)] IP not found.\n"
              "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n"
              "[Error] [[Qhand]][calibration(std::string _ip)] calibration fail.\n");

    // A time-out passes through enable(ip) but set_hand_config reports -1.
    qmhv2->set_answer("/enable", sim::Qmhv2Hand::Answer::Silent);
    qmhv2->set_answer("/config", sim::Qmhv2Hand::Answer::Silent);
    CaptureStdout();
    EXPECT_EQ(client.enable(kQmhv2Ip), -2);
    EXPECT_EQ(client.set_hand_config(kQmhv2Ip, R"({"method":"SET","cmd":"/config"})"), -1);
    EXPECT_EQ(client.get_hand_config(kQmhv2Ip), "");
    const std::string timeout = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";
    EXPECT_EQ(GetCapturedStdout(), timeout + timeout + timeout);

    // Discovery lists cut short are not read past their end.
    client.hand_manager.names.resize(1);
    CaptureStdout();
    EXPECT_EQ(client.get_name(kInspireIp), "");
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [dexhand][get_name(std::string ip)] Index out of bounds for IP: 192.168.137.19\n");

    owner.reset();
    EXPECT_EQ(dexhand_test::open_descriptors(), descriptors);
}

TEST(Client, AllHandCommandsStopAtTheFirstFailureAndCalibrationOutcomes) {
    sim::Simulator simulator;
    auto first = add_hand<sim::Qmhv2Hand>(simulator, "192.168.137.41", reply("qmhv2", "QMH-12L", "192.168.137.41"));
    auto good = add_hand<sim::Qmhv2Hand>(simulator, kQmhv2Ip, reply("qmhv2", "QMH-12R", kQmhv2Ip), 60);
    auto bad = add_hand<sim::Qmhv2Hand>(simulator, kOtherQmhv2Ip, reply("qmhv2", "QMH-12L", kOtherQmhv2Ip), 120);
    auto v1 = add_hand<sim::Qmhv1Hand>(simulator, kQmhv1Ip, reply("qmhv1", "QMH-6R", kQmhv1Ip), 180);
    good->set_command_code("/enable", 1);
    first->set_enabled(false);
    bad->set_enabled(false);
    QmHand::DexHand client;
    std::string output;
    ASSERT_EQ(run_init(client, output), 0) << output;
    ASSERT_EQ(client.get_ip_list().size(), 4u);

    CaptureStdout();
    EXPECT_EQ(client.enable(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n");
    EXPECT_TRUE(first->enabled());
    EXPECT_FALSE(bad->enabled());
    EXPECT_EQ(bad->received_count(sim::kCtrlPort), 0u);
    EXPECT_EQ(client.disable(), 0);
    EXPECT_FALSE(first->enabled());
    EXPECT_FALSE(bad->enabled());
    ASSERT_TRUE(v1->wait_received(sim::kCtrlPort, 1, std::chrono::seconds(1)));  // disable reached it too

    // Calibration runs on the second generation only; the first failing or
    // stuck hand in registration order decides.
    first->set_calibration(100, false);
    good->set_calibration(100, false);
    bad->set_calibration(100, true);
    v1->clear_received();
    CaptureStdout();
    EXPECT_EQ(client.calibration(kQmhv2Ip), 0);
    EXPECT_EQ(client.calibration(kOtherQmhv2Ip), -1);
    EXPECT_EQ(client.calibration(), -1);
    EXPECT_EQ(client.calibration(kQmhv1Ip), 0);
    EXPECT_EQ(v1->calibrations(), 0);
    EXPECT_EQ(v1->received_count(sim::kCtrlPort), 0u);
    EXPECT_EQ(client.calibration("192.168.137.50"), 0);
    EXPECT_EQ(GetCapturedStdout(), "[Error] [dexhand][get_name(std::string ip)] IP: 192.168.137.50 not found.\n");

    first->set_calibration(24 * 3600 * 1000, false);  // answers 4294967295 at once, for ever
    CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.calibration(), -2);
    const auto took = std::chrono::steady_clock::now() - start;
    GetCapturedStdout();
    // 500 ms, then 6000 polls with a 1 ms pause each.
    EXPECT_GE(took, std::chrono::milliseconds(6500));
    EXPECT_GE(first->received_count(sim::kCommPort), 6000u);

    QmHand::DexHand empty;
    EXPECT_EQ(empty.enable(), 0);
    EXPECT_EQ(empty.disable(), 0);
    EXPECT_EQ(empty.reboot(), 0);
    EXPECT_EQ(empty.calibration(), 0);
}

TEST(Registry, RefusedHandsStopRegistrationAndKeepThoseBefore) {
    const struct {
        Strings replies;
        std::string line;
        Strings registered;
    } cases[] = {
        {{reply("QSH", "x", "192.168.137.20")}, "[Qhand] init(): ip: 192.168.137.20unexcepted!\n", {}},
        {{reply("qmhv2", "QMH-6L", "192.168.137.11"), reply("qmhv2", "QMH-12L", "192.168.137.12")},
         "[Qhand] init(): type: QMH-6Lunexcepted!\n",
         {}},
        {{reply("qmhv1", "QMH-6L", "192.168.137.10"), reply("qmhv1", "QMH-7L", "192.168.137.11"),
          reply("qmhv2", "QMH-12L", "192.168.137.12")},
         "[Qhand] init(): type: QMH-7Lunexcepted!\n",
         {"192.168.137.10"}},
        {{R"({"name":"qmhv1","IP":"192.168.137.10"})"}, "[Qhand] init(): ip type name Dimensions are different\n", {}},
        {{R"({"name":"qmhv1","type":"QMH-6L","IP":"192.168.137.10","ip_address":"192.168.137.10"})"},
         "[Qhand] init(): ip type name Dimensions are different\n",
         {}},
    };
    for (const auto& c : cases) {
        sim::Simulator simulator;
        for (std::size_t i = 0; i < c.replies.size(); ++i) {
            add_hand(simulator, "192.168.137." + std::to_string(60 + i), c.replies[i], static_cast<int>(i) * 80);
        }
        QmHand::DexHand client;
        std::string output;
        EXPECT_EQ(run_init(client, output), -1) << c.line;
        EXPECT_EQ(output, c.line);
        EXPECT_EQ(client.get_ip_list(), c.registered) << c.line;
        EXPECT_EQ(client.hand_manager.hands.size(), c.registered.size());
    }
}

TEST(Registry, DuplicateAddressesAreRegisteredThenRefused) {
    sim::Simulator simulator;
    add_hand(simulator, "192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"));
    add_hand(simulator, "192.168.137.41", reply("qmhv1", "QMH-6L", "192.168.137.39"), 100);
    QmHand::DexHand client;
    std::string output;
    EXPECT_EQ(run_init(client, output), -1);
    EXPECT_EQ(output, "[Error] [[Qhand]][init()] Server illegal duplicate ip.\n");
    EXPECT_EQ(client.get_ip_list(), (Strings{"192.168.137.39", "192.168.137.39"}));
    ASSERT_EQ(client.hand_manager.hands.size(), 2u);
    // Every lookup reaches the first of the two.
    EXPECT_EQ(client.get_name("192.168.137.39"), "qmhv2");
    EXPECT_EQ(client.reboot("192.168.137.39"), -1);  // the second-generation hand has no reboot
}

TEST(Registry, AddressThatIsNotIpv4ThrowsFromInitAndKeepsEarlierHands) {
    sim::Simulator simulator;
    add_hand(simulator, "192.168.137.10", reply("qmhv1", "QMH-6L", "192.168.137.10"));
    add_hand(simulator, "192.168.137.11", reply("qmhv1", "QMH-6L", "hand-eleven"), 100);
    QmHand::DexHand client;
    EXPECT_THROW(client.init(0), std::invalid_argument);
    EXPECT_EQ(client.get_ip_list(), Strings{"192.168.137.10"});
}

TEST(Registry, SecondInitStartsFromNothingAndNoAnswerMeansConnotFindServer) {
    sim::Simulator simulator;
    auto hand = add_hand(simulator, "192.168.137.39", reply("qmhv2", "QMH-12L", "192.168.137.39"));
    QmHand::DexHand client;
    std::string output;
    ASSERT_EQ(run_init(client, output), 0);
    ASSERT_EQ(client.get_ip_list(), Strings{"192.168.137.39"});

    sim::DiscoveryAnswer silent;
    silent.answer = false;
    hand->set_discovery(silent);
    EXPECT_EQ(run_init(client, output), -1);
    EXPECT_EQ(output, "DEVICE RECVFROM TIMEOUT\n\033[0;31m [Error] [[Qhand]][init()] Connot find server.\033[0m\n");
    EXPECT_TRUE(client.get_ip_list().empty());
    EXPECT_TRUE(client.hand_manager.hands.empty());
    EXPECT_TRUE(client.hand_manager.names.empty());
    EXPECT_TRUE(client.hand_manager.types.empty());
    EXPECT_TRUE(client.hand_manager.ip_addresses.empty());
}

TEST(Identity, AddressPattern) {
    QmHand::DexHand client;
    for (const char* ok : {"192.168.137.19", "0.0.0.0", "255.255.255.255", "000.0.0.0", "192.168.137.019", "1.2.3.4"}) {
        EXPECT_TRUE(client.isValidIP(ok)) << ok;
    }
    for (const char* bad : {"192.168.137.256", "192.168.137", "192.168.137.1.1", " 192.168.137.1", "192.168.137.1:2333",
                            "192.168.137.3x", "", "0192.168.137.1", "a.b.c.d", "192.168.137.1\n"}) {
        EXPECT_FALSE(client.isValidIP(bad)) << bad;
    }
}
