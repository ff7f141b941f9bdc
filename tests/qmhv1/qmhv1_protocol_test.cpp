// Qmhv1 against a simulated first-generation hand inside the private namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "protocols/qmhv1.h"
#include "protocols/qmhv1_codec.h"
#include "protocol_rows.h"
#include "qmhv1_hand.h"
#include "support/eventually.h"

using BaseHandProtocol::Operation;
using BaseHandProtocol::Qmhv1;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;
using namespace testing::internal;  // CaptureStdout and friends
using namespace std::chrono_literals;
namespace ops = BaseHandProtocol::qmhv1_operations;

namespace {

const std::string kIp = "192.168.137.41";
using Frames = std::vector<std::string>;

std::string bytes(std::initializer_list<int> list) { return std::string(list.begin(), list.end()); }

const std::string kTrace = "file = hand/protocols/qmhv1\\.cpp    function = ";

// What each row's call fills.
struct Outputs {
    std::vector<long> cnt{99}, codes{5};
    std::vector<unsigned char> status;
    std::vector<float> fdb, velocity, current, pos_limits, velocity_limits, current_limits;
    std::string cfg;
};

// Every row of the table: the frame it sends and a call that runs it.
struct Call {
    std::string sent;
    std::function<int(Qmhv1&, Outputs&)> run;
};
const std::map<std::string, Call> kCalls = {
    {"calibration", {bytes({1, 1}), [](Qmhv1& q, Outputs&) { return q.calibration(); }}},
    {"disable", {bytes({1}), [](Qmhv1& q, Outputs&) { return q.disable(); }}},
    {"clear_errorcode", {bytes({1, 0xF1, 0, 0}), [](Qmhv1& q, Outputs&) { return q.clear_errorcode(); }}},
    {"set_pos_pid",
     {bytes({1, 5, 0, 2, 0x3F, 0x80, 0, 0, 0x3F, 0, 0, 0, 0, 0, 0, 0}),
      [](Qmhv1& q, Outputs&) { return q.set_pos_pid(2, {1.0f, 0.5f, 0.0f}); }}},
    {"set_velocity_pid",
     {bytes({1, 6, 0, 1, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0}),
      [](Qmhv1& q, Outputs&) { return q.set_velocity_pid(1, {2.0f, 0.0f, 0.5f}); }}},
    {"set_current_pid",
     {bytes({1, 7, 0, 4, 0x40, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      [](Qmhv1& q, Outputs&) { return q.set_current_pid(4, {3.0f, 0.0f, 0.0f}); }}},
    {"set_pos_limited",
     {bytes({1, 8, 0, 3, 0x41, 0x20, 0, 0, 0x44, 0xFA, 0, 0}),
      [](Qmhv1& q, Outputs&) { return q.set_pos_limited(3, 10, 2000); }}},
    {"set_velocity_limited",
     {bytes({0, 9, 0, 3, 0x42, 0xC8, 0, 0}), [](Qmhv1& q, Outputs&) { return q.set_velocity_limited(3, 100.0f); }}},
    {"reset_pid", {bytes({1, 0x0B}), [](Qmhv1& q, Outputs&) { return q.reset_pid(); }}},
    {"fast_set_positions",
     {bytes({1, 0x11, 0, 0, 0x44, 0x7A, 0, 0, 0x44, 0x7A, 0, 0, 0x44, 0x7A, 0, 0, 0x44, 0x7A, 0, 0, 0x44, 0x7A, 0, 0,
             0xBF, 0x80, 0, 0}),
      [](Qmhv1& q, Outputs&) { return q.fast_set_positions({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -1.0f}); }}},
    {"get_cnt", {bytes({1}), [](Qmhv1& q, Outputs& o) { return q.get_cnt(o.cnt); }}},
    {"get_pos", {bytes({2, 0}), [](Qmhv1& q, Outputs& o) { return q.get_pos(o.fdb); }}},
    {"get_velocity", {bytes({3}), [](Qmhv1& q, Outputs& o) { return q.get_velocity(o.velocity); }}},
    {"get_current", {bytes({4}), [](Qmhv1& q, Outputs& o) { return q.get_current(o.current); }}},
    {"get_status", {bytes({5}), [](Qmhv1& q, Outputs& o) { return q.get_status(o.status); }}},
    {"get_errorcode", {bytes({6}), [](Qmhv1& q, Outputs& o) { return q.get_errorcode(o.codes); }}},
    {"get_pos_limited", {bytes({0x0B}), [](Qmhv1& q, Outputs& o) { return q.get_pos_limited(o.pos_limits); }}},
    {"get_velocity_limited",
     {bytes({0x0C}), [](Qmhv1& q, Outputs& o) { return q.get_velocity_limited(o.velocity_limits); }}},
    {"get_current_limited",
     {bytes({0x0D}), [](Qmhv1& q, Outputs& o) { return q.get_current_limited(o.current_limits); }}},
    {"reboot", {bytes({0xF1}), [](Qmhv1& q, Outputs&) { return q.reboot(); }}},
    {"get_comm_config", {std::string(6, '\xFF'), [](Qmhv1& q, Outputs& o) { return q.get_comm_config(o.cfg); }}},
    {"set_ip", {bytes({0x23, 10, 1, 0, 0}), [](Qmhv1& q, Outputs&) { return q.set_ip({10, 1}); }}},
    {"set_mac",
     {bytes({0x24, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}),
      [](Qmhv1& q, Outputs&) { return q.set_mac({18, 52, 342, 120, 154, 188}); }}},
    {"set_sn", {bytes({0x25, 'A', 'B', '1'}) + std::string(28, '\0'), [](Qmhv1& q, Outputs&) { return q.set_sn("AB1"); }}},
};

class Qmhv1Protocol : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv1Hand> hand = simulator.add<sim::Qmhv1Hand>(kIp);
    Qmhv1 q{kIp};
    Outputs out;

    // The frames on port once count of them have arrived.
    Frames arrived(unsigned short port, std::size_t count) const {
        EXPECT_TRUE(hand->wait_received(port, count, 1s));
        return protocol_rows::received(*hand, port);
    }
    std::map<std::string, std::string> printed;  // by each row run quietly

    // Runs the named row's call with its lines kept aside; returns its status.
    int quietly(const std::string& name) {
        CaptureStdout();
        const int status = kCalls.at(name).run(q, out);
        printed[name] = GetCapturedStdout();
        return status;
    }
};

}  // namespace

TEST_F(Qmhv1Protocol, EveryRowSendsItsFrameOnItsPortAndSucceeds) {
    q.pos_limits = hand->pos_limits();
    protocol_rows::expect_every_row_sent(ops::kAll, kCalls, [this](const std::string& name) { return quietly(name); },
                                         *hand);
    EXPECT_EQ(hand->unknown_frames(), 0);
    // Traced operations print their trace line first.
    for (const char* traced : {"get_status", "set_pos_pid", "set_velocity_pid"}) {
        EXPECT_THAT(printed[traced], MatchesRegex(kTrace + traced + "    line = [0-9]+\n")) << traced;
    }
    EXPECT_EQ(printed["set_current_pid"], "");
}

TEST_F(Qmhv1Protocol, TextAndBinaryRepliesDecodeIntoTheOutputs) {
    hand->set_counts({10, -20, 123456789012LL});
    hand->set_status({1, 300, -1});
    hand->set_currents({0.5f, 1.25f});
    hand->set_error_field(bytes({1, 3, 2, 0x81}));
    BaseHandProtocol::qmhv1_codec::current_recv_counts() = 50000;  // a reply restarts the shared count
    for (const char* name :
         {"get_cnt", "get_status", "get_current", "get_current_limited", "get_comm_config", "get_errorcode"}) {
        EXPECT_EQ(quietly(name), 0) << name;
    }
    EXPECT_EQ(printed["get_errorcode"], "errorcde: 0x103 0x201 0x280 \n");
    EXPECT_THAT(out.cnt, ElementsAre(10, -20, 123456789012L));
    EXPECT_THAT(out.status, ElementsAre(1, 44, 255));
    EXPECT_THAT(out.current, ElementsAre(0.5f, 1.25f));
    EXPECT_THAT(out.codes, ElementsAre(0x103, 0x201, 0x280));
    EXPECT_EQ(out.current_limits, hand->current_limits());
    EXPECT_EQ(out.cfg, hand->config_text());
    EXPECT_EQ(BaseHandProtocol::qmhv1_codec::current_recv_counts().load(), 0);
}

// A lossy link: the hand loses the first request of every call and answers
// the resend 5 ms later. The resend (after about 33 ms) goes out early enough
// for the answer to arrive within the call's 100 ms budget, call after call;
// the short answer delay leaves a loaded machine about 60 ms of slack.
TEST_F(Qmhv1Protocol, CurrentAndVelocityReadsRecoverALostRequestWithinTheirBudget) {
    hand->set_currents({0.5f, 1.25f, 0.0f, 2.0f, 0.0f, 3.5f});
    const auto lose_first_answer_late = sim::Faults().with_lose_requests(1).with_delay_ms(5);
    for (int call = 0; call < 6; ++call) {
        SCOPED_TRACE(call);
        hand->set_faults(lose_first_answer_late);
        EXPECT_EQ(q.get_current(out.current), 0);
        EXPECT_THAT(out.current, ElementsAre(0.5f, 1.25f, 0.0f, 2.0f, 0.0f, 3.5f));
        hand->set_faults(lose_first_answer_late);
        EXPECT_EQ(q.get_velocity(out.velocity), 0);
        EXPECT_EQ(out.velocity, std::vector<float>(6, 0.0f));
    }
}

// The count of silence is process-wide and a call does not restart it: a
// silent call of one object leaves its count to the next call of another,
// which then resends soon enough to be answered (a fresh count would resend
// after 120 ms, past the budget).
TEST_F(Qmhv1Protocol, TheCountOfASilentCallBringsAnotherObjectsResendForward) {
    const std::string silent_ip = "192.168.137.42";
    simulator.add<sim::Qmhv1Hand>(silent_ip)->set_faults(sim::Faults().with_silent(true));
    Qmhv1 silent{silent_ip};
    silent.recv_counts_limit = 1 << 30;  // counts its 100 ms of silence, never resends
    q.recv_counts_limit = static_cast<int>(std::chrono::milliseconds(120) / BaseHandProtocol::kEmptyPollWorth);
    BaseHandProtocol::qmhv1_codec::current_recv_counts() = 0;
    CaptureStdout();
    EXPECT_EQ(silent.get_current(out.current), -2);
    GetCapturedStdout();
    hand->set_faults(sim::Faults().with_lose_requests(1).with_delay_ms(20));
    EXPECT_EQ(q.get_current(out.current), 0);
}

TEST_F(Qmhv1Protocol, UnservedAndRefusedCallsPrintTheirLineAndSendNothing) {
    q.pos_limits = hand->pos_limits();
    std::vector<std::vector<unsigned char>> matrix;
    std::vector<std::vector<float>> tashan;
    int ntc = 7;
    CaptureStdout();
    EXPECT_EQ(q.enable(), 0);
    EXPECT_EQ(q.set_velocity({1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(q.set_current({1, 2, 3, 4, 5, 6}), -1);
    EXPECT_EQ(q.set_current_limited(3, 100.0f), -1);
    EXPECT_EQ(q.set_current_pid(4, {1.0f, 2.0f}), -1);
    EXPECT_EQ(q.get_ts_matrix(matrix), -1);
    EXPECT_EQ(q.get_ts_tashan(tashan), -1);
    EXPECT_EQ(q.get_ntc(ntc), -1);
    EXPECT_EQ(q.set_pos({-1, -1, -1, 0.2f}), -1);
    EXPECT_EQ(q.fast_set_positions(std::vector<float>(6, -0.5f)), -1);
    const std::string error = "\\[Error\\] \\[qmhv1\\]\\[fast_set_positions\\(std::vector<float> pos\\)\\][0-9]+ ";
    EXPECT_THAT(GetCapturedStdout(),
                MatchesRegex(kTrace + "set_velocity    line = [0-9]+\n" + kTrace + "set_current    line = [0-9]+\n"
                             "\\[Error\\] \\[qmhv1\\]\\[set_current_limited\\(unsigned char id, float limit\\)\\] "
                             "the hand has no current-limit command; nothing sent\npid size must be 3\n" +
                             error + "pos size must be 6\n" + error + "pos element must >= 0\n"));
    EXPECT_EQ(ntc, 7);
    // A request after them is the first datagram the hand sees.
    EXPECT_EQ(q.get_cnt(out.cnt), 0);
    EXPECT_EQ(hand->received_count(2333), 0u);
    EXPECT_EQ(protocol_rows::received(*hand, 2334), Frames{bytes({1})});
}

// A position reply without six values ahead of the hand's own is passed over.
TEST_F(Qmhv1Protocol, PositionsAreNormalisedWithLimitsReadOnce) {
    hand->set_raw_positions({500, 0, 2000, 1000, 1500, 250});
    EXPECT_EQ(q.get_pos(out.fdb), 0);
    hand->set_faults(sim::Faults().with_before({"1 2 3 4 5"}));
    EXPECT_EQ(q.get_pos(out.fdb), 0);
    EXPECT_THAT(out.fdb, ElementsAre(0.75f, 1.0f, 0.0f, 0.5f, 0.25f, 0.875f));
    EXPECT_EQ(protocol_rows::received(*hand, 2334), (Frames{bytes({0x0B}), bytes({2, 0}), bytes({2, 0})}));
}

TEST_F(Qmhv1Protocol, ShortLimitRepliesFailPositionsAfterSixReads) {
    sim::Qmhv1Quirks eleven_limits;
    eleven_limits.value_count_delta = -1;
    hand->set_quirks(eleven_limits);
    out.fdb = {7};
    CaptureStdout();
    EXPECT_EQ(q.get_pos(out.fdb), -1);
    EXPECT_EQ(q.fast_set_positions({0, 0, 0, 0, 0, 0}), -1);
    EXPECT_THAT(GetCapturedStdout(),
                MatchesRegex("\\[Error\\] \\[qmhv1\\]\\[get_pos\\(std::vector<float> &fdb\\)\\][0-9]+ get_pos_limited\\(\\) "
                             "fail\n\\[Error\\] \\[qmhv1\\]\\[fast_set_positions\\(std::vector<float> pos\\)\\][0-9]+ "
                             "get_pos_limited\\(\\) fail\n"));
    EXPECT_THAT(out.fdb, ElementsAre(7));
    EXPECT_THAT(q.pos_limits, ElementsAre());
    EXPECT_EQ(protocol_rows::received(*hand, 2334), Frames(12, bytes({0x0B})));
    EXPECT_EQ(hand->received_count(2333), 0u);
}

TEST_F(Qmhv1Protocol, SilentLimitReadsFailPositionsUntilAFullReplyFillsTheCache) {
    hand->set_faults(sim::Faults().with_silent(true));
    CaptureStdout();
    EXPECT_EQ(q.get_pos(out.fdb), -1);
    EXPECT_THAT(GetCapturedStdout(), MatchesRegex("(\\[Warning\\] \\[Qmhv1::get_pos_limited\\(\\)\\] DEVICE RECVFROM: "
                                                  "192\\.168\\.137\\.41, TIMEOUT\n){6}\\[Error\\].* get_pos_limited\\(\\) fail\n"));
    hand->set_faults({});
    EXPECT_EQ(q.get_pos(out.fdb), 0);
    EXPECT_EQ(q.pos_limits, hand->pos_limits());
}

// Every row that awaits a reply times out just after its budget with its own
// line, leaving the time-out's error code and the default pvc rows; a reboot
// takes one poll whatever it finds.
TEST_F(Qmhv1Protocol, SilentHandEndsEveryRequestWithItsRecvfromLine) {
    hand->set_faults(sim::Faults().with_silent(true));
    std::vector<const Operation*> rows(ops::kAll.begin(), ops::kAll.end());
    rows.erase(std::find(rows.begin(), rows.end(), &ops::kReboot));
    const std::vector<float> limits = hand->pos_limits();
    const auto ready = [&limits](Qmhv1& own) { own.pos_limits = limits; };
    const auto runs = protocol_rows::each_alone<Qmhv1, Outputs>(rows, kCalls, kIp, ready);
    for (const auto& run : runs) protocol_rows::expect_ending(run, "RECVFROM", kIp);
    std::vector<std::vector<float>> pvc;
    CaptureStdout();
    EXPECT_EQ(q.get_errorcode(out.codes), -2);
    EXPECT_EQ(q.get_pvc(pvc), -2);
    GetCapturedStdout();
    EXPECT_THAT(out.codes, ElementsAre(1));
    EXPECT_EQ(pvc, std::vector<std::vector<float>>(3, std::vector<float>(6, 0.0f)));
    EXPECT_EQ(q.reboot(), 0);
    EXPECT_TRUE(dexhand_test::eventually([this] { return hand->reboots() == 1; }, 1000ms));
}

// Without SO_BROADCAST every send to the broadcast address fails: each row
// retries until its budget and ends with its SENDTO line.
TEST(Qmhv1Endpoints, FailingSendsEndEveryRowWithItsSendtoLine) {
    const auto ready = [](Qmhv1& own) { own.pos_limits.assign(12, 2000.0f); };
    const auto runs = protocol_rows::each_alone<Qmhv1, Outputs>(ops::kAll, kCalls, "192.168.137.255", ready);
    for (const auto& run : runs) protocol_rows::expect_ending(run, "SENDTO", "192.168.137.255");
}

TEST_F(Qmhv1Protocol, ConfigurationItemsAreWrittenAndReadBack) {
    EXPECT_EQ(q.set_comm_config(R"({"sn":"AB000123","mac_address":[18,52,342],"static_ip":[10,1]})"), 0);
    arrived(2334, 3);
    EXPECT_EQ(q.get_comm_config(out.cfg), 0);
    EXPECT_THAT(out.cfg, HasSubstr(R"("sn":"AB000123","mac_address":[18,52,86,0,0,0],"static_ip":[10,1,0,0])"));
}

TEST_F(Qmhv1Protocol, AConfigurationReplyWithoutTheVersionArrayIsPassedOver) {
    hand->set_faults(sim::Faults().with_before({R"({"sn":"x"})"}));
    CaptureStderr();
    EXPECT_EQ(q.get_comm_config(out.cfg), 0);
    EXPECT_EQ(GetCapturedStderr(), "[ERROR] [qmhv1][get_comm_config] check reply failed\n");
    EXPECT_EQ(out.cfg, hand->config_text());
}

TEST_F(Qmhv1Protocol, AConfigurationReplyThatIsNoObjectOrNoJsonFails) {
    hand->script(2334, "[1]");
    hand->script(2334, R"({"hardware_verison":[]} tail)");
    out.cfg = "kept";
    CaptureStdout();
    EXPECT_EQ(q.get_comm_config(out.cfg), -1);
    EXPECT_EQ(q.get_comm_config(out.cfg), -1);
    EXPECT_EQ(GetCapturedStdout(), "[Error] [qmhv1][get_comm_config(std::string &cfg)] reply is not a JSON object\n"
                                   "Error in parsing JSON data\n");
    EXPECT_EQ(out.cfg, "kept");
}

TEST_F(Qmhv1Protocol, RefusedIdentityItemsSendNothingOfTheirsNorLaterItems) {
    CaptureStdout();
    EXPECT_EQ(q.set_comm_config("[1,2]"), -1);
    EXPECT_EQ(q.set_comm_config("{"), -1);
    EXPECT_EQ(q.set_comm_config(R"({"sn":"S2","mac_address":[1,2.5],"static_ip":[1,2,3,4]})"), -1);
    EXPECT_EQ(q.set_ip({1, 2, 3, 4, 5}), -1);
    EXPECT_EQ(q.set_ip({1, 2, 256, 4}), -1);
    EXPECT_EQ(q.set_mac(std::vector<int>(7, 1)), -1);
    EXPECT_EQ(q.set_sn(std::string(32, 'x')), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "[Error] [qmhv1][set_comm_config(std::string cfg)] configuration is not a JSON object\n"
              "Error in parsing JSON data\n"
              "[Error] [qmhv1][set_comm_config(std::string cfg)] mac_address must hold 32-bit integers\n"
              "[Error] [qmhv1][set_ip(std::vector<int> ip)] ip size must be at most 4\n"
              "[Error] [qmhv1][set_mac(std::vector<int> mac)] mac size must be at most 6\n"
              "[Error] [qmhv1][set_sn(std::string sn)] sn length must be at most 31\n");
    EXPECT_EQ(q.set_sn(std::string(31, 'x')), 0);  // the longest serial number fits
    EXPECT_EQ(arrived(2334, 2), (Frames{bytes({0x25, 'S', '2'}) + std::string(29, '\0'),
                                        bytes({0x25}) + std::string(31, 'x')}));
    EXPECT_EQ(hand->sn(), std::string(31, 'x'));
}
