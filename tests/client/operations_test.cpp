// The integer client end to end: what QmHand::DexHand alone does with an
// address (its statuses and printed lines), against one discovered hand of
// each kind. That each kind serves its operations is the typed suite's test.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "client/client_support.h"
#include "inspire_hand.h"
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
const std::string kTimeoutLine = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";

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
        subnet->add<sim::InspireHand>(kInspireIp, client_test::reply("QSH", "QSH-6", kInspireIp));
        subnet->add<sim::Qmhv1Hand>(kQmhv1Ip, client_test::reply("qmhv1", "QMH-6L", kQmhv1Ip));
        qmhv2 = subnet->add<sim::Qmhv2Hand>(kQmhv2Ip, client_test::reply("qmhv2", "QMH-12R", kQmhv2Ip));
        descriptors_before = dexhand_test::open_descriptors();
        subnet->run_init();
        descriptors_after = dexhand_test::open_descriptors();
    }
    static void TearDownTestSuite() {
        stubborn.reset();
        qmhv2.reset();
        subnet.reset();
    }

    void SetUp() override { ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output; }

    QmHand::DexHand& client() { return subnet->client; }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::shared_ptr<sim::Qmhv2Hand> stubborn, qmhv2;
    static inline int descriptors_before = 0, descriptors_after = 0;
};

// A call's result as text: a status or string as it is, a list by its size.
std::string shown(int status) { return std::to_string(status); }
std::string shown(const std::string& text) { return text; }
template <class T>
std::string shown(const std::vector<T>& list) {
    return "[" + std::to_string(list.size()) + "]";
}

// One call through the integer API: what it returns, what it prints, and
// whether it may send anything.
struct Row {
    std::function<std::string(QmHand::DexHand&)> call;
    std::string result;
    std::string lines;
    bool sends;
};
template <class Call>
std::function<std::string(QmHand::DexHand&)> as_text(Call call) {
    return [call](QmHand::DexHand& c) { return shown(call(c)); };
}

}  // namespace

TEST_F(EachKind, InitRegistersEveryHandInDiscoveryOrderWithoutALineAndThreeEndpointsEach) {
    EXPECT_EQ(subnet->init.output, "");
    EXPECT_EQ(client().get_ip_list(), (Strings{kStubbornIp, kInspireIp, kQmhv1Ip, kQmhv2Ip}));
    EXPECT_EQ(descriptors_after, descriptors_before + 12);
}

TEST_F(EachKind, EachCallGivesItsStatusAndLines) {
    const std::string invalid = "[Error] [dexhand][";
    const std::string unknown = "[Error] [[Qhand]][";
    const std::vector<float> twelve(12, 5.0f);
    const std::vector<Row> rows = {
        // Identity comes from the discovery reply; absent versions read empty.
        {as_text([](auto& c) { return c.get_name(kStubbornIp); }), "qmhv2", "", false},
        {as_text([](auto& c) { return c.get_type(kStubbornIp); }), "QMH-12L", "", false},
        {as_text([](auto& c) { return c.get_driver_ver(kStubbornIp); }), "1.2.0.0", "", false},
        {as_text([](auto& c) { return c.get_hardware_ver(kStubbornIp); }), "3.4.5.6", "", false},
        {as_text([](auto& c) { return c.get_driver_ver(kInspireIp); }), "", "", false},
        {as_text([](auto& c) { return c.get_hardware_ver(kInspireIp); }), "", "", false},
        // Invalid address text, and addresses not registered (leading zeros are another spelling).
        {as_text([](auto& c) { return c.get_name("192.168.137.300"); }), "",
         invalid + "get_name(std::string ip)] Invalid IP: 192.168.137.300\n", false},
        {as_text([](auto& c) { return c.get_name("192.168.137.39 "); }), "",
         invalid + "get_name(std::string ip)] Invalid IP: 192.168.137.39 \n", false},
        {as_text([](auto& c) { return c.get_type(kUnknownIp); }), "",
         invalid + "get_type(std::string ip)] IP: 192.168.137.50 not found.\n", false},
        {as_text([](auto& c) { return c.get_hardware_ver("192.168.137.039"); }), "",
         invalid + "get_hardware_ver(std::string ip)] IP: 192.168.137.039 not found.\n", false},
        {as_text([](auto& c) { return c.set_pos("192.168.137.3x", {1, 2, 3, 4, 5, 6}); }), shown(kFailure),
         invalid + "set_pos(std::string ip)] Invalid IP: 192.168.137.3x\n", false},
        {as_text([](auto& c) { return c.set_hand_config("", "{}"); }), shown(kFailure),
         invalid + "set_hand_config(std::string ip, std::string config)] Invalid IP: \n", false},
        {as_text([](auto& c) { return c.get_errorcode("192.168.137.256"); }), "[0]",
         invalid + "get_errorcode(std::string ip)] Invalid IP: 192.168.137.256\n", false},
        {as_text([](auto& c) { return c.enable("192.168.137.039"); }), shown(kFailure), "", false},
        {as_text([](auto& c) { return c.get_pos(kUnknownIp); }), "[0]", "", false},
        {as_text([](auto& c) { return c.clear_errorcode(kUnknownIp); }), shown(kFailure),
         unknown + "clear_errorcode(std::string _ip)] IP not found.\n", false},
        {as_text([](auto& c) {
             std::vector<unsigned char> status;
             return c.hand_manager.get_status(kUnknownIp, status);
         }),
         shown(kFailure), unknown + "get_status(OperatePtrType type, std::vector<long> &status)] IP not found.\n", false},
        {as_text([](auto& c) {
             std::vector<long> codes;
             return c.hand_manager.get_errorcode(kUnknownIp, codes);
         }),
         shown(kFailure), unknown + "get_errorcode(OperatePtrType type, std::vector<long> &errorcode)] IP not found.\n",
         false},
        {as_text([](auto& c) { return c.hand_manager.calibration(kUnknownIp); }), shown(kFailure), "", false},
        // What each kind does.
        {as_text([](auto& c) { return c.get_pos(kInspireIp); }), "[6]", "", true},
        {as_text([](auto& c) { return c.get_pos(kQmhv1Ip); }), "[6]", "", true},
        {as_text([](auto& c) { return c.get_pos(kQmhv2Ip); }), "[12]", "", true},
        {as_text([&](auto& c) { return c.fast_set_pos(kQmhv2Ip, twelve); }), shown(kSuccess), "", true},
        {as_text([](auto& c) { return c.set_pos(kInspireIp, {100, 200, 300, 400, 500, 600}); }), shown(kSuccess), "",
         true},
        {as_text([](auto& c) { return c.fast_set_pos(kQmhv1Ip, {1, 2, 3, 4, 5, 6}); }), shown(kSuccess), "", true},
        {as_text([](auto& c) { return c.enable(kQmhv2Ip); }), shown(kSuccess), "", true},
        {as_text([](auto& c) { return c.clear_errorcode(kInspireIp); }), shown(kSuccess), "", true},
        {as_text([](auto& c) { return c.get_ts_matrix(kQmhv1Ip); }), "[0]",
         invalid + "get_ts_matrix(std::string ip)] Get ts matrix error\n", true},
        // A second-generation hand reads no currents, so has no pvc, and no reboot.
        {as_text([](auto& c) { return c.get_pvc(kQmhv2Ip); }), "[0]", "", true},
        {as_text([](auto& c) { return c.reboot(kQmhv2Ip); }), shown(kFailure), "", false},
        // The manager reports a status read as done whatever the hand did, the list untouched.
        {[](auto& c) {
             std::vector<unsigned char> status = {7};
             return shown(c.hand_manager.get_status(kQmhv2Ip, status)) + shown(status);
         },
         shown(kSuccess) + "[1]", "", true},
        {as_text([](auto& c) { return c.hand_manager.calibration(kStubbornIp); }), shown(kFailure),
         "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n" + unknown + "calibration(std::string _ip)] calibration fail.\n",
         true},
        // Time-outs pass through enable but not through the configuration calls.
        {as_text([](auto& c) { return c.enable(kStubbornIp); }), shown(kTimeout), kTimeoutLine, true},
        {as_text([](auto& c) { return c.set_hand_config(kStubbornIp, R"({"method":"SET","cmd":"/config"})"); }),
         shown(kFailure), kTimeoutLine, true},
        {as_text([](auto& c) { return c.get_hand_config(kStubbornIp); }), "", kTimeoutLine, true},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const std::size_t before = subnet->datagrams();
        const auto answer = printed([&] { return rows[i].call(client()); });
        EXPECT_EQ(answer.result, rows[i].result);
        EXPECT_EQ(answer.output, rows[i].lines);
        if (!rows[i].sends) {
            EXPECT_EQ(subnet->datagrams(), before);
        }
    }
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

TEST_F(EachKind, ConfigurationIsTheHandsTextBothWays) {
    EXPECT_EQ(client().get_hand_config(kQmhv2Ip), qmhv2->config());
    EXPECT_EQ(client().set_hand_config(kQmhv2Ip, R"({"method":"SET","cmd":"/config","name":"left hand"})"), kSuccess);
    EXPECT_NE(qmhv2->config().find(R"("name":"left hand")"), std::string::npos) << qmhv2->config();
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
