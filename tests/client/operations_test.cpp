// The integer client end to end: what QmHand::DexHand alone does with an
// address (its statuses and printed lines) and with several in one round
// trip, against one discovered hand of each kind. That each kind serves its
// operations is the typed suite's test.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "client/client_support.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/fd_count.h"
#include "support/protocol_rig.h"

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
// registered in that order. A test that changes how a hand answers sets it back.
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
        qmhv2.reset();
        inspire.reset();
        qmhv1.reset();
        subnet.reset();
    }

    void SetUp() override { ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output; }
    void TearDown() override {
        for (const auto& hand : subnet->hands) {
            hand->set_faults({});
        }
    }

    QmHand::DexHand& client() { return subnet->client; }
    std::vector<std::vector<float>> one_by_one(const std::vector<std::string>& ips) {
        std::vector<std::vector<float>> pos;
        for (const auto& ip : ips) {
            pos.push_back(client().get_pos(ip));
        }
        return pos;
    }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::shared_ptr<sim::Qmhv2Hand> stubborn, qmhv2;
    static inline std::shared_ptr<sim::InspireHand> inspire;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1;
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

// --- several hands in one round trip ------------------------------------------

// Each entry is what that hand's own read gives, an empty list (and
// get_pos's line) for an invalid or unknown address; an address listed twice
// is read twice; all means every hand in order.
TEST_F(EachKind, ReadsGiveWhatEachHandsOwnReadGives) {
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

TEST_F(EachKind, ASilentHandTimesOutOnItsOwnBudgetWhileTheOthersAnswer) {
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
TEST_F(EachKind, SlowHandsAreWaitedForTogether) {
    client().get_pos_all();  // first-generation limits are read once, before timing
    for (const auto& hand : subnet->hands) {
        hand->set_faults(dexhand_test::delayed(80));
    }
    const auto start = std::chrono::steady_clock::now();
    const auto read = client().get_pos_many({kQmhv2Ip, kInspireIp, kQmhv2Ip, kInspireIp});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(read[0].size(), 12u);
    EXPECT_EQ(read[1].size(), 6u);
    EXPECT_LT(took, std::chrono::milliseconds(300));
}

TEST_F(EachKind, PositionsReachEveryHandWithEachOnesResult) {
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
