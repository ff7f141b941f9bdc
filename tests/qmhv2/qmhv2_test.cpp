// The second-generation protocol class against a simulated hand, inside the
// private network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>

#include "protocols/qmhv2.h"
#include "protocols/qmhv2_codec.h"
#include "protocol_rows.h"
#include "qmhv2_hand.h"
#include "transport/diagnostics.h"

using BaseHandProtocol::Operation;
using BaseHandProtocol::Qmhv2;
using dexhand_test::elapsed_ms;
using testing::ElementsAre;
using namespace testing::internal;  // CaptureStdout and friends
namespace ops = BaseHandProtocol::qmhv2_operations;

namespace {

const std::string kIp = "192.168.137.39";
const std::string kTimeout = "DEVICE RECVFROM: 192.168.137.39, TIMEOUT\n";
const std::string kParseError = "Error in parsing JSON data\n";
constexpr unsigned short kCtrl = 2333, kComm = 2334;

std::vector<float> command(std::initializer_list<float> head) {
    std::vector<float> cmd(head);
    cmd.resize(12, 0.0f);
    return cmd;
}

struct Outputs {
    std::vector<float> angles;
    std::vector<long> codes;
    std::vector<std::vector<unsigned char>> matrix;
    std::string config;
};

const std::string kConfigChange = R"({"method":"SET","cmd":"/config","speed_limit":90})";

// Every row of the table: the text it sends and a call that runs it.
struct Call {
    std::string sent;
    std::function<int(Qmhv2&, Outputs&)> run;
};
const std::map<std::string, Call> kCalls = {
    {"calibration", {R"({"method":"SET","cmd":"/calibration"})", [](Qmhv2& q, Outputs&) { return q.calibration(); }}},
    {"enable", {R"({"method":"SET","cmd":"/enable"})", [](Qmhv2& q, Outputs&) { return q.enable(); }}},
    {"disable", {R"({"method":"SET","cmd":"/disable"})", [](Qmhv2& q, Outputs&) { return q.disable(); }}},
    {"set_pos",
     {R"({"method":"SET","cmd":"/pos","position":[10.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,-1.0]})",
      [](Qmhv2& q, Outputs&) { return q.set_pos(command({10.0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1.0f})); }}},
    {"get_pos", {R"({"method":"GET","cmd":"/pva"})", [](Qmhv2& q, Outputs& o) { return q.get_pos(o.angles); }}},
    {"get_errorcode",
     {R"({"method":"GET","cmd":"/errorcode"})", [](Qmhv2& q, Outputs& o) { return q.get_errorcode(o.codes); }}},
    {"get_ts_matrix",
     {R"({"method":"GET","cmd":"/matrix"})", [](Qmhv2& q, Outputs& o) { return q.get_ts_matrix(o.matrix); }}},
    {"get_comm_config",
     {R"({"method":"GET","cmd":"/config"})", [](Qmhv2& q, Outputs& o) { return q.get_comm_config(o.config); }}},
    {"set_comm_config", {kConfigChange, [](Qmhv2& q, Outputs&) { return q.set_comm_config(kConfigChange); }}},
};

class Qmhv2Test : public testing::Test {
protected:
    sim::Simulator simulator;
    std::shared_ptr<sim::Qmhv2Hand> hand = simulator.add<sim::Qmhv2Hand>(kIp);
    Qmhv2 qmhv2{kIp};
    Outputs out;
};

}  // namespace

// The configuration is read as it stands, then written.
TEST_F(Qmhv2Test, EveryRowSendsItsTextOnItsPortAndSucceeds) {
    const std::string config = hand->config();
    CaptureStdout();
    const auto run = [this](const std::string& name) { return kCalls.at(name).run(qmhv2, out); };
    protocol_rows::expect_every_row_sent(ops::kAll, kCalls, run, *hand);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(out.config, config);
    EXPECT_THAT(hand->config(), testing::HasSubstr(R"("speed_limit":90)"));
}

// Angles append as the codec's test shows; live ones are read in the pvc test.
TEST_F(Qmhv2Test, ReadsAppendToTheirOutputs) {
    out.codes = {7};
    out.matrix = {{42}};
    ASSERT_EQ(qmhv2.calibration(), 0);
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), 0);
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), 0);
    EXPECT_EQ(out.codes, (std::vector<long>{7, 4294967295L, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));  // calibrating
    // Bits 16-23, 8-15 and 0-7 of each element; 32 elements to a row.
    const std::vector<std::uint32_t> elements = hand->matrix();
    std::vector<std::vector<unsigned char>> rows = {{42}, {}, {}};
    for (std::size_t i = 0; i < 64 * 3; ++i) rows[1 + i / 96].push_back(elements[i / 3] >> (16 - 8 * (i % 3)));
    EXPECT_EQ(out.matrix, rows);
}

TEST_F(Qmhv2Test, CommandsOfWrongSizeOrNotFinitePrintTheirLineAndSendNothing) {
    CaptureStdout();
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(11, 0.0f)), -1);
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(13, 0.0f)), -1);
    EXPECT_EQ(qmhv2.set_pos({}), -1);
    EXPECT_EQ(qmhv2.fast_set_positions(std::vector<float>(6, 0.0f)), -1);
    EXPECT_EQ(qmhv2.set_pos(command({1.0f, NAN})), -1);
    EXPECT_EQ(qmhv2.set_pos(command({INFINITY})), -1);
    EXPECT_EQ(qmhv2.fast_set_positions(command({-INFINITY})), -1);
    EXPECT_EQ(qmhv2.set_comm_config(std::string(1024, ' ')), -1);
    const std::string size = "qmhv2 set_pos(): Cmd container must contain 12 elements, now: ";
    const std::string hint = "            if you don't want the other fingers to move, you can fill them with -1\n";
    const std::string finite = "qmhv2 set_pos(): Cmd container must hold finite values only\n";
    EXPECT_EQ(GetCapturedStdout(),
              size + "11" + hint + size + "13" + hint + size + "0" + hint +
                  "qmhv2 fast_set_positions(std::vector<float> pos): pos.size() != 12, is 6\n" + finite + finite + finite +
                  "qmhv2 set_comm_config(): config text must be shorter than 1024 bytes, is 1024\n");
    // The longest text that fits goes out whole, as the first datagram the hand sees.
    EXPECT_EQ(qmhv2.set_comm_config(std::string(1023, ' ')), 0);
    EXPECT_EQ(protocol_rows::received(*hand, kComm), std::vector<std::string>{std::string(1023, ' ')});
    EXPECT_EQ(hand->received_count(kCtrl), 0u);
}

TEST_F(Qmhv2Test, PvcHoldsLivePositionsAndTwoDefaultRowsWithTheCurrentReadsStatus) {
    hand->set_angles({30, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    std::vector<std::vector<float>> pvc;
    EXPECT_EQ(qmhv2.get_pvc(pvc), -1);
    EXPECT_EQ(pvc, (std::vector<std::vector<float>>{command({30.0f, 5.0f}), command({}), command({})}));
}

TEST_F(Qmhv2Test, RefusalCodesPrintTheRowsFailureLine) {
    hand->set_command_code("/enable", 3);
    hand->set_command_code("/disable", 2);
    hand->set_command_code("/calibration", 3);
    CaptureStdout();
    EXPECT_EQ(qmhv2.enable(), -1);
    EXPECT_EQ(qmhv2.disable(), -1);
    EXPECT_EQ(qmhv2.calibration(), -1);
    EXPECT_EQ(GetCapturedStdout(), "MOTOR: 192.168.137.39, SET ENABLE FAILED\n"
                                   "MOTOR: 192.168.137.39, SET DISABLE FAILED\n"
                                   "MOTOR: 192.168.137.39, SET CALIBRATION FAILED\n");
}

TEST_F(Qmhv2Test, EmptyAndNulLedDatagramsArePassedOver) {
    hand->set_faults(sim::Faults().with_before({"", std::string("\0{}", 3)}));
    EXPECT_EQ(qmhv2.get_comm_config(out.config), 0);
    EXPECT_EQ(out.config, hand->config());
}

TEST_F(Qmhv2Test, CalibrationAndConfigurationWritesTakeAnyJsonAnswerWithoutAnUnsignedCode) {
    CaptureStdout();
    for (const char* answer : {"{}", R"({"errorcode":-1})", R"({"errorcode":"3"})", "[3]", "3"}) {
        hand->script(kCtrl, answer);
        EXPECT_EQ(qmhv2.calibration(), 0) << answer;
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    hand->script(kComm, R"({"errorcode":1})");
    EXPECT_EQ(qmhv2.set_comm_config("whatever the hand makes of it"), 0);
}

TEST_F(Qmhv2Test, AReplyThatDoesNotParseEndsEveryParsingRowAtOnce) {
    hand->set_faults(sim::Faults().with_before({R"({"errorcode":)"}));  // a good answer right behind it
    for (const Operation* row : ops::kAll) {
        if (row == &ops::kGetCommConfig) continue;  // takes any text, below
        SCOPED_TRACE(row->name);
        Qmhv2 fresh(kIp);  // so the good answer left behind is nobody's
        CaptureStdout();
        const long long took = elapsed_ms([&] { EXPECT_EQ(kCalls.at(row->name).run(fresh, out), -1); });
        EXPECT_LT(took, row->budget_ms - 10);
        EXPECT_EQ(GetCapturedStdout(), kParseError);
    }
    EXPECT_THAT(out.angles, ElementsAre());
    EXPECT_THAT(out.codes, ElementsAre());
    EXPECT_THAT(out.matrix, ElementsAre());
    // The configuration read takes any text, even this.
    hand->set_faults(sim::Faults().with_before({R"({"errorcode":)"}));
    EXPECT_EQ(qmhv2.get_comm_config(out.config), 0);
    EXPECT_EQ(out.config, R"({"errorcode":)");
}

TEST_F(Qmhv2Test, RepliesWithoutTheAwaitedMemberArePassedOver) {
    // Ahead of each answer: the members of the wrong kind, and a root that is no object.
    hand->set_faults(sim::Faults().with_before({R"({"errorcode":"0","angle":{},"matrix":7})", "[0]"}));
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(qmhv2.enable(), 0);
    EXPECT_EQ(qmhv2.disable(), 0);
    EXPECT_EQ(qmhv2.get_pos(out.angles), 0);
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), 0);
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), 0);
    EXPECT_EQ(qmhv2.set_pos(std::vector<float>(12, 2.0f)), 0);
    const std::string passed = "\"angle\" is not an array or does not exist.\n";
    EXPECT_EQ(GetCapturedStderr(), passed + passed);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(out.angles, command({}));
    EXPECT_EQ(out.codes, std::vector<long>(12, 0));
    EXPECT_EQ(out.matrix.size(), 2u);
    EXPECT_EQ(hand->targets(), std::vector<double>(12, 2.0));
}

// A matrix that does not fill whole rows is an error, printed where only errors are.
TEST_F(Qmhv2Test, ARaggedMatrixIsAnError) {
    hand->set_matrix(std::vector<std::uint32_t>(33, 5));
    Diagnostics::set_min_level(Diagnostics::Level::error);
    CaptureStdout();
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), -1);
    Diagnostics::set_min_level(Diagnostics::Level::trace);
    EXPECT_EQ(GetCapturedStdout(), "Error in matrix size\n");
}

TEST_F(Qmhv2Test, UnusableRepliesPrintTheirLineAndLeaveTheOutputAlone) {
    out.matrix = {{42}};
    CaptureStdout();
    CaptureStderr();
    hand->script(kComm, R"({"matrix":[1,-2]})");
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), -1);
    hand->script(kComm, R"({"errorcode":[0,4294967296]})");
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), -1);
    hand->script(kComm, R"({"angle":[1,"2"]})");
    EXPECT_EQ(qmhv2.get_pos(out.angles), -1);
    hand->set_matrix_rows(6);  // more than one datagram takes: it arrives cut
    EXPECT_EQ(qmhv2.get_ts_matrix(out.matrix), -1);
    EXPECT_EQ(GetCapturedStderr(), "\"angle\" holds an element that is not a number.\n");
    EXPECT_EQ(GetCapturedStdout(), "\"matrix\" holds an element that is not an unsigned 32-bit integer.\n"
                                   "\"errorcode\" holds an element that is not an unsigned 32-bit integer.\n" +
                                       kParseError);
    EXPECT_EQ(out.matrix, (std::vector<std::vector<unsigned char>>{{42}}));
    EXPECT_THAT(out.angles, ElementsAre());
    EXPECT_THAT(out.codes, ElementsAre());
}

// Without SO_BROADCAST every send to the broadcast address fails: a row that
// fails at once prints its failure line, the others retry until their budget.
TEST(Qmhv2Sends, RefusedSendsFailAtOnceOrAreRetriedUntilTheBudget) {
    const std::string broadcast = "192.168.137.255";
    const auto runs = protocol_rows::side_by_side(ops::kAll, [&broadcast](const Operation& row) {
        Qmhv2 refused(broadcast);
        Outputs mine;
        const int status = kCalls.at(row.name).run(refused, mine);
        EXPECT_EQ(mine.angles.size() + mine.codes.size() + mine.matrix.size() + mine.config.size(), 0u);
        return status;
    });
    for (const auto& run : runs) protocol_rows::expect_ending(run, "SENDTO", broadcast, "MOTOR: " + broadcast);
}

// Each on an object of its own; each request goes out once.
TEST_F(Qmhv2Test, SilentHandEndsEveryRowJustAfterItsBudget) {
    hand->set_faults(sim::Faults().with_silent(true));
    const auto runs = protocol_rows::each_alone<Qmhv2, Outputs>(ops::kAll, kCalls, kIp, [](Qmhv2&) {});
    for (const auto& run : runs) protocol_rows::expect_ending(run, "RECVFROM", kIp);
    EXPECT_EQ(hand->received_count(kCtrl), 4u);
    EXPECT_EQ(hand->received_count(kComm), 5u);
    // The elapsed time is information, the time-out a warning.
    Diagnostics::set_min_level(Diagnostics::Level::warning);
    CaptureStdout();
    EXPECT_EQ(qmhv2.get_errorcode(out.codes), -2);
    Diagnostics::set_min_level(Diagnostics::Level::trace);
    EXPECT_EQ(GetCapturedStdout(), kTimeout);
}
