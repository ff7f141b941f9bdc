// Both clients end to end against one discovered hand of each kind: what
// QmHand::DexHand does with an address (its statuses and printed lines) and
// with several in one round trip; the typed client's true statuses for every
// operation of every kind, refusals that send nothing, many hands at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <map>
#include <memory>

#include "client/client_support.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "support/fd_count.h"
#include "support/protocol_rig.h"
#include "tessaro_dexhand/tessaro_dexhand.h"

namespace td = tessaro_dexhand;
using td::Operation;
using td::Status;

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

// One discovery for the whole suite, by each client side by side: a
// second-generation hand that refuses calibration and leaves enable and
// configuration unanswered, an Inspire hand, a first-generation hand and a
// well-behaved second-generation hand, registered in that order. A test that
// changes how a hand answers sets it back.
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
        qmhv2->set_calibration(50, false);
        descriptors_before = dexhand_test::open_descriptors();
        typed = std::make_unique<td::Client>();
        auto typed_discovery = std::async(std::launch::async, [] { return typed->discover(); });
        subnet->run_init();
        discovered = typed_discovery.get();
        descriptors_after = dexhand_test::open_descriptors();
    }
    // The hands may outlive the simulator: it unhooks them as it stops.
    static void TearDownTestSuite() {
        typed.reset();
        subnet.reset();
    }

    void SetUp() override {
        ASSERT_EQ(subnet->init.result, kSuccess) << subnet->init.output;
        ASSERT_EQ(discovered, td::Status::ok);
        subnet->clear_received();
    }
    void TearDown() override {
        for (const auto& hand : subnet->hands) {
            hand->set_faults({});
        }
    }

    QmHand::DexHand& client() { return subnet->client; }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::shared_ptr<sim::Qmhv2Hand> stubborn, qmhv2;
    static inline std::shared_ptr<sim::InspireHand> inspire;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1;
    static inline int descriptors_before = 0, descriptors_after = 0;
    static inline std::unique_ptr<td::Client> typed;
    static inline td::Status discovered = td::Status::failed;
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

const std::map<std::string, std::string> kAddressOf = {
    {"qmhv1", kQmhv1Ip}, {"qmhv2", kQmhv2Ip}, {"QSH", kInspireIp}};

// Targets in the middle of the kind's range.
std::vector<float> middle(const td::KindInfo& kind) {
    return std::vector<float>(kind.joints, (kind.position_min + kind.position_max) / 2);
}

// What the protocol object's calls fill.
struct Scratch {
    std::vector<float> values;
    std::vector<std::vector<unsigned char>> matrix;
};
using Hand = BaseHandProtocol::BaseHand;
using Kind = const td::KindInfo&;

// Each operation run the way a program would.
const std::map<Operation, std::function<Status(td::Client&, const std::string&, Kind)>> kTyped = {
    {Operation::read_positions, [](auto& c, auto& ip, Kind) { return c.positions(ip).status; }},
    {Operation::set_positions, [](auto& c, auto& ip, Kind k) { return c.set_positions(ip, middle(k)); }},
    {Operation::fast_set_positions, [](auto& c, auto& ip, Kind k) { return c.fast_set_positions(ip, middle(k)); }},
    {Operation::read_velocities, [](auto& c, auto& ip, Kind) { return c.velocities(ip).status; }},
    {Operation::read_currents, [](auto& c, auto& ip, Kind) { return c.currents(ip).status; }},
    {Operation::read_error_codes, [](auto& c, auto& ip, Kind) { return c.error_codes(ip).status; }},
    {Operation::clear_error_codes, [](auto& c, auto& ip, Kind) { return c.clear_error_codes(ip); }},
    {Operation::enable, [](auto& c, auto& ip, Kind) { return c.enable(ip); }},
    {Operation::disable, [](auto& c, auto& ip, Kind) { return c.disable(ip); }},
    {Operation::reboot, [](auto& c, auto& ip, Kind) { return c.reboot(ip); }},
    {Operation::read_config, [](auto& c, auto& ip, Kind) { return c.config(ip).status; }},
    {Operation::write_config, [](auto& c, auto& ip, Kind) { return c.set_config(ip, R"({"sn":"TD-0001"})"); }},
    {Operation::read_tactile, [](auto& c, auto& ip, Kind) { return c.tactile(ip).status; }},
    {Operation::calibrate, [](auto& c, auto& ip, Kind) { return c.calibrate(ip); }},
};

// The same on the hand's protocol object, past the typed checks, for each
// operation that some kind does not serve.
const std::map<Operation, std::function<int(Hand&, Scratch&)>> kOnTheHand = {
    {Operation::read_velocities, [](Hand& h, Scratch& s) { return h.get_velocity(s.values); }},
    {Operation::read_currents, [](Hand& h, Scratch& s) { return h.get_current(s.values); }},
    {Operation::clear_error_codes, [](Hand& h, Scratch&) { return h.clear_errorcode(); }},
    {Operation::enable, [](Hand& h, Scratch&) { return h.enable(); }},
    {Operation::disable, [](Hand& h, Scratch&) { return h.disable(); }},
    {Operation::reboot, [](Hand& h, Scratch&) { return h.reboot(); }},
    {Operation::read_tactile, [](Hand& h, Scratch& s) { return h.get_ts_matrix(s.matrix); }},
    {Operation::calibrate, [](Hand& h, Scratch&) { return h.calibration(); }},
};

class EveryKind : public EachKind, public testing::WithParamInterface<std::string> {};

}  // namespace

// Each client holds three endpoints for each of the four hands; the typed
// one serves each hand as its kind.
TEST_F(EachKind, BothClientsRegisterEveryHandInDiscoveryOrderWithoutALineAndThreeEndpointsEach) {
    EXPECT_EQ(subnet->init.output, "");
    EXPECT_EQ(client().get_ip_list(), (Strings{kStubbornIp, kInspireIp, kQmhv1Ip, kQmhv2Ip}));
    EXPECT_EQ(descriptors_after, descriptors_before + 2 * 12);
    std::vector<std::string> addresses;
    for (const auto& hand : typed->hands()) {
        addresses.push_back(hand.address + " " + hand.kind + " " + hand.type);
    }
    EXPECT_EQ(addresses, (Strings{"192.168.137.39 qmhv2 QMH-12L", "192.168.137.19 QSH QSH-6",
                                  "192.168.137.10 qmhv1 QMH-6L", "192.168.137.40 qmhv2 QMH-12R"}));
    EXPECT_TRUE(typed->skipped().empty());
    // The integer API reads the same registry, entry for entry.
    EXPECT_EQ(typed->legacy().get_type(kInspireIp), "QSH-6");
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
         shown(kFailure),
         unknown + "get_status(OperatePtrType type, std::vector<long> &status)] IP not found.\n", false},
        {as_text([](auto& c) {
             std::vector<long> codes;
             return c.hand_manager.get_errorcode(kUnknownIp, codes);
         }),
         shown(kFailure), unknown + "get_errorcode(OperatePtrType type, std::vector<long> &errorcode)] IP not found.\n",
         false},
        {as_text([](auto& c) { return c.hand_manager.calibration(kUnknownIp); }), shown(kFailure), "", false},
        {as_text([](auto& c) { return c.calibration(kUnknownIp); }), shown(kSuccess),
         invalid + "get_name(std::string ip)] IP: 192.168.137.50 not found.\n", false},
        // What each kind does.
        {as_text([](auto& c) { return c.get_pos(kInspireIp); }), "[6]", "", true},
        {as_text([](auto& c) { return c.get_pos(kQmhv1Ip); }), "[6]", "", true},
        {as_text([](auto& c) { return c.get_pos(kQmhv2Ip); }), "[12]", "", true},
        {as_text([&](auto& c) { return c.fast_set_pos(kQmhv2Ip, twelve); }), shown(kSuccess), "", true},
        {as_text([](auto& c) { return c.set_pos(kInspireIp, {1, 2, 3, 4, 5, 6}); }), shown(kSuccess), "", true},
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
         "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n" + unknown +
             "calibration(std::string _ip)] calibration fail.\n",
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

// Each entry is that hand's read, an empty list (and get_pos's line) for an
// invalid or unknown address, and for a silent hand, which times out on its
// own budget while the others answer; an address listed twice is read
// twice; all means every hand.
TEST_F(EachKind, ReadsGiveWhatEachHandsOwnReadGives) {
    EXPECT_EQ(client().get_pos_all().size(), 4u);
    qmhv1->set_faults(sim::Faults().with_silent(true));
    subnet->clear_received();
    const std::vector<std::string> ips = {kQmhv2Ip, kQmhv1Ip, kInspireIp, "192.168.137.4x", kUnknownIp, kQmhv2Ip};
    const auto together = printed([&] { return client().get_pos_many(ips); });
    EXPECT_EQ(qmhv2->received_count(sim::kCommPort), 2u);
    std::vector<std::size_t> sizes;
    for (const auto& read : together.result) {
        sizes.push_back(read.size());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{12, 0, 6, 0, 0, 12}));
    EXPECT_EQ(together.output,
              "[Error] [dexhand][get_pos(std::string ip)] Invalid IP: 192.168.137.4x\n"
              "[Warning] [Qmhv1::get_pos()] DEVICE RECVFROM: 192.168.137.10, TIMEOUT\n");
}

// Two hands, each read twice, that answer 80 ms late: one by one that is
// 320 ms; together two rounds of about 80 ms (the slack is generous).
TEST_F(EachKind, SlowHandsAreWaitedForTogether) {
    client().get_pos_all();  // first-generation limits are read once, before timing
    for (const auto& hand : subnet->hands) {
        hand->set_faults(sim::Faults().with_delay_ms(80));
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

// Every operation of the kind: a served one succeeds against the simulated
// hand; any other is not_served and sends nothing, and the hand's protocol
// object cannot do it either (it fails or sends nothing), but for a
// first-generation hand's calibration, which never tells how it ended.
TEST_P(EveryKind, ServesExactlyWhatItsKindInfoSays) {
    const td::KindInfo* kind = td::find_kind(GetParam());
    ASSERT_NE(kind, nullptr);
    const std::string& ip = kAddressOf.at(kind->name);
    for (const Operation operation : td::all_operations()) {
        SCOPED_TRACE(td::to_text(operation));
        subnet->clear_received();
        const Status status = kTyped.at(operation)(*typed, ip, *kind);
        if (kind->serves(operation)) {
            EXPECT_EQ(status, Status::ok);
        } else {
            EXPECT_EQ(status, Status::not_served);
            EXPECT_EQ(subnet->datagrams(), 0u);
            auto& manager = typed->legacy().hand_manager;
            const auto index = static_cast<std::size_t>(
                std::find(manager.hand_ips.begin(), manager.hand_ips.end(), ip) - manager.hand_ips.begin());
            Scratch scratch;
            const int raw_status = kOnTheHand.at(operation)(*manager.hands.at(index), scratch);
            EXPECT_TRUE(raw_status != 0 || subnet->datagrams() == 0u || operation == Operation::calibrate)
                << "the hand could do it";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind, testing::Values("qmhv1", "qmhv2", "QSH"));

// A hand that does not answer is a time-out, also for clearing errors (the
// integer API reports that as done).
TEST_F(EachKind, ASilentHandIsATimeoutNotASuccess) {
    inspire->set_faults(sim::Faults().with_silent(true));
    EXPECT_EQ(typed->clear_error_codes(kInspireIp), Status::timeout);
    EXPECT_EQ(typed->legacy().clear_errorcode(kInspireIp), QmHand::kSuccess);
    const td::Result<std::vector<float>> positions = typed->positions(kInspireIp);
    EXPECT_EQ(positions.status, Status::timeout);
    EXPECT_TRUE(positions.value.empty());
}

TEST_F(EachKind, PositionsOutsideTheKindsRangeAreRefusedAndNothingIsSent) {
    const td::KindInfo& kind = *typed->kind_of(kQmhv2Ip);
    std::vector<float> targets = middle(kind);
    for (const float bad : {1000.0f, -50.0f, 3.4e38f, std::nanf(""), 180.5f}) {
        targets[3] = bad;
        EXPECT_EQ(typed->set_positions(kQmhv2Ip, targets), Status::invalid_argument) << bad;
        EXPECT_EQ(typed->fast_set_positions(kQmhv2Ip, targets), Status::invalid_argument) << bad;
    }
    EXPECT_EQ(typed->set_positions(kQmhv2Ip, std::vector<float>(11, 90.0f)), Status::invalid_argument);
    EXPECT_EQ(subnet->datagrams(), 0u);
    targets[3] = kind.hold_value;
    targets[4] = 180.0f;
    EXPECT_EQ(typed->set_positions(kQmhv2Ip, targets), Status::ok);
}

// Many hands in one call too, each with its own status.
TEST_F(EachKind, AddressesThatNameNoHandAreRefusedBeforeAnythingIsSent) {
    const auto read = typed->positions(Strings{kUnknownIp, "not an address"});
    EXPECT_EQ(read.at(0).status, Status::unknown_hand);
    EXPECT_EQ(read.at(1).status, Status::invalid_argument);
    EXPECT_EQ(typed->enable("192.168.137"), Status::invalid_argument);
    EXPECT_EQ(typed->state(kUnknownIp).positions_status, Status::unknown_hand);
    EXPECT_EQ(typed->hand(kUnknownIp).status, Status::unknown_hand);
    EXPECT_EQ(subnet->datagrams(), 0u);
}

TEST_F(EachKind, AStateHoldsEachPartWithItsOwnStatus) {
    const td::HandState state = typed->state(kQmhv2Ip);
    EXPECT_EQ(state.positions_status, Status::ok);
    EXPECT_EQ(state.positions.size(), 12u);
    EXPECT_EQ(state.velocities_status, Status::not_served);
    EXPECT_EQ(state.currents_status, Status::not_served);
    EXPECT_EQ(state.error_codes_status, Status::ok);
    const td::HandState positions_only = typed->state(kQmhv1Ip, td::positions_part);
    EXPECT_EQ(positions_only.positions_status, Status::ok);
    EXPECT_EQ(positions_only.velocities_status, Status::not_served);
}

TEST_F(EachKind, ManyHandsInOneCallEachWithItsOwnResult) {
    const auto read = typed->positions(Strings{kQmhv2Ip, kInspireIp});
    EXPECT_EQ(read.at(0).value.size(), 12u);
    EXPECT_EQ(read.at(1).value.size(), 6u);
    EXPECT_EQ(typed->all_positions().size(), 4u);
    const auto moved = typed->set_positions({kQmhv2Ip, kInspireIp}, {middle(*typed->kind_of(kQmhv2Ip)), {2.0f}});
    EXPECT_EQ(moved, (std::vector<Status>{Status::ok, Status::invalid_argument}));
}

TEST_F(EachKind, CalibrationReportsProgressAndTheHandsOutcome) {
    std::vector<td::CalibrationProgress> seen;
    qmhv2->set_calibration(300, true);
    const Status status = typed->calibrate(kQmhv2Ip, [&seen](const td::CalibrationProgress& at) { seen.push_back(at); });
    qmhv2->set_calibration(50, false);
    EXPECT_EQ(status, Status::failed);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_FALSE(seen.front().finished);
    EXPECT_TRUE(seen.back().finished);
    EXPECT_EQ(seen.back().status, Status::failed);
}

TEST(Client, WithoutHandsTheAllHandCommandsSucceed) {
    QmHand::DexHand client;
    EXPECT_EQ(client.enable(), kSuccess);
    EXPECT_EQ(client.disable(), kSuccess);
    EXPECT_EQ(client.reboot(), kSuccess);
    EXPECT_EQ(client.calibration(), kSuccess);
}
