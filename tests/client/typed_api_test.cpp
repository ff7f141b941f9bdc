// The typed client end to end against one simulated hand of each kind: every
// operation of every kind as its KindInfo says, true statuses, refusals that
// send nothing, and the many-hands calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "client/client_support.h"
#include "inspire_hand.h"
#include "qmhv1_hand.h"
#include "qmhv2_hand.h"
#include "tessaro_dexhand/tessaro_dexhand.h"
#include "transport/diagnostics.h"

namespace td = tessaro_dexhand;
using td::Operation;
using td::Status;

namespace {

const std::string kQmhv1Ip = "192.168.137.10";
const std::string kInspireIp = "192.168.137.19";
const std::string kQmhv2Ip = "192.168.137.40";
const std::string kOddTypeIp = "192.168.137.41";
const std::string kUnknownIp = "192.168.137.50";

// One discovery for the suite: a device of a known name but a type no kind
// takes answers first, then one hand of each kind.
class Typed : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Diagnostics::set_handler([](Diagnostics::Level, Diagnostics::Stream, std::string_view) {});
        subnet = std::make_unique<client_test::Subnet>();
        subnet->add<sim::Qmhv2Hand>(kOddTypeIp, client_test::reply("qmhv2", "QMH-99X", kOddTypeIp));
        qmhv1 = subnet->add<sim::Qmhv1Hand>(kQmhv1Ip, client_test::reply("qmhv1", "QMH-6L", kQmhv1Ip));
        qmhv2 = subnet->add<sim::Qmhv2Hand>(kQmhv2Ip, client_test::reply("qmhv2", "QMH-12R", kQmhv2Ip));
        inspire = subnet->add<sim::InspireHand>(kInspireIp, client_test::reply("QSH", "QSH-6", kInspireIp));
        qmhv2->set_calibration(50, false);
        client = std::make_unique<td::Client>();
        discovered = client->discover();
    }
    static void TearDownTestSuite() {
        client.reset();
        qmhv1.reset();
        qmhv2.reset();
        inspire.reset();
        subnet.reset();
        Diagnostics::set_handler(nullptr);
    }
    void SetUp() override {
        ASSERT_EQ(discovered, Status::ok);
        for (const auto& hand : subnet->hands) {
            hand->set_faults(sim::Faults());
        }
        subnet->clear_received();
    }

    static inline std::unique_ptr<client_test::Subnet> subnet;
    static inline std::unique_ptr<td::Client> client;
    static inline std::shared_ptr<sim::Qmhv1Hand> qmhv1;
    static inline std::shared_ptr<sim::Qmhv2Hand> qmhv2;
    static inline std::shared_ptr<sim::InspireHand> inspire;
    static inline Status discovered = Status::failed;
};

const std::map<std::string, std::string> kAddressOf = {
    {"qmhv1", kQmhv1Ip}, {"qmhv2", kQmhv2Ip}, {"QSH", kInspireIp}};

// Targets in the middle of the kind's range.
std::vector<float> middle(const td::KindInfo& kind) {
    return std::vector<float>(kind.joints, (kind.position_min + kind.position_max) / 2);
}

// Runs one operation the way a program would.
Status call(td::Client& c, Operation operation, const std::string& ip, const td::KindInfo& kind) {
    switch (operation) {
    case Operation::read_positions:
        return c.positions(ip).status;
    case Operation::set_positions:
        return c.set_positions(ip, middle(kind));
    case Operation::fast_set_positions:
        return c.fast_set_positions(ip, middle(kind));
    case Operation::read_velocities:
        return c.velocities(ip).status;
    case Operation::read_currents:
        return c.currents(ip).status;
    case Operation::read_error_codes:
        return c.error_codes(ip).status;
    case Operation::clear_error_codes:
        return c.clear_error_codes(ip);
    case Operation::enable:
        return c.enable(ip);
    case Operation::disable:
        return c.disable(ip);
    case Operation::reboot:
        return c.reboot(ip);
    case Operation::read_config:
        return c.config(ip).status;
    case Operation::write_config:
        return c.set_config(ip, R"({"sn":"TD-0001"})");
    case Operation::read_tactile:
        return c.tactile(ip).status;
    case Operation::calibrate:
        return c.calibrate(ip);
    }
    return Status::failed;
}

// The same operation on the hand's protocol object, past the typed checks.
int raw(BaseHandProtocol::BaseHand& hand, Operation operation, const td::KindInfo& kind) {
    std::vector<float> values;
    std::vector<long> codes;
    std::string text;
    std::vector<std::vector<unsigned char>> matrix;
    switch (operation) {
    case Operation::read_positions:
        return hand.get_pos(values);
    case Operation::set_positions:
        return hand.set_pos(middle(kind));
    case Operation::fast_set_positions:
        return hand.fast_set_positions(middle(kind));
    case Operation::read_velocities:
        return hand.get_velocity(values);
    case Operation::read_currents:
        return hand.get_current(values);
    case Operation::read_error_codes:
        return hand.get_errorcode(codes);
    case Operation::clear_error_codes:
        return hand.clear_errorcode();
    case Operation::enable:
        return hand.enable();
    case Operation::disable:
        return hand.disable();
    case Operation::reboot:
        return hand.reboot();
    case Operation::read_config:
        return hand.get_comm_config(text);
    case Operation::write_config:
        return hand.set_comm_config(R"({"sn":"TD-0001"})");
    case Operation::read_tactile:
        return hand.get_ts_matrix(matrix);
    case Operation::calibrate:
        return hand.calibration();
    }
    return -1;
}

class EveryKind : public Typed, public testing::WithParamInterface<std::string> {};

}  // namespace

TEST_F(Typed, DiscoverySkipsADeviceItsKindDoesNotTakeAndServesTheOthers) {
    std::vector<std::string> addresses;
    for (const auto& hand : client->hands()) {
        addresses.push_back(hand.address + " " + hand.kind + " " + hand.type);
    }
    EXPECT_EQ(addresses, (std::vector<std::string>{"192.168.137.10 qmhv1 QMH-6L", "192.168.137.40 qmhv2 QMH-12R",
                                                   "192.168.137.19 QSH QSH-6"}));
    ASSERT_EQ(client->skipped().size(), 1u);
    EXPECT_EQ(client->skipped()[0].address, kOddTypeIp);
    EXPECT_EQ(client->skipped()[0].type, "QMH-99X");
    // The integer API reads the same registry, entry for entry.
    EXPECT_EQ(client->legacy().get_type(kInspireIp), "QSH-6");
}

// Every operation of the kind: a served one succeeds against the simulated
// hand; any other is not_served and sends nothing, and is one that the
// hand's protocol object cannot do either (it fails, or succeeds without
// sending anything). Calibration is the exception: a first-generation hand
// takes a calibration frame but never tells how it ended, so the client does
// not calibrate it.
TEST_P(EveryKind, ServesExactlyWhatItsKindInfoSays) {
    const td::KindInfo* kind = td::find_kind(GetParam());
    ASSERT_NE(kind, nullptr);
    const std::string& ip = kAddressOf.at(kind->name);
    EXPECT_EQ(client->kind_of(ip), kind);
    for (const Operation operation : td::all_operations()) {
        SCOPED_TRACE(td::to_text(operation));
        subnet->clear_received();
        const Status status = call(*client, operation, ip, *kind);
        if (kind->serves(operation)) {
            EXPECT_EQ(status, Status::ok);
        } else {
            EXPECT_EQ(status, Status::not_served);
            EXPECT_EQ(subnet->datagrams(), 0u);
            auto& manager = client->legacy().hand_manager;
            const auto index = static_cast<std::size_t>(
                std::find(manager.hand_ips.begin(), manager.hand_ips.end(), ip) - manager.hand_ips.begin());
            const int raw_status = raw(*manager.hands.at(index), operation, *kind);
            EXPECT_TRUE(raw_status != 0 || subnet->datagrams() == 0u || operation == Operation::calibrate)
                << "the hand could do it";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind, testing::Values("qmhv1", "qmhv2", "QSH"));

// A hand that does not answer is a time-out, also for clearing errors (the
// integer API reports that as done).
TEST_F(Typed, ASilentHandIsATimeoutNotASuccess) {
    inspire->set_faults(sim::Faults().with_silent(true));
    EXPECT_EQ(client->clear_error_codes(kInspireIp), Status::timeout);
    EXPECT_EQ(client->legacy().clear_errorcode(kInspireIp), QmHand::kSuccess);
    const td::Result<std::vector<float>> positions = client->positions(kInspireIp);
    EXPECT_EQ(positions.status, Status::timeout);
    EXPECT_TRUE(positions.value.empty());
}

TEST_F(Typed, PositionsOutsideTheKindsRangeAreRefusedAndNothingIsSent) {
    const td::KindInfo& kind = *client->kind_of(kQmhv2Ip);
    std::vector<float> targets = middle(kind);
    for (const float bad : {1000.0f, -50.0f, 3.4e38f, std::nanf(""), 180.5f}) {
        targets[3] = bad;
        EXPECT_EQ(client->set_positions(kQmhv2Ip, targets), Status::invalid_argument) << bad;
        EXPECT_EQ(client->fast_set_positions(kQmhv2Ip, targets), Status::invalid_argument) << bad;
        EXPECT_FALSE(kind.check_positions(targets).empty()) << bad;
    }
    EXPECT_EQ(client->set_positions(kQmhv2Ip, std::vector<float>(11, 90.0f)), Status::invalid_argument);
    EXPECT_EQ(subnet->datagrams(), 0u);
    targets[3] = kind.hold_value;
    targets[4] = 180.0f;
    EXPECT_EQ(client->set_positions(kQmhv2Ip, targets), Status::ok);
}

TEST_F(Typed, AddressesThatNameNoHandAreRefusedBeforeAnythingIsSent) {
    EXPECT_EQ(client->positions(kUnknownIp).status, Status::unknown_hand);
    EXPECT_EQ(client->enable("192.168.137"), Status::invalid_argument);
    EXPECT_EQ(client->state(kUnknownIp).positions_status, Status::unknown_hand);
    EXPECT_EQ(client->hand(kUnknownIp).status, Status::unknown_hand);
    EXPECT_EQ(subnet->datagrams(), 0u);
}

TEST_F(Typed, AStateHoldsEachPartWithItsOwnStatus) {
    const td::HandState state = client->state(kQmhv2Ip);
    EXPECT_EQ(state.positions_status, Status::ok);
    EXPECT_EQ(state.positions.size(), 12u);
    EXPECT_EQ(state.velocities_status, Status::not_served);
    EXPECT_EQ(state.currents_status, Status::not_served);
    EXPECT_EQ(state.error_codes_status, Status::ok);
    const td::HandState positions_only = client->state(kQmhv1Ip, td::positions_part);
    EXPECT_EQ(positions_only.positions_status, Status::ok);
    EXPECT_EQ(positions_only.velocities_status, Status::not_served);
}

TEST_F(Typed, ManyHandsInOneCallEachWithItsOwnStatus) {
    const std::vector<std::string> addresses = {kQmhv2Ip, kUnknownIp, "not an address", kInspireIp};
    const auto read = client->positions(addresses);
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[0].value.size(), 12u);
    EXPECT_EQ(read[1].status, Status::unknown_hand);
    EXPECT_EQ(read[2].status, Status::invalid_argument);
    EXPECT_EQ(read[3].value.size(), 6u);
    EXPECT_EQ(client->all_positions().size(), 3u);
    const auto moved = client->set_positions({kQmhv2Ip, kInspireIp}, {middle(*client->kind_of(kQmhv2Ip)), {2.0f}});
    EXPECT_EQ(moved, (std::vector<Status>{Status::ok, Status::invalid_argument}));
}

TEST_F(Typed, CalibrationReportsProgressAndTheHandsOutcome) {
    std::vector<td::CalibrationProgress> seen;
    qmhv2->set_calibration(300, true);
    const Status status = client->calibrate(kQmhv2Ip, [&seen](const td::CalibrationProgress& at) { seen.push_back(at); });
    qmhv2->set_calibration(50, false);
    EXPECT_EQ(status, Status::failed);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_FALSE(seen.front().finished);
    EXPECT_TRUE(seen.back().finished);
    EXPECT_EQ(seen.back().status, Status::failed);
    EXPECT_EQ(client->calibrate(std::vector<std::string>{kQmhv1Ip, kQmhv2Ip}),
              (std::vector<Status>{Status::not_served, Status::ok}));
}
