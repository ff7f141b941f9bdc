// The client end to end: identity queries, address checks, commands and reads
// through QmHand::DexHand, against one discovered hand of each kind.
#include <gtest/gtest.h>

#include <memory>

#include "client/client_support.h"
#include "inspire_hand.h"
#include "protocols/inspire.h"
#include "protocols/qmhv1.h"
#include "protocols/qmhv2.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/fd_count.h"

using client_test::printed;
using client_test::Strings;
using QmHand::kFailure;
using QmHand::kSuccess;
using QmHand::kTimeout;

namespace {

const std::string kStubbornIp = "192.168.137.39";
const std::string kInspireIp = "192.168.137.19";
const std::string kQmhv1Ip = "192.168.137.10";
const std::string kQmhv2Ip = "192.168.137.40";
const std::string kUnknownIp = "192.168.137.50";

// One discovery for the whole suite: a second-generation hand that refuses
// calibration and leaves enable and configuration unanswered, an Inspire
// hand, a first-generation hand and a well-behaved second-generation hand,
// registered in that order. No test changes how a hand answers.
class EachKind : public testing::Test {
protected:
    static void SetUpTestSuite() {
        subnet = std::make_unique<client_test::Subnet>();
        stubborn = subnet->add<sim::Qmhv2Hand>(kStubbornIp, sim::JsonObject()
                                                                .str("name", "qmhv2")
                                                                .str("type", "QMH-12L")
                                                                .str("IP", kStubbornIp)
                                                                .array("hardware_verison", {1, 2})
                                                                .array("firmware_verison", {3, 4, 5, 6})
                                                                .text());
        stubborn->set_command_code("/calibration", 1);
        stubborn->set_answer("/enable", sim::Qmhv2Hand::Answer::Silent);
        stubborn->set_answer("/config", sim::Qmhv2Hand::Answer::Silent);
        inspire = subnet->add<sim::InspireHand>(kInspireIp, client_test::reply("QSH", "QSH-6", kInspireIp));
        qmhv1 = subnet->add<sim::Qmhv1Hand>(kQmhv1Ip, client_test::reply("qmhv1", "QMH-6L", kQmhv1Ip));
        qmhv2 = subnet->add<sim::Qmhv2Hand>(kQmhv2Ip, client_test::reply("qmhv2", "QMH-12R", kQmhv2Ip));
        descriptors_before = dexhand_test::open_descriptors();
        subnet->run_init();
        descriptors_after = dexhand_test::open_descriptors();
    }
    static void TearDownTestSuite() {
        stubborn.reset();
        inspire.reset();
        qmhv1.reset();
        qmhv2.reset();
        subnet.reset();
    }

    void SetUp() override { ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output; }

    QmHand::DexHand& client() { return subnet->client; }
    BaseHandProtocol::BaseHand& protocol(std::size_t index) { return *client().hand_manager.hands.at(index); }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::shared_ptr<sim::Qmhv2Hand> stubborn, qmhv2;
    static inline std::shared_ptr<sim::InspireHand> inspire;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1;
    static inline int descriptors_before = 0, descriptors_after = 0;
};

const std::string kTimeoutLine = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";

}  // namespace

// --- registration --------------------------------------------------------

TEST_F(EachKind, InitRegistersEveryHandInDiscoveryOrderWithoutALine) {
    EXPECT_EQ(subnet->init.output, "");
    EXPECT_EQ(client().get_ip_list(), (Strings{kStubbornIp, kInspireIp, kQmhv1Ip, kQmhv2Ip}));
}

TEST_F(EachKind, EachKindGetsItsProtocolClass) {
    ASSERT_EQ(client().hand_manager.hands.size(), 4u);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv2*>(&protocol(0)), nullptr);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Inspire*>(&protocol(1)), nullptr);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv1*>(&protocol(2)), nullptr);
    EXPECT_NE(dynamic_cast<BaseHandProtocol::Qmhv2*>(&protocol(3)), nullptr);
}

TEST_F(EachKind, EveryHandHoldsThreeEndpoints) {
    EXPECT_EQ(descriptors_after, descriptors_before + 12);
}

// --- identity ------------------------------------------------------------

TEST_F(EachKind, IdentityComesFromTheDiscoveryReply) {
    const auto identity = printed([this] {
        return Strings{client().get_name(kStubbornIp), client().get_type(kStubbornIp),
                       client().get_driver_ver(kStubbornIp), client().get_hardware_ver(kStubbornIp)};
    });
    EXPECT_EQ(identity.result, (Strings{"qmhv2", "QMH-12L", "1.2.0.0", "3.4.5.6"}));
    EXPECT_EQ(identity.output, "");
}

TEST_F(EachKind, VersionsAbsentFromTheReplyReadEmptyWithoutALine) {
    const auto versions = printed([this] {
        return Strings{client().get_driver_ver(kInspireIp), client().get_hardware_ver(kInspireIp)};
    });
    EXPECT_EQ(versions.result, (Strings{"", ""}));
    EXPECT_EQ(versions.output, "");
}

TEST_F(EachKind, QueriesRefuseInvalidAddressText) {
    const auto names = printed([this] {
        return Strings{client().get_name("192.168.137.300"), client().get_name("192.168.137.39 ")};
    });
    EXPECT_EQ(names.result, (Strings{"", ""}));
    EXPECT_EQ(names.output,
              "[Error] [dexhand][get_name(std::string ip)] Invalid IP: 192.168.137.300\n"
              "[Error] [dexhand][get_name(std::string ip)] Invalid IP: 192.168.137.39 \n");
}

TEST_F(EachKind, QueriesOfAnUnregisteredSpellingSayNotFound) {
    const auto answers = printed([this] {
        return Strings{client().get_type(kUnknownIp), client().get_hardware_ver("192.168.137.039")};
    });
    EXPECT_EQ(answers.result, (Strings{"", ""}));
    EXPECT_EQ(answers.output,
              "[Error] [dexhand][get_type(std::string ip)] IP: 192.168.137.50 not found.\n"
              "[Error] [dexhand][get_hardware_ver(std::string ip)] IP: 192.168.137.039 not found.\n");
}

TEST_F(EachKind, ShortDiscoveryListsAreNotReadPastTheirEnd) {
    std::vector<std::string>& names = client().hand_manager.names;
    const Strings kept = names;
    names.resize(1);
    const auto name = printed([this] { return client().get_name(kInspireIp); });
    names = kept;
    EXPECT_EQ(name.result, "");
    EXPECT_EQ(name.output, "[Error] [dexhand][get_name(std::string ip)] Index out of bounds for IP: 192.168.137.19\n");
}

// --- address checks --------------------------------------------------------

TEST_F(EachKind, CommandsRefuseInvalidAddressTextAndSendNothing) {
    const std::size_t before = subnet->datagrams();
    const auto results = printed([this] {
        return std::vector<int>{client().set_pos("192.168.137.3x", {1, 2, 3, 4, 5, 6}),
                                client().set_hand_config("", "{}")};
    });
    const auto codes = printed([this] { return client().get_errorcode("192.168.137.256"); });
    EXPECT_EQ(results.result, (std::vector<int>{kFailure, kFailure}));
    EXPECT_EQ(results.output,
              "[Error] [dexhand][set_pos(std::string ip)] Invalid IP: 192.168.137.3x\n"
              "[Error] [dexhand][set_hand_config(std::string ip, std::string config)] Invalid IP: \n");
    EXPECT_EQ(codes.result, std::vector<long>{});
    EXPECT_EQ(codes.output, "[Error] [dexhand][get_errorcode(std::string ip)] Invalid IP: 192.168.137.256\n");
    EXPECT_EQ(subnet->datagrams(), before);
}

TEST_F(EachKind, CommandsForAnUnregisteredAddressFailQuietlyExceptClearErrorcode) {
    const auto enable = printed([this] { return client().enable("192.168.137.039"); });  // not the registered spelling
    const auto pos = printed([this] { return client().get_pos(kUnknownIp); });
    const auto clear = printed([this] { return client().clear_errorcode(kUnknownIp); });
    EXPECT_EQ(enable.result, kFailure);
    EXPECT_EQ(enable.output, "");
    EXPECT_EQ(pos.result, std::vector<float>{});
    EXPECT_EQ(pos.output, "");
    EXPECT_EQ(clear.result, kFailure);
    EXPECT_EQ(clear.output, "[Error] [[Qhand]][clear_errorcode(std::string _ip)] IP not found.\n");
}

TEST_F(EachKind, ManagerNamesTheUnknownAddressOfStatusAndErrorcodeReads) {
    std::vector<unsigned char> status;
    std::vector<long> codes;
    const auto results = printed([&] {
        return std::vector<int>{client().hand_manager.get_status(kUnknownIp, status),
                                client().hand_manager.get_errorcode(kUnknownIp, codes),
                                client().hand_manager.calibration(kUnknownIp)};
    });
    EXPECT_EQ(results.result, (std::vector<int>{kFailure, kFailure, kFailure}));
    EXPECT_EQ(results.output,
              "[Error] [[Qhand]][get_status(OperatePtrType type, std::vector<long> &status)] IP not found.\n"
              "[Error] [[Qhand]][get_errorcode(OperatePtrType type, std::vector<long> &errorcode)] IP not found.\n");
}

// --- reads and commands ------------------------------------------------------

TEST_F(EachKind, PositionsHoldOneValuePerJointOfEachKind) {
    const std::vector<std::size_t> sizes = {client().get_pos(kInspireIp).size(), client().get_pos(kQmhv1Ip).size(),
                                            client().get_pos(kQmhv2Ip).size()};
    EXPECT_EQ(sizes, (std::vector<std::size_t>{6, 6, 12}));
}

TEST_F(EachKind, PositionCommandsReachEachKind) {
    const std::vector<float> twelve = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    EXPECT_EQ(client().set_pos(kQmhv2Ip, twelve), kSuccess);
    EXPECT_EQ(qmhv2->targets(), std::vector<double>(twelve.begin(), twelve.end()));
    EXPECT_EQ(client().fast_set_pos(kQmhv2Ip, std::vector<float>(12, 5.0f)), kSuccess);
    EXPECT_EQ(qmhv2->targets(), std::vector<double>(12, 5.0));
    EXPECT_EQ(client().set_pos(kInspireIp, {100, 200, 300, 400, 500, 600}), kSuccess);
    EXPECT_EQ(inspire->targets(), (sim::InspireHand::Values{1000, 1000, 1000, 1000, 1000, 1000}));
    qmhv1->clear_received();
    EXPECT_EQ(client().fast_set_pos(kQmhv1Ip, {1, 2, 3, 4, 5, 6}), kSuccess);
    ASSERT_TRUE(qmhv1->wait_received(sim::kCtrlPort, 1, std::chrono::seconds(1)));
    EXPECT_EQ(qmhv1->received_count(sim::kCtrlPort), 1u);
}

TEST_F(EachKind, HandConfigIsTheHandsText) {
    EXPECT_EQ(client().get_hand_config(kQmhv2Ip), qmhv2->config());
}

TEST_F(EachKind, SetHandConfigReachesTheHand) {
    EXPECT_EQ(client().set_hand_config(kQmhv2Ip, R"({"method":"SET","cmd":"/config","name":"left hand"})"), kSuccess);
    EXPECT_NE(qmhv2->config().find(R"("name":"left hand")"), std::string::npos) << qmhv2->config();
}

TEST_F(EachKind, EnableReachesASecondGenerationHand) {
    qmhv2->set_enabled(false);
    EXPECT_EQ(client().enable(kQmhv2Ip), kSuccess);
    EXPECT_TRUE(qmhv2->enabled());
}

TEST_F(EachKind, ClearErrorcodeOfAnInspireHand) { EXPECT_EQ(client().clear_errorcode(kInspireIp), kSuccess); }

TEST_F(EachKind, PvcOfAnInspireHandIsThreeRowsOfSix) {
    std::vector<std::size_t> rows;
    for (const auto& row : client().get_pvc(kInspireIp)) {
        rows.push_back(row.size());
    }
    EXPECT_EQ(rows, (std::vector<std::size_t>{6, 6, 6}));
}

// --- results shaped for the application ------------------------------------

TEST_F(EachKind, NoTactileMatrixOnAFirstGenerationHand) {
    const auto matrix = printed([this] { return client().get_ts_matrix(kQmhv1Ip); });
    EXPECT_EQ(matrix.result, std::vector<std::vector<unsigned char>>{});
    EXPECT_EQ(matrix.output, "[Error] [dexhand][get_ts_matrix(std::string ip)] Get ts matrix error\n");
}

TEST_F(EachKind, NoPvcOnASecondGenerationHandWhichReadsNoCurrents) {
    const auto pvc = printed([this] { return client().get_pvc(kQmhv2Ip); });
    EXPECT_EQ(pvc.result, std::vector<std::vector<float>>{});
    EXPECT_EQ(pvc.output, "");
}

TEST_F(EachKind, SecondGenerationHandsHaveNoReboot) { EXPECT_EQ(client().reboot(kQmhv2Ip), kFailure); }

TEST_F(EachKind, ManagerReportsGetStatusAsSuccessWhateverTheHandDid) {
    std::vector<unsigned char> status = {7};
    EXPECT_EQ(client().hand_manager.get_status(kQmhv2Ip, status), kSuccess);
    EXPECT_EQ(status, std::vector<unsigned char>{7});
}

TEST_F(EachKind, RefusedCalibrationCommandIsAFailureWithTheManagersLine) {
    const auto result = printed([this] { return client().hand_manager.calibration(kStubbornIp); });
    EXPECT_EQ(result.result, kFailure);
    EXPECT_EQ(result.output,
              "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n"
              "[Error] [[Qhand]][calibration(std::string _ip)] calibration fail.\n");
}

TEST_F(EachKind, TimeoutsPassThroughEnableButNotTheConfigurationCalls) {
    const auto enable = printed([this] { return client().enable(kStubbornIp); });
    const auto set = printed([this] { return client().set_hand_config(kStubbornIp, R"({"method":"SET","cmd":"/config"})"); });
    const auto get = printed([this] { return client().get_hand_config(kStubbornIp); });
    EXPECT_EQ(enable.result, kTimeout);
    EXPECT_EQ(set.result, kFailure);
    EXPECT_EQ(get.result, "");
    EXPECT_EQ(enable.output + set.output + get.output, kTimeoutLine + kTimeoutLine + kTimeoutLine);
}

// --- without discovery --------------------------------------------------------

TEST(Client, BeforeInitNoHandIsKnown) {
    QmHand::DexHand client;
    const auto name = printed([&client] { return client.get_name(kStubbornIp); });
    EXPECT_EQ(client.get_ip_list(), Strings{});
    EXPECT_EQ(name.result, "");
    EXPECT_EQ(name.output, "[Error] [dexhand][get_name(std::string ip)] IP: 192.168.137.39 not found.\n");
}

TEST(Client, WithoutHandsTheAllHandCommandsSucceed) {
    QmHand::DexHand client;
    EXPECT_EQ(client.enable(), kSuccess);
    EXPECT_EQ(client.disable(), kSuccess);
    EXPECT_EQ(client.reboot(), kSuccess);
    EXPECT_EQ(client.calibration(), kSuccess);
}
